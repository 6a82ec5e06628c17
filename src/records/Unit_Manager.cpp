#include "records/Unit_Manager.h"
#include "ui_Unit_Manager.h"

#include "data/AppError.h"
#include "data/CustomerTable.h"
#include "widgets/DataBinding.h"
#include "data/DataSet.h"
#include "widgets/Guard.h"
#include "data/PictureStore.h"
#include "widgets/Prompter.h"
#include "data/Settings.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"

#include <QKeyEvent>
#include <QPalette>

namespace {

const QColor kMaroon(128, 0, 0);
const QColor kTeal(0, 128, 128);

void setBackground(QWidget *w, const QColor &c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void setTextColour(QWidget *w, const QColor &c)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    w->setPalette(p);
}

const QString kCustomerNo = QStringLiteral("客户编号");

} // namespace

// The case table. Saving a row first runs every check that can refuse it, then brings the
// picked pictures into the store (importPictures rewrites the picture columns), then writes the
// row; when the database refuses the row, the pictures this save added are taken out again, so a
// refused save leaves the store as it was. It also tells the window when a row has been written,
// so that pictures the save could not store are reported only once the case is really saved.
class Tfrm_Manager::CaseTable : public TableDataSet {
public:
    using ImportPictures = std::function<void(QVariantList &values, PictureStore::Added &added)>;
    CaseTable(const QString &connection, QObject *parent, ImportPictures importPictures,
              std::function<void()> afterWrite)
        : TableDataSet(connection, QStringLiteral("Surgery"), parent), m_importPictures(std::move(importPictures)),
          m_afterWrite(std::move(afterWrite))
    {
    }

    // Cases saved while their customer was still unsaved (cleared when a customer is started).
    QVariantList casesOfNewCustomer;
    bool customerIsNew = false;

protected:
    void writeRow(bool inserting, QVariantList &values, int storageRow) override
    {
        try {
            checkRow(values);
        } catch (const AppError &) {
            // The one column a case's check can refuse is its date.
            throw AppError(QStringLiteral("日期“%1”不是有效的日期，请按 2024-03-15 的格式填写。")
                               .arg(values.value(fieldIndex(QStringLiteral("手术日期"))).toString()));
        }
        PictureStore::Added added;
        m_importPictures(values, added);
        try {
            TableDataSet::writeRow(inserting, values, storageRow);
        } catch (...) {
            added.undo();
            throw;
        }
        if (inserting && customerIsNew)
            casesOfNewCustomer << rowId(storageRow);
        m_afterWrite();
    }

public:
    // What the window keeps about the case outside its row (its consent) is saved in the row's
    // own transaction.
    std::function<void(const QVariantList &values)> onRowWritten;

protected:
    void rowWritten(bool, const QVariantList &values) override
    {
        if (onRowWritten)
            onRowWritten(values);
    }

private:
    ImportPictures m_importPictures;
    std::function<void()> m_afterWrite;
};

