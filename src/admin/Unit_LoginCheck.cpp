#include "admin/Unit_LoginCheck.h"
#include "ui_Unit_LoginCheck.h"

#include "widgets/Guard.h"
#include "widgets/ProgramIcon.h"
#include "widgets/Prompter.h"
#include "data/Operations.h"
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

    connectGuarded(m_ui->Button1, &QPushButton::clicked, this, [this](auto...) { Button1Click(); });
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

bool TfrmLogin::CheckLogin()
{
    const std::optional<TUserInfo> user = Operations::checkLogin(*DataMod, m_ui->Edit1->text(), m_ui->Edit2->text());
    if (!user)
        return false;
    DataMod->SetCurrentUser(*user);
    return true;
}
