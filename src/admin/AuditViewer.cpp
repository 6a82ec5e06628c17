#include "admin/AuditViewer.h"
#include "ui_AuditViewer.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QHeaderView>
#include <QSaveFile>
#include <QSqlDatabase>

AuditViewer::AuditViewer(QWidget *owner, const QString &connectionName)
    : FixedDialog(owner), m_ui(new Ui::AuditViewer), m_connection(connectionName)
{
    m_ui->setupUi(this);
    fixDesign(QSize(760, 458));

    const QDate today = QDate::currentDate();
    m_ui->dtp_From->setDate(today.addMonths(-1));
    m_ui->dtp_To->setDate(today);
    m_ui->cbox_Action->addItem(QStringLiteral("全部"), QString());
    for (AuditLog::Action a : AuditLog::actions())
        m_ui->cbox_Action->addItem(AuditLog::label(a), AuditLog::code(a));

    QTableWidget *grid = m_ui->grid_Events;
    grid->setColumnCount(7);
    grid->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("使用人"), QStringLiteral("计算机"),
                                     QStringLiteral("操作"), QStringLiteral("客户编号"), QStringLiteral("案例"),
                                     QStringLiteral("说明")});
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->verticalHeader()->setVisible(false);
    grid->verticalHeader()->setDefaultSectionSize(18);
    const int widths[] = {130, 70, 80, 90, 110, 44};
    for (int i = 0; i < 6; ++i)
        grid->setColumnWidth(i, widths[i]);
    grid->horizontalHeader()->setStretchLastSection(true);
    setInitialFocus(m_ui->ed_User);

    connectGuarded(m_ui->bbtn_Filter, &QPushButton::clicked, this, [this](auto...) { bbtn_FilterClick(); });
    connectGuarded(m_ui->bbtn_Prior, &QPushButton::clicked, this, [this](auto...) { bbtn_PriorClick(); });
    connectGuarded(m_ui->bbtn_Next, &QPushButton::clicked, this, [this](auto...) { bbtn_NextClick(); });
    connectGuarded(m_ui->bbtn_Export, &QPushButton::clicked, this, [this](auto...) { bbtn_ExportClick(); });
    connectGuarded(m_ui->bbtn_Verify, &QPushButton::clicked, this, [this](auto...) { bbtn_VerifyClick(); });
    connect(m_ui->bbtn_Close, &QPushButton::clicked, this, [this] { reject(); });
    connect(m_ui->cb_Date, &QCheckBox::toggled, this, [this](bool on) {
        m_ui->dtp_From->setEnabled(on);
        m_ui->dtp_To->setEnabled(on);
    });
    m_ui->dtp_From->setEnabled(false);
    m_ui->dtp_To->setEnabled(false);

    // Opens on the newest events, unfiltered.
    m_starts = {nullptr};
    showPage();
    guarded(this, [this] { CheckChain(false); });
}

AuditViewer::~AuditViewer() = default;

bool AuditViewer::readFilter(AuditQuery::Filter &f)
{
    f = AuditQuery::Filter();
    if (m_ui->cb_Date->isChecked()) {
        f.from = m_ui->dtp_From->date();
        f.to = m_ui->dtp_To->date();
        if (f.from > f.to) {
            Prompter::instance().messageBox(this, QStringLiteral("开始日期不能晚于结束日期"), QStringLiteral("提示"),
                                            Prompt::Ok, Prompt::NoIcon, Prompt::Ok);
            m_ui->dtp_From->setFocus(Qt::OtherFocusReason);
            return false;
        }
    }
    f.user = m_ui->ed_User->text().trimmed();
    f.action = m_ui->cbox_Action->currentData().toString();
    f.customerNo = m_ui->ed_CustomerNo->text().trimmed();
    return true;
}

void AuditViewer::bbtn_FilterClick()
{
    AuditQuery::Filter f;
    if (!readFilter(f))
        return;
    m_filter = f;
    m_starts = {nullptr};
    showPage();
}

void AuditViewer::bbtn_NextClick()
{
    if (!m_more || m_events.isEmpty())
        return;
    m_starts << std::make_shared<AuditQuery::Event>(m_events.last());
    showPage();
}

void AuditViewer::bbtn_PriorClick()
{
    if (m_starts.size() <= 1)
        return;
    m_starts.removeLast();
    showPage();
}

void AuditViewer::showPage()
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One event more than a page tells whether there is a next page.
    QVector<AuditQuery::Event> rows = AuditQuery::page(db, m_filter, PageSize + 1, m_starts.last().get());
    m_more = rows.size() > PageSize;
    if (m_more)
        rows.resize(PageSize);
    m_events = rows;

    QTableWidget *grid = m_ui->grid_Events;
    grid->setRowCount(0);
    grid->setRowCount(rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        const AuditQuery::Event &e = rows.at(r);
        const QStringList cells{AuditQuery::localTime(e.at),
                                e.user,
                                e.host,
                                AuditLog::labelOfCode(e.action),
                                e.customerNo,
                                e.caseId.isNull() ? QString() : e.caseId.toString(),
                                AuditQuery::detailText(e.detail)};
        for (int c = 0; c < cells.size(); ++c)
            grid->setItem(r, c, new QTableWidgetItem(cells.at(c)));
    }
    m_ui->lb_Page->setText(rows.isEmpty() && m_starts.size() == 1 ? QStringLiteral("没有记录")
                                                                  : QStringLiteral("第%1页").arg(m_starts.size()));
    updateButtons();
}

void AuditViewer::updateButtons()
{
    m_ui->bbtn_Prior->setEnabled(m_starts.size() > 1);
    m_ui->bbtn_Next->setEnabled(m_more);
}

void AuditViewer::bbtn_ExportClick()
{
    // What the controls show now, not only what the last 查询 applied.
    AuditQuery::Filter f;
    if (!readFilter(f))
        return;
    const QString path = Prompter::instance().saveFile(this, QStringLiteral("CSV文件|*.csv"),
                                                       QStringLiteral("操作记录.csv"));
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(path, file.errorString()));
    const qint64 n = AuditQuery::exportCsv(QSqlDatabase::database(m_connection, false), f, file);
    if (!file.commit())
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(path, file.errorString()));
    Prompter::instance().messageBox(this, QStringLiteral("已导出%1条记录到 %2").arg(n).arg(path),
                                    QStringLiteral("提示"), Prompt::Ok, Prompt::Information, Prompt::Ok);
}

void AuditViewer::bbtn_VerifyClick()
{
    CheckChain(true);
}

void AuditViewer::CheckChain(bool tell)
{
    const AuditLog::Verdict v = AuditLog::verify(QSqlDatabase::database(m_connection, false),
                                                 AuditLog::readHead(AuditLog::headFile()));
    m_ui->lb_Chain->setText(v.whole ? QStringLiteral("记录完整，校验无误")
                                    : QStringLiteral("记录不完整（自第%1条起）").arg(v.firstBroken));
    QPalette p = m_ui->lb_Chain->palette();
    p.setColor(QPalette::WindowText, v.whole ? QColor(0, 128, 0) : QColor(192, 0, 0));
    m_ui->lb_Chain->setPalette(p);
    if (tell || !v.whole || !v.triggersRestored.isEmpty())
        Prompter::instance().messageBox(this, v.summary(), QStringLiteral("校验操作记录"), Prompt::Ok,
                                        v.whole && v.triggersRestored.isEmpty() ? Prompt::Information : Prompt::Warning,
                                        Prompt::Ok);
}
