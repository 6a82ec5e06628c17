#include "compare/CompareCases.h"

#include "browser/Unit_Main.h"
#include "compare/CompareWindow.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"
#include "ui_Unit_Main.h"

#include <QAction>
#include <QDateTime>
#include <QMenu>
#include <QMouseEvent>
#include <QToolBar>
#include <QToolButton>

const ComparePicture *CompareCase::first(bool after) const
{
    for (int slot = 0; slot < 3; ++slot)
        if (!picture(after, slot).isEmpty())
            return &picture(after, slot);
    return nullptr;
}

CompareCase CompareCase::read(const QSqlDatabase &db, const QString &programFolder, qint64 caseId, const QString &title)
{
    CompareCase c;
    c.id = caseId;
    c.title = title;
    for (int i = 0; i < 6; ++i) {
        c.pictures[i].caseId = caseId;
        c.pictures[i].after = i >= 3;
        c.pictures[i].slot = i % 3;
    }
    for (const CasePicture &p : CasePictures::read(db, programFolder, caseId)) {
        c.customerNo = p.customerNo;
        c.pictures[(p.after ? 3 : 0) + p.slot] = p;
    }
    return c;
}

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
                guarded(m_w, [this] { openCompare(m_w); });
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TfrmMain *m_w;
};

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

QAction *addCompareEntries(TfrmMain *w)
{
    auto *action = new QAction(QStringLiteral("对比查看(&C)"), w);
    action->setObjectName(QStringLiteral("ac_Compare"));
    action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    action->setShortcutContext(Qt::WindowShortcut);
    action->setIcon(mainImage(4));
    w->addAction(action);
    connectGuarded(action, &QAction::triggered, w, [w](auto...) { openCompare(w); });

    w->menuView->addSeparator();
    QAction *entry = w->menuView->addAction(action->text());
    entry->setObjectName(QStringLiteral("CompareN"));
    entry->setShortcut(action->shortcut());
    entry->setShortcutContext(Qt::WidgetShortcut); // shown in the menu; the window's action answers
    QObject::connect(entry, &QAction::triggered, action, &QAction::trigger);

    // The command-bar button, before the gap that precedes 退出.
    QToolBar *bar = w->ui()->ToolBar2;
    auto *b = new QToolButton(bar);
    action->setIconText(action->text());
    b->setDefaultAction(action);
    b->setObjectName(QStringLiteral("btn_ac_Compare"));
    b->setAutoRaise(true);
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setFixedSize(79, 35);
    b->setFocusPolicy(Qt::NoFocus);
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

    auto *filter = new CtrlDoubleClick(w);
    for (QWidget *host : {static_cast<QWidget *>(w->ui()->Pl_Before), static_cast<QWidget *>(w->ui()->Pl_After)})
        host->installEventFilter(filter);
    return action;
}

void openCompare(TfrmMain *w)
{
    MainWindowCompareSource source(w);
    CompareWindow window(&source, w);
    Prompter::instance().execModal(&window);
}
