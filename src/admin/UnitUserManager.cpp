#include "admin/UnitUserManager.h"
#include "ui_UnitUserManager.h"

#include "data/AppError.h"
#include "widgets/DataBinding.h"
#include "widgets/DBNavigator.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "widgets/Guard.h"
#include "data/Unit_DataMod.h"

#include <QApplication>
#include <QSqlQuery>

static const QString kUserName = QStringLiteral("UserName");
static const QString kIsSYS = QStringLiteral("IsSYS");

bool TfrmUserManager::isReservedAccount(const QString &userName)
{
    return userName == QLatin1String("Admin");
}

TfrmUserManager::TfrmUserManager(QWidget *owner) : FixedDialog(owner), m_ui(new Ui::TfrmUserManager)
{
    m_ui->setupUi(this);
    fixDesign(QSize(360, 216));

    adt_SysManager = new TableDataSet(DataMod->ADOConn, QStringLiteral("SysManager"), this);
    adt_SysManager->setObjectName(QStringLiteral("adt_SysManager"));
    // A new account starts as an ordinary user, as its cleared check box shows; the column
    // takes no null.
    adt_SysManager->setOnNewRecord([](DataSet &ds) { ds.setValue(kIsSYS, false); });
    adt_SysManager->setBeforePost([](DataSet &ds) {
        // Two accounts of one name would both log in, and the log could not tell them apart.
        const QString name = ds.asString(kUserName);
        if (name.trimmed().isEmpty())
            throw AppError(QStringLiteral("用户名不能为空，请填写用户名。"));
        QSqlQuery q = Db::runPrepared(QSqlDatabase::database(DataMod->ADOConn, false),
                                      QStringLiteral("SELECT count(*) FROM SysManager WHERE UserName = ? AND id <> ?"),
                                      {name, ds.value(QStringLiteral("id")).isNull() ? QVariant(qlonglong(-1))
                                                                                     : ds.value(QStringLiteral("id"))});
        if (q.next() && q.value(0).toLongLong() > 0)
            throw AppError(QStringLiteral("已有名为“%1”的使用人，请换一个用户名。").arg(name));
        if (isReservedAccount(name))
            ds.setValue(kIsSYS, true);
    });
    adt_SysManager->setBeforeDelete([](DataSet &ds) {
        if (isReservedAccount(ds.asString(kUserName)))
            throw Abort();
    });

    using DBNav = DBNavigator;
    m_ui->DBNavigator1->setDataSet(adt_SysManager);
    m_ui->DBNavigator1->setVisibleButtons(
        {DBNav::Prior, DBNav::Next, DBNav::Insert, DBNav::Delete, DBNav::Post, DBNav::Cancel});
    m_ui->DBNavigator1->setConfirmDelete(false);
    DataBinding::bindGrid(m_ui->DBGrid1, adt_SysManager,
                          {DataBinding::Column{kUserName, QStringLiteral("用户名"), 84}});
    DataBinding::bindLineEdit(m_ui->DBEdit1, adt_SysManager, kUserName, true);
    DataBinding::bindLineEdit(m_ui->DBEdit2, adt_SysManager, QStringLiteral("Pwd"));
    DataBinding::bindCheckBox(m_ui->DBCheckBox1, adt_SysManager, kIsSYS);

    QPalette navy = m_ui->DBEdit1->palette();
    navy.setColor(QPalette::Text, QColor(0, 0, 128));
    m_ui->DBEdit1->setPalette(navy);
    QFont bold = m_ui->DBEdit1->font();
    bold.setBold(true);
    m_ui->DBEdit1->setFont(bold);
    setInitialFocus(m_ui->DBEdit1);

    connectGuarded(adt_SysManager, &DataSet::stateChanged, this, [this](auto...) { DataSource1StateChange(); });
    connectGuarded(m_ui->Button1, &QPushButton::clicked, this, [this](auto...) { Button1Click(); });

    DataSource1StateChange();
    guarded(this, [this] { FormCreate(); });
}

TfrmUserManager::~TfrmUserManager() = default;

void TfrmUserManager::FormCreate()
{
    adt_SysManager->open();
    m_ui->CheckBox1->setChecked(DataMod->ReadMustLogin());
}

void TfrmUserManager::DataSource1StateChange()
{
    // Only a new account gets its name typed; an existing account's name never changes.
    const bool inserting = adt_SysManager->state() == DataSet::Insert;
    QLineEdit *name = m_ui->DBEdit1;
    name->setReadOnly(!inserting);
    QPalette pal = name->palette();
    pal.setColor(QPalette::Base, inserting ? QApplication::palette().color(QPalette::Base) : QColor(192, 192, 192));
    name->setPalette(pal);
}

void TfrmUserManager::Button1Click()
{
    // The result is OK from here on, even when storing the switch fails.
    setResult(QDialog::Accepted);
    guarded(this, [this] { DataMod->WriteMustLogin(m_ui->CheckBox1->isChecked()); });
    done(QDialog::Accepted);
}

bool TfrmUserManager::FormClose()
{
    if (adt_SysManager->isEditing())
        adt_SysManager->post();
    return true;
}

void TfrmUserManager::done(int result)
{
    // The close box and OK both pass here; a pending row that cannot be saved keeps the window
    // open so that it can be corrected or cancelled.
    bool mayClose = false;
    if (!guarded(this, [&] { mayClose = FormClose(); }) || !mayClose)
        return;
    FixedDialog::done(result);
}
