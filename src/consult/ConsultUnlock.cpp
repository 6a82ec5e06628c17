#include "consult/ConsultWindow.h"
#include "ui_ConsultUnlock.h"

#include "data/AppError.h"
#include "data/AuditLog.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"
#include "widgets/FixedDialog.h"
#include "widgets/Prompter.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>
#include <optional>

namespace {

// Asks for a staff account before the mode may end. It accepts only names and passwords that
// the login check knows; a wrong one is said inside the dialog, never in a message box.
class UnlockDialog : public FixedDialog {
public:
    UnlockDialog(QWidget *owner, TDataMod &mod)
        : FixedDialog(owner, CentreOnOwner), m_ui(new Ui::ConsultUnlock), m_mod(mod)
    {
        m_ui->setupUi(this);
        m_user = m_ui->edt_User;
        m_password = m_ui->edt_Password;
        m_wrong = m_ui->lbl_Wrong;
        connect(m_ui->btn_Ok, &QPushButton::clicked, this, [this] { tryAccept(); });
        connect(m_ui->btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(m_password, &QLineEdit::returnPressed, this, [this] { tryAccept(); });
        fixDesign(QSize(280, 166));
        setInitialFocus(m_user);
    }

protected:
    // This dialog has a 取消 button: Escape is 取消.
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            reject();
            return;
        }
        FixedDialog::keyPressEvent(event);
    }

private:
    void tryAccept()
    {
        std::optional<TUserInfo> user;
        try {
            user = Operations::checkLogin(m_mod, m_user->text(), m_password->text(),
                                          AuditLog::Action::ConsultationUnlocked,
                                          AuditLog::Action::ConsultationUnlockFailed);
        } catch (const AppError &) {
            user.reset();
        }
        if (user) {
            accept();
            return;
        }
        m_wrong->setText(QStringLiteral("用户名或密码不对，请重新输入。"));
        m_password->clear();
        m_password->setFocus();
    }

    std::unique_ptr<Ui::ConsultUnlock> m_ui;
    TDataMod &m_mod;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_wrong = nullptr;
};

} // namespace

bool ConsultWindow::askStaffPassword()
{
    bool required = true;
    try {
        required = m_mod.ReadMustLogin();
    } catch (const AppError &e) {
        // Unknown: ask, rather than open the staff window to anyone.
        keepProblem(e.text());
    }
    if (!required)
        return true;
    UnlockDialog dialog(this, m_mod);
    return Prompter::instance().execModal(&dialog) == QDialog::Accepted;
}
