#include "browser/Unit_Main.h"
#include "ui_Unit_Main.h"

#include "admin/AuditViewer.h"
#include "admin/BackupWindow.h"
#include "data/AuditLog.h"
#include "data/AppError.h"
#include "widgets/DataBinding.h"
#include "data/DataSet.h"
#include "widgets/DataSetActions.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"
#include "data/Operations.h"
#include "data/Settings.h"
#include "data/Statements.h"
#include "admin/Unit_About.h"
#include "data/Unit_DataMod.h"
#include "admin/Unit_LoginCheck.h"
#include "records/Unit_Manager.h"
#include "browser/Unit_Search.h"
#include "admin/Unit_SetNo.h"
#include "admin/UnitUserManager.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QToolButton>

#include <algorithm>

TfrmMain::TfrmMain(const QString &programFolder, QWidget *parent)
    : QWidget(parent), m_ui(new Ui::TfrmMain), m_folder(programFolder)
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("frmMain"));
    resize(696, 529);
    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    // The filter panel in "money green".
    QPalette pal = m_ui->Panel1->palette();
    pal.setColor(QPalette::Window, QColor(192, 220, 192));
    m_ui->Panel1->setPalette(pal);
    // A lowered outer and a raised inner bevel: a groove around the filter panel.
    m_ui->Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    m_ui->Panel1->setLineWidth(1);
    m_ui->Panel1->setMidLineWidth(0);
    // The tool bar strip is as high as its two bands, whatever the window's height.
    m_ui->CoolBar1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    for (QComboBox *c : {m_ui->cbox_Stair, m_ui->cbox_Sub})
        c->setEditable(false);
    // The count labels keep their distance from the panel's right edge.
    m_ui->Panel1->installEventFilter(this);

    buildActions();
    buildMenus();
    buildCompareCommands();
    buildConsultCommands();
    bindData();
    setupPictures();

    connectGuarded(m_ui->bbtn_Show, &QPushButton::clicked, this, [this](auto...) { bbtn_ShowClick(); });
    connectGuarded(m_ui->BitBtn1, &QPushButton::clicked, this, [this](auto...) { BitBtn1Click(); });
    connectGuarded(m_ui->cbox_Stair, &QComboBox::activated, this, [this](auto...) { cbox_StairChange(); });
    connect(m_ui->DBEdit5, &QLineEdit::textChanged, this, [this] { DBEdit5Change(); });
    // A double-click anywhere on the case list opens its current case's customer: on a row, on
    // the blank area below the rows, or on the title row.
    for (QWidget *part :
         {static_cast<QWidget *>(m_ui->DBGrid2->viewport()), static_cast<QWidget *>(m_ui->DBGrid2->horizontalHeader()),
          static_cast<QWidget *>(m_ui->DBGrid2->verticalHeader())})
        part->installEventFilter(this);

    guarded(this, [this] { FormCreate(); });
    m_ui->bbtn_Show->setFocus();
    setTabOrder(m_ui->bbtn_Show, m_ui->BitBtn1);
}

TfrmMain::~TfrmMain()
{
    // The actions look for their target among this window's controls on every focus change;
    // while the window is being taken apart there is nothing to look at.
    delete dataSetActions;
    dataSetActions = nullptr;
}

// ---- actions, menus and bars ---------------------------------------------------------------

