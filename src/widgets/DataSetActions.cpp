#include "widgets/DataSetActions.h"

#include "widgets/DataBinding.h"
#include "data/DataSet.h"
#include "widgets/Guard.h"

#include <QAction>
#include <QApplication>
#include <QWidget>

DataSetActions::DataSetActions(QWidget *window, std::function<QList<QWidget *>()> layoutOrder)
    : QObject(window), m_window(window), m_layoutOrder(std::move(layoutOrder))
{
    m_first = new QAction(this);
    m_prior = new QAction(this);
    m_next = new QAction(this);
    m_last = new QAction(this);
    const QList<QAction *> all{m_first, m_prior, m_next, m_last};
    for (int i = 0; i < all.size(); ++i)
        connect(all.at(i), &QAction::triggered, this, [this, i] { trigger(i); });
    connect(qApp, &QApplication::focusChanged, this, [this] { updateEnabled(); });
    updateEnabled();
}

void DataSetActions::watch(DataSet *ds)
{
    connect(ds, &DataSet::positionChanged, this, &DataSetActions::updateEnabled);
    connect(ds, &DataSet::stateChanged, this, &DataSetActions::updateEnabled);
    connect(ds, &DataSet::rowsReset, this, &DataSetActions::updateEnabled);
}

// Depth-first over the children in the order they were laid out.
static DataSet *firstBound(QWidget *w)
{
    if (!w->isVisibleTo(w->window()) || w->isHidden())
        return nullptr;
    if (DataSet *ds = DataBinding::dataSetOf(w))
        return ds;
    for (QObject *o : w->children())
        if (auto *child = qobject_cast<QWidget *>(o))
            if (!child->isWindow())
                if (DataSet *ds = firstBound(child))
                    return ds;
    return nullptr;
}

DataSet *DataSetActions::target() const
{
    QWidget *focus = QApplication::focusWidget();
    if (focus && focus->window() == m_window) {
        for (QWidget *w = focus; w && w != m_window; w = w->parentWidget())
            if (DataSet *ds = DataBinding::dataSetOf(w))
                return ds;
    }
    for (QWidget *container : m_layoutOrder())
        if (container)
            if (DataSet *ds = firstBound(container))
                return ds;
    return nullptr;
}

void DataSetActions::updateEnabled()
{
    DataSet *ds = target();
    if (ds != m_lastTarget) {
        m_lastTarget = ds;
    }
    const bool active = ds && ds->isActive();
    m_first->setEnabled(active && !ds->bof());
    m_prior->setEnabled(active && !ds->bof());
    m_next->setEnabled(active && !ds->eof());
    m_last->setEnabled(active && !ds->eof());
}

void DataSetActions::trigger(int which)
{
    DataSet *ds = target();
    if (!ds || !ds->isActive())
        return;
    guarded(m_window, [&] {
        switch (which) {
        case 0: ds->first(); break;
        case 1: ds->prior(); break;
        case 2: ds->next(); break;
        default: ds->last(); break;
        }
    });
    updateEnabled();
}