Tfrm_Manager::Tfrm_Manager(QWidget *owner, const QString &startCustomerNo)
    : FixedDialog(owner, CentreOnScreen), m_ui(new Ui::Tfrm_Manager)
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("frm_Manager"));
    fixDesign(QSize(638, 386));

    const QString conn = DataMod->ADOConn;
    // A generated number that another workstation saved first is replaced by the next free one.
    auto *customers = new CustomerTable(
        conn, [this] { return MakeCustomerNo(); }, this);
    adt_UserInfo = customers;
    adt_UserInfo->setObjectName(QStringLiteral("adt_UserInfo"));
    auto *cases = new CaseTable(
        conn, this, [this](QVariantList &values, PictureStore::Added &added) { ImportCasePictures(values, added); },
        [this] { m_reportNotStored = !m_notStored.isEmpty(); });
    m_cases = cases;
    adt_Surgery = cases;
    connect(adt_UserInfo, &DataSet::stateChanged, this, [this, cases] {
        const bool isNew = adt_UserInfo->state() == DataSet::Insert;
        if (isNew != cases->customerIsNew)
            cases->casesOfNewCustomer.clear();
        cases->customerIsNew = isNew;
    });
    // Cases already saved under the number the customer had to give up follow it.
    customers->setOnRenumbered([conn, cases](const QString &, const QString &newNo) {
        CustomerCases::moveCases(conn, cases->casesOfNewCustomer, newNo);
        cases->casesOfNewCustomer.clear();
    });
    adt_Surgery->setObjectName(QStringLiteral("adt_Surgery"));
    adt_Surgery->setMaster(adt_UserInfo, kCustomerNo);
    adt_Surgery->setOrderBy(kCustomerNo);
    adt_Surgery->setDateFields({QStringLiteral("手术日期")});
    adt_Class = new TableDataSet(conn, QStringLiteral("Class"), this);
    adt_Class->setObjectName(QStringLiteral("adt_Class"));

    adt_UserInfo->setOnNewRecord([this](DataSet &ds) { adt_UserInfoNewRecord(ds); });
    adt_UserInfo->setBeforeDelete([this](DataSet &ds) { adt_UserInfoBeforeDelete(ds); });
    adt_UserInfo->setBeforeCancel([this](DataSet &ds) { adt_UserInfoBeforeCancel(ds); });
    adt_Surgery->setOnNewRecord([this](DataSet &ds) { adt_SurgeryNewRecord(ds); });
    adt_Surgery->setBeforePost([this](DataSet &ds) { adt_SurgeryBeforePost(ds); });
    cases->onRowWritten = [this](const QVariantList &values) { SaveCaseConsent(values); };
    // Right after a case row is written (before the rest of the window follows the save).
    connect(adt_Surgery, &DataSet::stateChanged, this, [this] { reportPicturesNotStored(); });

    setupLook();
    setupNavigators();
    bindControls();
    connectHandlers();
    connectCaseHandlers();
    connectCategoryHandlers();
    setupConsent();

    guarded(this, [&] { FormCreate(startCustomerNo); });
    setInitialFocus(m_ui->DBEdit2);
    m_ui->DBEdit2->setFocus();
}

Tfrm_Manager::~Tfrm_Manager() = default;

// ---- design ---------------------------------------------------------------------------------

void Tfrm_Manager::setupLook()
{
    setBackground(m_ui->Pl_Find, Qt::white);
    setBackground(m_ui->Pl_Bottom, kTeal);
    for (QWidget *w : {static_cast<QWidget *>(m_ui->lb_CustomerHead), static_cast<QWidget *>(m_ui->lb_CaseHead),
                       static_cast<QWidget *>(m_ui->lb_ClassHead)})
        setTextColour(w, kMaroon);
    setTextColour(m_ui->DBEdit1, kMaroon);
    QFont bold = m_ui->DBEdit1->font();
    bold.setBold(true);
    m_ui->DBEdit1->setFont(bold);

    // The name find box and both find buttons are reached by the mouse only.
    for (QWidget *w : {static_cast<QWidget *>(m_ui->ed_Search), static_cast<QWidget *>(m_ui->BitBtn1),
                       static_cast<QWidget *>(m_ui->BitBtn6)})
        w->setFocusPolicy(Qt::ClickFocus);
    for (QToolButton *b : {m_ui->SpeedButton1, m_ui->SpeedButton2, m_ui->SpeedButton3, m_ui->SpeedButton4,
                           m_ui->SpeedButton7, m_ui->SpeedButton8})
        b->setFocusPolicy(Qt::NoFocus);
}

void Tfrm_Manager::setupNavigators()
{
    const QList<DBNavigator::Btn> shown{DBNavigator::Prior,  DBNavigator::Next, DBNavigator::Insert,
                                        DBNavigator::Delete, DBNavigator::Post, DBNavigator::Cancel};
    DBNavigator *nav1 = m_ui->DBNavigator1;
    nav1->setDataSet(adt_UserInfo);
    nav1->setVisibleButtons(shown);
    nav1->setHints({QStringLiteral("第一条"), QStringLiteral("前条"), QStringLiteral("下条"), QStringLiteral("最后条"),
                    QStringLiteral("新增加"), QStringLiteral("删除"), QStringLiteral("编辑"), QStringLiteral("保存"),
                    QStringLiteral("撤销"), QStringLiteral("刷新")});
    // The customer delete asks its own question (adt_UserInfoBeforeDelete).
    nav1->setConfirmDelete(false);
    nav1->setFlat(true);

    DBNavigator *nav2 = m_ui->DBNavigator2;
    nav2->setDataSet(adt_Surgery);
    nav2->setVisibleButtons(shown);
    nav2->setHints({QStringLiteral("第一条"), QStringLiteral("前个手术案例"), QStringLiteral("下个手术案例"),
                    QStringLiteral("最后条"), QStringLiteral("新增此用户案例"), QStringLiteral("删除"),
                    QStringLiteral("编辑"), QStringLiteral("保存"), QStringLiteral("撤销"), QStringLiteral("刷新")});
    nav2->setConfirmDelete(true);
    nav2->setFlat(true);
}