void TfrmMain::buildActions()
{
    dataSetActions = new DataSetActions(this, [this] {
        return QList<QWidget *>{m_ui->CoolBar1, m_ui->Panel1, m_ui->PlPicSpace, m_ui->PageControl->currentWidget()};
    });
    auto name = [](QAction *a, const char *n, const QString &caption, int image) {
        a->setObjectName(QString::fromLatin1(n));
        a->setText(caption);
        if (image >= 0)
            a->setIcon(mainImage(image));
        return a;
    };
    DataSetFirst1 = name(dataSetActions->first(), "DataSetFirst1", QStringLiteral("第一条(&F)"), 0);
    DataSetPrior1 = name(dataSetActions->prior(), "DataSetPrior1", QStringLiteral("前一条(&P)"), 1);
    DataSetNext1 = name(dataSetActions->next(), "DataSetNext1", QStringLiteral("下一条(&N)"), 2);
    DataSetLast1 = name(dataSetActions->last(), "DataSetLast1", QStringLiteral("最后条(&L)"), 3);
    ac_Search = name(new QAction(this), "ac_Search", QStringLiteral("查询(&S)"), 4);
    ac_Manager = name(new QAction(this), "ac_Manager", QStringLiteral("资料管理(&M)"), 5);
    ac_Close = name(new QAction(this), "ac_Close", QStringLiteral("退出(&Q)"), 7);
    ac_About = name(new QAction(this), "ac_About", QStringLiteral("关于(&A)"), -1);
    ac_SetNo = name(new QAction(this), "ac_SetNo", QStringLiteral("设置医院编号(&S)"), -1);
    ac_OpenType = name(new QAction(this), "ac_OpenType", QStringLiteral("默认程序打开图片"), -1);
    ac_OpenType->setCheckable(true);

    auto on = [this](QAction *a, void (TfrmMain::*handler)()) {
        connectGuarded(a, &QAction::triggered, this, [this, handler](auto...) { (this->*handler)(); });
    };
    on(ac_Search, &TfrmMain::ac_SearchExecute);
    on(ac_Manager, &TfrmMain::ac_ManagerExecute);
    on(ac_Close, &TfrmMain::ac_CloseExecute);
    on(ac_About, &TfrmMain::ac_AboutExecute);
    on(ac_SetNo, &TfrmMain::ac_SetNoExecute);
    on(ac_OpenType, &TfrmMain::ac_OpenTypeExecute);

    // The command bar: flat buttons with picture and caption.
    QToolBar *bar = m_ui->ToolBar2;
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(16, 16));
    bar->setMovable(false);
    auto addButton = [bar](QAction *a) {
        auto *b = new QToolButton(bar);
        // A tool button shows the action's icon text, which drops the "&": given the caption
        // itself, the button underlines its access key and answers Alt and that key.
        a->setIconText(a->text());
        b->setDefaultAction(a);
        b->setObjectName(QStringLiteral("btn_") + a->objectName());
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setFixedSize(79, 35);
        b->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(b);
    };
    auto gap = [bar](int width) {
        auto *s = new QWidget(bar);
        s->setFixedWidth(width);
        bar->addWidget(s);
    };
    addButton(DataSetPrior1);
    addButton(DataSetNext1);
    gap(7);
    addButton(ac_Search);
    addButton(ac_Manager);
    gap(8);
    addButton(ac_Close);
}

// A menu entry that runs an action and follows its enabled and checked state; its caption may
// differ from the action's.
static QAction *entry(QMenu *menu, const char *name, const QString &caption, QAction *target)
{
    auto *e = menu->addAction(caption);
    e->setObjectName(QString::fromLatin1(name));
    if (!target)
        return e;
    e->setCheckable(target->isCheckable());
    e->setChecked(target->isChecked());
    e->setEnabled(target->isEnabled());
    QObject::connect(e, &QAction::triggered, target, [target] { target->trigger(); });
    QObject::connect(target, &QAction::changed, e, [e, target] {
        e->setEnabled(target->isEnabled());
        e->setChecked(target->isChecked());
    });
    return e;
}

