// The main window's commands for the features beyond its own lists: the comparison, the
// consultation mode and the comparison sheets. The window owns the actions, menu entries,
// buttons and keys; each feature is handed only what it needs (the current case, the list to
// step through, the database).

#include "browser/MainCompareSource.h"
#include "browser/Unit_Main.h"
#include "ui_Unit_Main.h"

#include "consent/Showable.h"
#include "consult/ConsultEntry.h"
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "export/SheetCommands.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QDateTime>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>

namespace {

// The case of a row of the main window's lists: what the list shows of it (its number and the
// strip's title), its pictures and consent from the database.
CompareCase caseAt(const TfrmMain *w, const DataSet *ds, int row)
{
    auto value = [&](const char *field) { return ds->valueAt(row, QString::fromUtf8(field)); };
    const QVariant date = value("手术日期");
    const QString day = date.canConvert<QDateTime>() && date.toDateTime().isValid()
                            ? date.toDateTime().toString(QStringLiteral("yyyy-MM-dd"))
                            : date.toString().left(10);
    const QString title = (value("手术小类").toString() + QLatin1Char(' ') + day).trimmed();
    CompareCase c = CompareCase::read(QSqlDatabase::database(DataMod->ADOConn), w->programFolder(),
                                      value("id").toLongLong(), title);
    c.customerNo = value("客户编号").toString();
    return c;
}

void compareCurrent(TfrmMain *w)
{
    MainWindowCompareSource source(w);
    if (!openCompare(&source, w))
        return;
    // A photo was taken into a case: the lists are read again, on the case the window showed last.
    const QVariant id = w->adq_Surgery && w->adq_Surgery->isActive() && w->adq_Surgery->recNo() >= 0
                            ? w->adq_Surgery->value(QStringLiteral("id"))
                            : QVariant();
    w->RefreshData();
    if (id.isValid())
        w->adq_Surgery->locate(QStringLiteral("id"), id);
}

// Opens the comparison on a double-click with Ctrl held in a column of picture frames (the
// picture controls pass such a double-click on to their column).
class CtrlDoubleClick : public QObject {
public:
    explicit CtrlDoubleClick(TfrmMain *w) : QObject(w), m_w(w) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonDblClick) {
            auto *e = static_cast<QMouseEvent *>(event);
            if (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ControlModifier)) {
                guarded(m_w, [this] { compareCurrent(m_w); });
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TfrmMain *m_w;
};

// A command-bar button in the style of the window's own: caption under the picture, no focus.
QToolButton *commandButton(QToolBar *bar, QAction *action, const char *name)
{
    auto *b = new QToolButton(bar);
    b->setDefaultAction(action);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoRaise(true);
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setFixedSize(79, 35);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

// The sheet of the current case, to save or to print.
void openSheet(TfrmMain *w, bool print)
{
    DataSet *cases = w->adq_Surgery;
    if (!cases || !cases->isActive() || cases->recNo() < 0) {
        Prompter::instance().showMessage(w, QStringLiteral("请先选择一个病例。"));
        return;
    }
    Export::openForCase(w, QSqlDatabase::database(DataMod->ADOConn), w->programFolder(),
                        cases->value(QStringLiteral("id")).toLongLong(), print);
}

} // namespace

CompareCase MainWindowCompareSource::currentCase() const
{
    const DataSet *list = m_window->adq_Surgery;
    if (!list || !list->isActive() || list->recNo() < 0)
        return CompareCase();
    return caseAt(m_window, list, list->recNo());
}

QVector<CompareCase> MainWindowCompareSource::otherCases() const
{
    QVector<CompareCase> cases;
    const DataSet *own = m_window->adt_Surgery;
    const CompareCase current = currentCase();
    if (!own || !own->isActive() || current.id == 0)
        return cases;
    for (int row = 0; row < own->recordCount(); ++row) {
        if (own->valueAt(row, QStringLiteral("id")).toLongLong() == current.id
            || own->valueAt(row, QStringLiteral("客户编号")).toString() != current.customerNo)
            continue;
        cases.append(caseAt(m_window, own, row));
    }
    return cases;
}

bool MainWindowCompareSource::step(int delta)
{
    DataSet *list = m_window->adq_Surgery;
    if (!list || !list->isActive() || list->recNo() < 0)
        return false;
    return list->moveBy(delta) != 0;
}

QSqlDatabase MainWindowCompareSource::database() const
{
    return QSqlDatabase::database(DataMod->ADOConn);
}

QString MainWindowCompareSource::programFolder() const
{
    return m_window->programFolder();
}

// 查看 → "对比查看(&C)", a command-bar button with that caption before the gap that precedes
// 退出, Ctrl+D, and a double-click with Ctrl held on a picture frame.
void TfrmMain::buildCompareCommands()
{
    auto *action = new QAction(QStringLiteral("对比查看(&C)"), this);
    action->setObjectName(QStringLiteral("ac_Compare"));
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    action->setShortcutContext(Qt::WindowShortcut);
    action->setIcon(mainImage(4));
    addAction(action);
    connectGuarded(action, &QAction::triggered, this, [this](auto...) { compareCurrent(this); });

    menuView->addSeparator();
    QAction *entry = menuView->addAction(action->text());
    entry->setObjectName(QStringLiteral("CompareN"));
    entry->setShortcut(action->shortcut());
    entry->setShortcutContext(Qt::WidgetShortcut); // shown in the menu; the window's action answers
    connect(entry, &QAction::triggered, action, &QAction::trigger);

    QToolBar *bar = m_ui->ToolBar2;
    action->setIconText(action->text());
    QToolButton *b = commandButton(bar, action, "btn_ac_Compare");
    QAction *before = nullptr;
    const QList<QAction *> items = bar->actions();
    for (int i = 0; i < items.size(); ++i)
        if (bar->widgetForAction(items.at(i))
            && bar->widgetForAction(items.at(i))->objectName() == QLatin1String("btn_ac_Close"))
            before = i > 0 ? items.at(i - 1) : items.at(i);
    if (before)
        bar->insertWidget(before, b);
    else
        bar->addWidget(b);

    auto *filter = new CtrlDoubleClick(this);
    for (QWidget *host : {static_cast<QWidget *>(m_ui->Pl_Before), static_cast<QWidget *>(m_ui->Pl_After)})
        host->installEventFilter(filter);
}

// 查看 → 咨询演示(&P), a command-bar button and F5, and the machine setting whether the
// consultation mode shows the surgeon's name.
void TfrmMain::buildConsultCommands()
{
    auto *open = new QAction(QStringLiteral("咨询演示(&P)"), this);
    open->setObjectName(QStringLiteral("ac_Consult"));
    open->setShortcut(QKeySequence(Qt::Key_F5));
    open->setShortcutContext(Qt::WindowShortcut);
    open->setIcon(style()->standardIcon(QStyle::SP_DesktopIcon));
    addAction(open);
    connectGuarded(open, &QAction::triggered, this, [this](auto...) { ConsultEntry::open(this, *DataMod); });

    auto *surgeon = new QAction(QStringLiteral("咨询演示显示医生(&D)"), this);
    surgeon->setObjectName(QStringLiteral("ac_ConsultSurgeon"));
    surgeon->setCheckable(true);
    connectGuarded(surgeon, &QAction::triggered, this, [](bool checked) { Showable::setSurgeonShown(checked); });

    menuView->addSeparator();
    menuView->addAction(open);
    menuView->addAction(surgeon);
    // The setting lives in the machine's settings file, which another copy may change.
    connect(menuView, &QMenu::aboutToShow, surgeon, [surgeon] {
        try {
            surgeon->setChecked(Showable::surgeonShown());
        } catch (const AppError &) {
            surgeon->setChecked(false);
        }
    });

    // F5 is the button's key: Alt+P belongs to the command bar's 前一条(&P).
    open->setIconText(QStringLiteral("咨询演示"));
    m_ui->ToolBar2->addWidget(commandButton(m_ui->ToolBar2, open, "btn_ac_Consult"));
}

// 文件 → "导出对比图(&E)…" and "打印(&P)…", above 退出, for the current case.
void TfrmMain::buildSheetCommands()
{
    auto *exportAction = new QAction(QStringLiteral("导出对比图(&E)…"), this);
    exportAction->setObjectName(QStringLiteral("ac_ExportSheet"));
    auto *printAction = new QAction(QStringLiteral("打印(&P)…"), this);
    printAction->setObjectName(QStringLiteral("ac_PrintSheet"));
    menuFile->insertAction(N3, exportAction);
    menuFile->insertAction(N3, printAction);
    menuFile->insertSeparator(N3);
    connectGuarded(exportAction, &QAction::triggered, this, [this](auto...) { openSheet(this, false); });
    connectGuarded(printAction, &QAction::triggered, this, [this](auto...) { openSheet(this, true); });
}
