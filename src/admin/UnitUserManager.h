#pragma once
// The user accounts window: the SysManager rows with a navigator, the name (typed only for a new
// account), the plain-text password and the administrator flag, and the login switch MustLogin.
// The account "Admin" (exactly so) can never be deleted and is always saved as administrator.
// OK stores a changed login switch; closing saves a pending row first and stays open when that
// save fails.

#include "widgets/FixedDialog.h"

#include <memory>

class TableDataSet;

namespace Ui {
class TfrmUserManager;
}

class TfrmUserManager : public FixedDialog {
    Q_OBJECT
public:
    explicit TfrmUserManager(QWidget *owner);
    ~TfrmUserManager() override;

    Ui::TfrmUserManager *ui() const { return m_ui.get(); }
    TableDataSet *adt_SysManager = nullptr;

    // The reserved account: matched exactly, case and blanks included.
    static bool isReservedAccount(const QString &userName);

    // Handlers.
    void FormCreate();
    void DataSource1StateChange();
    void Button1Click();
    bool FormClose(); // true when the window may close

    void done(int result) override;

private:
    std::unique_ptr<Ui::TfrmUserManager> m_ui;
};