void TfrmMain::buildMenus()
{
    menuFile = new QMenu(QStringLiteral("文件"), this);
    menuView = new QMenu(QStringLiteral("查看"), this);
    menuOptions = new QMenu(QStringLiteral("选项"), this);
    menuHelp = new QMenu(QStringLiteral("帮助"), this);
    N2 = entry(menuFile, "N2", QStringLiteral("新客户(&N)"), ac_Manager);
    N3 = entry(menuFile, "N3", QStringLiteral("退出(&Q)"), ac_Close);
    F1 = entry(menuView, "F1", QStringLiteral("第一条(&F)"), DataSetFirst1);
    P1 = entry(menuView, "P1", QStringLiteral("前一条(&P)"), DataSetPrior1);
    N1 = entry(menuView, "N1", QStringLiteral("下一条(&N)"), DataSetNext1);
    L1 = entry(menuView, "L1", QStringLiteral("最后条(&L)"), DataSetLast1);
    N9 = entry(menuOptions, "N9", QStringLiteral("客户查询(&S)"), ac_Search);
    N10 = entry(menuOptions, "N10", QStringLiteral("资料管理(&M)"), ac_Manager);
    SetNoN = entry(menuOptions, "SetNoN", QStringLiteral("设置医院编号(&S)"), ac_SetNo);
    UserManagerN = entry(menuOptions, "UserManagerN", QStringLiteral("使用人管理(&U)"), nullptr);
    connectGuarded(UserManagerN, &QAction::triggered, this, [this](auto...) { UserManagerNClick(); });
    AuditN = entry(menuOptions, "AuditN", QStringLiteral("操作记录(&J)"), nullptr);
    connectGuarded(AuditN, &QAction::triggered, this, [this](auto...) { AuditNClick(); });
    BackupUi::addMenuEntries(menuOptions, this, ac_Manager);
    N4 = entry(menuOptions, "N4", QStringLiteral("默认程序打开图片"), ac_OpenType);
    N7 = entry(menuHelp, "N7", QStringLiteral("关于(&A)"), ac_About);
    buildSheetCommands();
    menuFile->setObjectName(QStringLiteral("menuFile"));
    menuView->setObjectName(QStringLiteral("menuView"));
    menuOptions->setObjectName(QStringLiteral("menuOptions"));
    menuHelp->setObjectName(QStringLiteral("menuHelp"));

    // The window's menu bar is a bar of flat caption-only buttons that open the menus.
    QToolBar *bar = m_ui->ToolBar1;
    bar->setMovable(false);
    for (QMenu *m : {menuFile, menuView, menuOptions, menuHelp}) {
        auto *b = new QToolButton(bar);
        b->setText(m->title());
        b->setObjectName(QStringLiteral("btn_") + m->objectName());
        b->setMenu(m);
        b->setPopupMode(QToolButton::InstantPopup);
        b->setAutoRaise(true);
        b->setFixedSize(31, 20);
        b->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
        b->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(b);
    }
}

// ---- data ----------------------------------------------------------------------------------

void TfrmMain::bindData()
{
    using DataBinding::Column;
    const QString conn = DataMod->ADOConn;
    const QString no = QStringLiteral("客户编号");
    adq_Surgery = new QueryDataSet(conn, this);
    adq_Surgery->setObjectName(QStringLiteral("adq_Surgery"));
    adt_Userinfo = new TableDataSet(conn, QStringLiteral("tUserInfo"), this);
    adt_Userinfo->setObjectName(QStringLiteral("adt_Userinfo"));
    adt_Userinfo->setMaster(adq_Surgery, no);
    adt_Userinfo->setReadOnly(true);
    adt_Surgery = new TableDataSet(conn, QStringLiteral("Surgery"), this);
    adt_Surgery->setObjectName(QStringLiteral("adt_Surgery"));
    adt_Surgery->setMaster(adt_Userinfo, no);
    adt_Surgery->setOrderBy(no);
    adt_Surgery->setReadOnly(true);

    DataBinding::bindGrid(m_ui->DBGrid2, adq_Surgery, {Column{no, {}, -1}, Column{QStringLiteral("手术小类"), {}, 84}});
    DataBinding::bindGrid(m_ui->DBGrid1, adt_Surgery,
                          {Column{QStringLiteral("手术大类"), {}, 77}, Column{QStringLiteral("手术小类"), {}, 76}});
    const struct {
        QLineEdit *edit;
        DataSet *ds;
        const char *field;
    } fields[] = {{m_ui->DBEdit1, adt_Userinfo, "客户编号"}, {m_ui->DBEdit2, adt_Userinfo, "用户姓名"},
                  {m_ui->DBEdit3, adt_Userinfo, "性别"},     {m_ui->DBEdit4, adt_Userinfo, "年龄"},
                  {m_ui->DBEdit6, adt_Userinfo, "电话"},     {m_ui->DBEdit5, adt_Userinfo, "地址"},
                  {m_ui->DBEdit7, adt_Surgery, "手术日期"},  {m_ui->DBEdit8, adt_Surgery, "手术医生"},
                  {m_ui->DBEdit9, adt_Surgery, "金额"}};
    for (const auto &f : fields)
        DataBinding::bindLineEdit(f.edit, f.ds, QString::fromUtf8(f.field), true);

    for (DataSet *ds : {static_cast<DataSet *>(adq_Surgery), static_cast<DataSet *>(adt_Userinfo),
                        static_cast<DataSet *>(adt_Surgery)})
        dataSetActions->watch(ds);
    connect(m_ui->PageControl, &QTabWidget::currentChanged, dataSetActions, &DataSetActions::updateEnabled);
}

