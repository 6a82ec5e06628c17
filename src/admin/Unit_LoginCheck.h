#pragma once
// The login dialog: a user name and a password checked against the SysManager accounts. It ends
// with OK only after a successful check, which has stored the current user in the data module;
// Cancel and the close box end it with Cancel. Wrong credentials may be retried without limit.

#include "widgets/FixedDialog.h"

#include <memory>

namespace Ui {
class TfrmLogin;
}

class TfrmLogin : public FixedDialog {
    Q_OBJECT
public:
    explicit TfrmLogin(QWidget *owner);
    ~TfrmLogin() override;

    Ui::TfrmLogin *ui() const { return m_ui.get(); }

    // Handlers.
    void Button1Click();
    // True when the typed name and password match an account; the first matching row then
    // becomes the current user.
    bool CheckLogin();

private:
    std::unique_ptr<Ui::TfrmLogin> m_ui;
};
