#include "admin/Unit_LoginCheck.h"
#include "ui_Unit_LoginCheck.h"

#include "audit/AuditLog.h"
#include "widgets/Guard.h"
#include "widgets/ProgramIcon.h"
#include "widgets/Prompter.h"
#include "data/Statements.h"
#include "data/Unit_DataMod.h"

TfrmLogin::TfrmLogin(QWidget *owner) : FixedDialog(owner, CentreOnScreen), m_ui(new Ui::TfrmLogin)
{
    m_ui->setupUi(this);
    fixDesign(QSize(290, 167));

    QPalette band = m_ui->Panel1->palette();
    band.setColor(QPalette::Window, Qt::white);
    m_ui->Panel1->setPalette(band);
    m_ui->Panel1->setAutoFillBackground(true);
    m_ui->Image1->setPixmap(loginIcon());
    // Every character of the password shows as "*".
    m_ui->Edit2->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    setInitialFocus(m_ui->Edit1);

    connect(m_ui->Button1, &QPushButton::clicked, this, [this] { guarded(this, [this] { Button1Click(); }); });
    connect(m_ui->Button2, &QPushButton::clicked, this, [this] { reject(); });
}

TfrmLogin::~TfrmLogin() = default;

void TfrmLogin::Button1Click()
{
    if (m_ui->Edit1->text().isEmpty()) {
        m_ui->Edit1->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (CheckLogin()) {
        accept();
        return;
    }
    Prompter::instance().showMessage(this, QStringLiteral("用户名、密码错误！"));
}

// The engine hands Booleans back as integers, Booleans or the words true/false.
static bool isTrue(const QVariant &v)
{
    if (v.typeId() == QMetaType::QString)
        return v.toString().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
               || v.toString().toLongLong() != 0;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    return v.toLongLong() != 0;
}

bool TfrmLogin::CheckLogin()
{
    SharedQuery &q = DataMod->ADOQuery;
    q.close();
    q.setSql(Statements::login(m_ui->Edit1->text(), m_ui->Edit2->text()));
    q.open();
    TUserInfo user;
    if (!q.isEmpty()) {
        user.UserName = q.value(0, QStringLiteral("UserName")).toString();
        user.IsSYS = isTrue(q.value(0, QStringLiteral("IsSYS")));
    }
    // Every attempt leaves its event, under the name typed when it failed; the password never.
    AuditLog::Event e;
    e.action = q.isEmpty() ? AuditLog::Action::LoginFailed : AuditLog::Action::Login;
    e.user = q.isEmpty() ? m_ui->Edit1->text() : user.UserName;
    AuditLog::record(QSqlDatabase::database(DataMod->ADOConn, false), e);
    if (q.isEmpty())
        return false;
    DataMod->SetCurrentUser(user);
    return true;
}