void TfrmMain::FormCreate()
{
    if (DataMod->ReadMustLogin()) {
        TfrmLogin login(this);
        if (Prompter::instance().execModal(&login) != QDialog::Accepted)
            m_loginCancelled = true;
        const bool admin = DataMod->CurrentUser.IsSYS;
        ac_Manager->setEnabled(admin);
        UserManagerN->setEnabled(ac_Manager->isEnabled());
        SetNoN->setEnabled(ac_Manager->isEnabled());
        AuditN->setEnabled(ac_Manager->isEnabled());
    }
    LoadCategories();
    ApplyFilter();
    adt_Userinfo->open();
    adt_Surgery->open();
    const bool open = ReadOpenSetting();
    ac_OpenType->setChecked(open);
    m_lastOpen = open;
}

void TfrmMain::setCount(int n)
{
    m_ui->lb_Count->setText(QString::number(n));
}

void TfrmMain::LoadCategories()
{
    QComboBox *box = m_ui->cbox_Stair;
    box->clear();
    box->addItems(Operations::majorCategories(*DataMod));
    box->setCurrentIndex(-1);
}

void TfrmMain::LoadSubCategories(const QString &parent)
{
    QComboBox *box = m_ui->cbox_Sub;
    box->clear();
    const QStringList minors = Operations::minorCategories(*DataMod, parent);
    box->setEnabled(!minors.isEmpty());
    box->addItems(minors);
    box->setCurrentIndex(-1);
}

void TfrmMain::cbox_StairChange()
{
    if (m_ui->cbox_Stair->currentIndex() >= 0)
        LoadSubCategories(m_ui->cbox_Stair->currentText());
}

void TfrmMain::openListWith(const QString &statement)
{
    // A statement the database rejects leaves the list closed and the count as it was.
    adq_Surgery->close();
    adq_Surgery->setSql(statement);
    adq_Surgery->open();
    setCount(adq_Surgery->recordCount());
}

void TfrmMain::ApplyFilter()
{
    Statements::CaseFilter f;
    f.byCategory = m_ui->cbShoushu->isChecked();
    f.hasMajor = m_ui->cbox_Stair->currentIndex() >= 0;
    f.major = m_ui->cbox_Stair->currentText();
    f.hasMinor = m_ui->cbox_Sub->currentIndex() >= 0;
    f.minor = m_ui->cbox_Sub->currentText();
    f.bySurgeon = m_ui->cbDoc->isChecked();
    f.surgeon = m_ui->edDoc->text();
    f.byDate = m_ui->cbTime->isChecked();
    f.from = m_ui->dtp_from->date();
    f.to = m_ui->dtp_to->date();
    openListWith(Statements::filter(f));
}

void TfrmMain::bbtn_ShowClick()
{
    ApplyFilter();
}

void TfrmMain::BitBtn1Click()
{
    openListWith(Statements::showAll());
}

void TfrmMain::ApplySearch(const QString &where)
{
    openListWith(Statements::search(where));
}

void TfrmMain::RefreshData()
{
    if (adq_Surgery->isActive()) {
        adq_Surgery->refresh();
        setCount(adq_Surgery->recordCount());
    }
    if (adt_Userinfo->isActive())
        adt_Userinfo->refresh();
    if (adt_Surgery->isActive()) {
        adt_Surgery->refresh();
        // The customer's cases were read last: on the customer details page the pictures
        // follow the case its grid and boxes now show.
        ds_SurgeryDataChange();
    }
    LoadCategories();
}

void TfrmMain::DBEdit5Change()
{
    m_ui->DBEdit5->setToolTip(m_ui->DBEdit5->text());
}

// ---- commands ------------------------------------------------------------------------------

void TfrmMain::ac_CloseExecute()
{
    close();
}