void Tfrm_Manager::bindControls()
{
    using DataBinding::bindComboBox;
    using DataBinding::bindLineEdit;
    bindLineEdit(m_ui->DBEdit1, adt_UserInfo, kCustomerNo);
    bindLineEdit(m_ui->DBEdit2, adt_UserInfo, QStringLiteral("用户姓名"));
    bindLineEdit(m_ui->DBEdit3, adt_UserInfo, QStringLiteral("性别"));
    bindLineEdit(m_ui->DBEdit4, adt_UserInfo, QStringLiteral("年龄"));
    bindLineEdit(m_ui->DBEdit5, adt_UserInfo, QStringLiteral("电话"));
    bindLineEdit(m_ui->DBEdit6, adt_UserInfo, QStringLiteral("地址"));

    bindComboBox(m_ui->cbox_Stair, adt_Surgery, QStringLiteral("手术大类"));
    bindComboBox(m_ui->cbox_Sub, adt_Surgery, QStringLiteral("手术小类"));
    bindLineEdit(m_ui->DBEdit9, adt_Surgery, QStringLiteral("手术医生"));
    bindLineEdit(m_ui->DBEdit10, adt_Surgery, QStringLiteral("金额"));
    bindLineEdit(m_ui->DBEdit11, adt_Surgery, QStringLiteral("手术日期"));
    const QList<QLineEdit *> boxes = pictureBoxes();
    for (int i = 0; i < boxes.size(); ++i)
        bindLineEdit(boxes.at(i), adt_Surgery, pictureColumns().at(i));
}

QList<QLineEdit *> Tfrm_Manager::pictureBoxes() const
{
    // In the order of pictureColumns().
    return {m_ui->dbed_Before, m_ui->DBEdit7, m_ui->DBEdit8, m_ui->dbed_After, m_ui->DBEdit12, m_ui->DBEdit13};
}

QList<QWidget *> Tfrm_Manager::enterKeyBoxes() const
{
    return {m_ui->DBEdit1,  m_ui->DBEdit2,     m_ui->DBEdit3,      m_ui->DBEdit4,        m_ui->DBEdit5,
            m_ui->DBEdit6,  m_ui->cbox_Stair,  m_ui->cbox_Sub,     m_ui->DBEdit9,        m_ui->DBEdit10,
            m_ui->DBEdit11, m_ui->dbed_Before, m_ui->dbed_After,   m_ui->DBEdit7,        m_ui->DBEdit8,
            m_ui->DBEdit12, m_ui->DBEdit13,    m_ui->cbox_Consent, m_ui->ed_ConsentDate, m_ui->ed_ConsentNote};
}

void Tfrm_Manager::connectHandlers()
{
    connectGuarded(m_ui->BitBtn1, &QPushButton::clicked, this, [this](auto...) { BitBtn1Click(); });
    connectGuarded(m_ui->BitBtn6, &QPushButton::clicked, this, [this](auto...) { BitBtn6Click(); });
    connect(m_ui->Button1, &QPushButton::clicked, this, [this] { accept(); });
    for (QWidget *w : enterKeyBoxes())
        w->installEventFilter(this);
}

// ---- opening and closing --------------------------------------------------------------------

void Tfrm_Manager::FormCreate(const QString &startCustomerNo)
{
    FillMajorLists();
    adt_UserInfo->open();
    adt_Surgery->open();
    adt_Class->open();
    // The list of the major the first case holds (the box may show nothing for a major no
    // longer in the list).
    FillCaseMinorList(adt_Surgery->isEmpty() ? m_ui->cbox_Stair->currentText()
                                             : adt_Surgery->asString(QStringLiteral("手术大类")));
    PicPath = PictureStore::storeRoot(DataMod->programFolder());
    if (!startCustomerNo.isEmpty())
        adt_UserInfo->locate(kCustomerNo, startCustomerNo, true);
}

