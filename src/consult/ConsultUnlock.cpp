#include "consult/ConsultWindow.h"

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

#include <optional>

namespace {

// Asks for a staff account before the mode may end. It accepts only names and passwords that
// the login check knows; a wrong one is said inside the dialog, never in a message box.
class UnlockDialog : public FixedDialog {
public:
    UnlockDialog(QWidget *owner, TDataMod &mod) : FixedDialog(owner, CentreOnOwner), m_mod(mod)
    {
        setObjectName(QStringLiteral("ConsultUnlock"));
        setWindowTitle(QStringLiteral("结束咨询演示"));
        auto *prompt = new QLabel(QStringLiteral("请工作人员输入用户名和密码："), this);
        prompt->setGeometry(16, 14, 260, 18);
        auto *userLabel = new QLabel(QStringLiteral("用户名(&U)"), this);
        userLabel->setGeometry(16, 44, 70, 21);
        m_user = new QLineEdit(this);
        m_user->setObjectName(QStringLiteral("edt_User"));
        m_user->setGeometry(92, 44, 170, 21);
        userLabel->setBuddy(m_user);
        auto *passwordLabel = new QLabel(QStringLiteral("密码(&W)"), this);
        passwordLabel->setGeometry(16, 74, 70, 21);
        m_password = new QLineEdit(this);
        m_password->setObjectName(QStringLiteral("edt_Password"));
        m_password->setEchoMode(QLineEdit::Password);
        m_password->setGeometry(92, 74, 170, 21);
        passwordLabel->setBuddy(m_password);
        m_wrong = new QLabel(this);
        m_wrong->setObjectName(QStringLiteral("lbl_Wrong"));
        m_wrong->setGeometry(16, 102, 260, 18);
        m_wrong->setStyleSheet(QStringLiteral("color: #b00000;"));
        auto *ok = new QPushButton(QStringLiteral("确定(&O)"), this);
        ok->setObjectName(QStringLiteral("btn_Ok"));
        ok->setGeometry(100, 128, 75, 25);
        auto *cancel = new QPushButton(QStringLiteral("取消(&C)"), this);
        cancel->setObjectName(QStringLiteral("btn_Cancel"));
        cancel->setGeometry(187, 128, 75, 25);
        connect(ok, &QPushButton::clicked, this, [this] { tryAccept(); });
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
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