bool TfrmMain::FormClose()
{
    return Prompter::instance().messageBox(this, QStringLiteral("退出本软件吗？"), QStringLiteral("提示"),
                                           Prompt::Yes | Prompt::No, Prompt::Question, Prompt::No)
           == Prompt::Yes;
}

void TfrmMain::closeEvent(QCloseEvent *event)
{
    bool ok = false;
    guarded(this, [&] { ok = FormClose(); });
    if (ok)
        event->accept();
    else
        event->ignore();
}

void TfrmMain::FormResize()
{
    if (width() < 400)
        resize(400, height());
}

void TfrmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    FormResize();
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick
        && (watched == m_ui->DBGrid2->viewport() || watched == m_ui->DBGrid2->horizontalHeader()
            || watched == m_ui->DBGrid2->verticalHeader())) {
        guarded(this, [this] { DBGrid2DblClick(); });
        return true;
    }
    if (watched == m_ui->Panel1 && event->type() == QEvent::Resize) {
        // "共", the count and "例" keep their distance from the right edge (designed at 696),
        // but never move over the filter buttons: in a narrower window they are cut off instead.
        const int leftmost = m_ui->BitBtn1->geometry().right() + 1 + 8;
        const int shift = std::max(m_ui->Panel1->width() - 696, leftmost - 604);
        m_ui->Label_Total->move(604 + shift, 32);
        m_ui->lb_Count->move(616 + shift, 32);
        m_ui->Label_Cases->move(668 + shift, 32);
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMain::ac_ManagerExecute()
{
    Tfrm_Manager window(this, QString());
    Prompter::instance().execModal(&window);
    RefreshData();
}

void TfrmMain::DBGrid2DblClick()
{
    if (!ac_Manager->isEnabled() || !adq_Surgery->isActive() || adq_Surgery->isEmpty())
        return;
    const QString no = adq_Surgery->asString(QStringLiteral("客户编号"));
    Tfrm_Manager window(this, no);
    Prompter::instance().execModal(&window);
    RefreshData();
}

void TfrmMain::ac_SearchExecute()
{
    TfrmSearch dialog(this);
    if (Prompter::instance().execModal(&dialog) == QDialog::Accepted)
        ApplySearch(dialog.whereClause());
}

void TfrmMain::UserManagerNClick()
{
    TfrmUserManager window(this);
    Prompter::instance().execModal(&window);
}

void TfrmMain::AuditNClick()
{
    AuditViewer window(this, DataMod->ADOConn);
    Prompter::instance().execModal(&window);
}

void TfrmMain::ac_AboutExecute()
{
    TfrmAbout about(this);
    Prompter::instance().execModal(&about);
}

void TfrmMain::ac_SetNoExecute()
{
    Tfrm_SetNo dialog(this, ReadHospitalNo());
    if (Prompter::instance().execModal(&dialog) == QDialog::Accepted)
        SaveHospitalNo(dialog.number());
}

void TfrmMain::ac_OpenTypeExecute()
{
    WriteOpenSetting(ac_OpenType->isChecked());
}

// ---- settings ------------------------------------------------------------------------------

bool TfrmMain::ReadOpenSetting() const
{
    return Settings::readOpen();
}

void TfrmMain::WriteOpenSetting(bool open)
{
    if (open == m_lastOpen)
        return;
    Settings::writeOpen(open); // raises "Unable to write to ..."; nothing remembered then
    m_lastOpen = open;
}

QString TfrmMain::ReadHospitalNo() const
{
    return Settings::readHospitalNo();
}

void TfrmMain::SaveHospitalNo(const QString &number)
{
    if (number == m_lastHospitalNo)
        return;
    const QString before = Settings::readHospitalNo();
    if (before == number) {
        Settings::writeHospitalNo(number);
    } else {
        // The settings file and the audit event go together: a refused write leaves no event.
        AuditLog::Event e;
        e.action = AuditLog::Action::HospitalNoChanged;
        e.detail = before + QStringLiteral("→") + number;
        AuditLog::recordWith(QSqlDatabase::database(DataMod->ADOConn, false), e,
                             [&] { Settings::writeHospitalNo(number); });
    }
    m_lastHospitalNo = number;
}
