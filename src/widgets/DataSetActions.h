#pragma once
// The four data-set actions (first, prior, next, last) of a window. They are bound to no data
// set of their own: each acts on the data set behind the data-bound control that has the focus,
// or, when the focused control is not data-bound, on the first visible data-bound control met
// when walking the window's controls in layout order. They are enabled only with such a target
// whose data set is open; first and prior not at its beginning, next and last not at its end.

#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

#include "data/DataSet.h"
class QAction;
class QWidget;

class DataSetActions : public QObject {
    Q_OBJECT
public:
    // layoutOrder gives the containers to walk, in order, each time a target is looked for.
    DataSetActions(QWidget *window, std::function<QList<QWidget *>()> layoutOrder);

    QAction *first() const { return m_first; }
    QAction *prior() const { return m_prior; }
    QAction *next() const { return m_next; }
    QAction *last() const { return m_last; }

    // Data sets whose moves and states change the enabling.
    void watch(DataSet *ds);
    DataSet *target() const;
    void updateEnabled();

private:
    void trigger(int which);
    QWidget *m_window;
    std::function<QList<QWidget *>()> m_layoutOrder;
    QAction *m_first, *m_prior, *m_next, *m_last;
    QPointer<DataSet> m_lastTarget;
};
