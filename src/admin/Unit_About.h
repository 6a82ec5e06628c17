#pragma once
// The About box: the product's icon and name and two link labels, the web address and the mail
// address, which light up under the pointer and open in the user's browser or mail program.

#include "widgets/FixedDialog.h"

#include <memory>

class QLabel;

namespace Ui {
class TfrmAbout;
}

class TfrmAbout : public FixedDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *owner);
    ~TfrmAbout() override;

    Ui::TfrmAbout *ui() const { return m_ui.get(); }

    // The addresses the links open.
    static QString webAddress();
    static QString mailAddress();

    // Handlers; the hover handlers act on the label under the pointer.
    void Label3MouseEnter(QLabel *sender);
    void Label3MouseLeave(QLabel *sender);
    void Label3Click();
    void Label4Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::unique_ptr<Ui::TfrmAbout> m_ui;
};