bool Tfrm_Manager::FormClose()
{
    Prompter &p = Prompter::instance();
    bool dropCustomer = false;
    if (adt_UserInfo->isEditing()) {
        if (p.messageBox(this, QStringLiteral("客户资料还未保存，现在保存吗？"), QStringLiteral("提示"),
                         Prompt::Yes | Prompt::No, Prompt::Question, Prompt::Yes)
            == Prompt::Yes)
            adt_UserInfo->post(); // settles the case first; raises when either save fails
        else
            dropCustomer = true;
    }
    if (adt_Surgery->isEditing()) {
        if (p.messageBox(this, QStringLiteral("手术案例还未保存，现在保存吗？"), QStringLiteral("提示"),
                         Prompt::Yes | Prompt::No, Prompt::Question, Prompt::Yes)
            == Prompt::Yes)
            adt_Surgery->post();
        else
            adt_Surgery->cancel();
    }
    // Dropping a new customer under which cases were saved asks first (adt_UserInfoBeforeCancel).
    if (dropCustomer)
        adt_UserInfo->cancel();
    return true;
}

void Tfrm_Manager::done(int result)
{
    bool mayClose = false;
    guarded(this, [&] { mayClose = FormClose(); });
    if (mayClose)
        FixedDialog::done(result);
}

// ---- customers ------------------------------------------------------------------------------

void Tfrm_Manager::adt_UserInfoNewRecord(DataSet &ds)
{
    const QString number = MakeCustomerNo();
    ds.setValue(kCustomerNo, number);
    static_cast<CustomerTable *>(adt_UserInfo)->setGeneratedNo(number);
}

QString Tfrm_Manager::MakeCustomerNo()
{
    return Operations::makeCustomerNo(*DataMod, Settings::readHospitalNo(), QDate::currentDate());
}

void Tfrm_Manager::adt_UserInfoBeforeDelete(DataSet &ds)
{
    if (Prompter::instance().messageBox(this, QStringLiteral("确认删除吗？"), QStringLiteral("警告"),
                                        Prompt::Yes | Prompt::No, Prompt::Question, Prompt::Yes)
        != Prompt::Yes)
        throw Abort();
    // The cases of the number the customer is saved under, whatever the number box shows now.
    DeleteCustomerCases(ds.savedValue(kCustomerNo).toString());
}

void Tfrm_Manager::adt_UserInfoBeforeCancel(DataSet &ds)
{
    if (ds.state() != DataSet::Insert || m_cases->casesOfNewCustomer.isEmpty())
        return;
    // Cases were saved under this new customer: dropping it alone would leave them ownerless.
    if (Prompter::instance().messageBox(this,
                                        QStringLiteral(
                                            "这位新客户下已保存了手术案例，撤销将同时删除这些案例。确定撤销吗？"),
                                        QStringLiteral("提示"), Prompt::Yes | Prompt::No, Prompt::Question, Prompt::No)
        != Prompt::Yes)
        throw Abort();
    CustomerCases::removeCases(DataMod->ADOConn, m_cases->casesOfNewCustomer);
    m_cases->casesOfNewCustomer.clear();
}

void Tfrm_Manager::DeleteCustomerCases(const QString &customerNo)
{
    Operations::deleteCasesOf(*DataMod, customerNo);
}

void Tfrm_Manager::BitBtn1Click()
{
    FindByName(m_ui->ed_Search->text());
}

void Tfrm_Manager::BitBtn6Click()
{
    FindByNumber(m_ui->ed_Text->text());
}

void Tfrm_Manager::FindByName(const QString &name)
{
    adt_UserInfo->locate(QStringLiteral("用户姓名"), name);
}

void Tfrm_Manager::FindByNumber(const QString &number)
{
    adt_UserInfo->locate(kCustomerNo, number);
}

bool Tfrm_Manager::DBEdit1KeyDown(QWidget *box, int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    if (box != focusWidget())
        box->setFocus(Qt::OtherFocusReason);
    focusNextPrevChild(true);
    return true;
}

bool Tfrm_Manager::eventFilter(QObject *watched, QEvent *event)
{
    if (auto *w = qobject_cast<QWidget *>(watched)) {
        if (event->type() == QEvent::KeyPress && enterKeyBoxes().contains(w))
            return DBEdit1KeyDown(w, static_cast<QKeyEvent *>(event)->key());
        if (event->type() == QEvent::MouseButtonDblClick) {
            if (auto *box = qobject_cast<QLineEdit *>(w); box && pictureBoxes().contains(box))
                guarded(this, [&] { DBEdit12DblClick(box); });
        }
    }
    return FixedDialog::eventFilter(watched, event);
}
