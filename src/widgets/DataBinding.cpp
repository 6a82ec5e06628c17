#include "widgets/DataBinding.h"

#include "data/DataSet.h"
#include "widgets/DataSetModel.h"
#include "widgets/Guard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTableView>

#include <memory>

namespace DataBinding {

static const char kBoundProperty[] = "belcaraDataSet";

DataSet *dataSetOf(const QWidget *widget)
{
    if (!widget)
        return nullptr;
    return qobject_cast<DataSet *>(widget->property(kBoundProperty).value<QObject *>());
}

void markBound(QWidget *widget, DataSet *ds)
{
    widget->setProperty(kBoundProperty, QVariant::fromValue<QObject *>(ds));
}

// Calls show() whenever the record or the field may show something else, except while the
// control itself is writing into the data set (writing is then set): entering editing and setting
// the field happen underneath a control that already shows what the person typed, with the
// cursor and selection where they left them. Showing the stored value then would move the cursor
// and mix the next keystrokes into the old text.
template <typename Show>
static void follow(QWidget *w, DataSet *ds, const QString &field, Show show, std::shared_ptr<bool> writing)
{
    auto unlessWriting = [show, writing] {
        if (!*writing)
            show();
    };
    QObject::connect(ds, &DataSet::recordChanged, w, unlessWriting);
    QObject::connect(ds, &DataSet::stateChanged, w, unlessWriting);
    QObject::connect(ds, &DataSet::rowsReset, w, unlessWriting);
    QObject::connect(ds, &DataSet::fieldChanged, w, [field, unlessWriting](const QString &f) {
        if (f.compare(field, Qt::CaseInsensitive) == 0)
            unlessWriting();
    });
    show();
}

static QString textOf(DataSet *ds, const QString &field)
{
    if (!ds->isActive() || !ds->hasField(field))
        return QString();
    return ds->asString(field);
}

// Puts the data set into editing and stores the value; a refusal shows its error. Afterwards the
// control shows the data set's value again: unchanged when the value was taken as it was typed,
// the old value when it was refused.
template <typename Show>
static void store(QWidget *w, DataSet *ds, const QString &field, const QVariant &value, Show show,
                  const std::shared_ptr<bool> &writing)
{
    *writing = true;
    guarded(w->window(), [&] {
        if (!ds->isEditing())
            ds->edit();
        ds->setValue(field, value);
    });
    *writing = false;
    show();
}

void bindLineEdit(QLineEdit *edit, DataSet *ds, const QString &field, bool readOnly)
{
    markBound(edit, ds);
    edit->setReadOnly(readOnly);
    auto show = [edit, ds, field] {
        const QString t = textOf(ds, field);
        if (edit->text() != t) {
            {
                const QSignalBlocker block(edit);
                edit->setText(t);
                edit->setCursorPosition(0);
            }
            emit edit->textChanged(t); // handlers of the shown text (tooltips) still run
        }
    };
    auto writing = std::make_shared<bool>(false);
    follow(edit, ds, field, show, writing);
    QObject::connect(edit, &QLineEdit::textEdited, edit,
                     [edit, ds, field, show, writing](const QString &t) { store(edit, ds, field, t, show, writing); });
}

void bindComboBox(QComboBox *combo, DataSet *ds, const QString &field)
{
    markBound(combo, ds);
    auto show = [combo, ds, field] {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(combo->findText(textOf(ds, field), Qt::MatchExactly));
    };
    auto writing = std::make_shared<bool>(false);
    follow(combo, ds, field, show, writing);
    QObject::connect(combo, &QComboBox::activated, combo, [combo, ds, field, show, writing](int index) {
        store(combo, ds, field, combo->itemText(index), show, writing);
    });
}

void bindCheckBox(QCheckBox *box, DataSet *ds, const QString &field)
{
    markBound(box, ds);
    auto show = [box, ds, field] {
        const QSignalBlocker block(box);
        box->setChecked(ds->isActive() && ds->hasField(field) && ds->asBool(field));
    };
    auto writing = std::make_shared<bool>(false);
    follow(box, ds, field, show, writing);
    QObject::connect(box, &QCheckBox::clicked, box,
                     [box, ds, field, show, writing](bool checked) { store(box, ds, field, checked, show, writing); });
}

void bindGrid(QTableView *view, DataSet *ds, const QList<Column> &columns)
{
    markBound(view, ds);
    auto *model = new DataSetModel(ds, columns, view);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(18);
    view->verticalHeader()->setMinimumWidth(12);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setHighlightSections(false);
    view->setShowGrid(true);
    for (int i = 0; i < columns.size(); ++i)
        if (columns.at(i).width > 0)
            view->setColumnWidth(i, columns.at(i).width);

    auto syncing = std::make_shared<bool>(false);
    auto showCurrent = [view, ds, model, syncing] {
        if (*syncing)
            return;
        const int row = ds->recNo();
        const QModelIndex cur = view->currentIndex();
        if (row < 0 || row >= model->rowCount()) {
            *syncing = true;
            view->selectionModel()->clearSelection();
            *syncing = false;
            return;
        }
        if (cur.row() == row && view->selectionModel()->isRowSelected(row, {}))
            return;
        *syncing = true;
        const QModelIndex idx = model->index(row, cur.isValid() ? cur.column() : 0);
        view->selectionModel()->setCurrentIndex(idx, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        view->scrollTo(idx);
        *syncing = false;
    };
    QObject::connect(ds, &DataSet::recordChanged, view, showCurrent);
    QObject::connect(ds, &DataSet::rowsReset, view, showCurrent);
    QObject::connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, view,
                     [view, ds, syncing, showCurrent](const QModelIndex &current) {
                         if (*syncing || !current.isValid())
                             return;
                         *syncing = true;
                         const bool ok = guarded(view->window(), [&] { ds->moveTo(current.row()); });
                         *syncing = false;
                         if (!ok || ds->recNo() != current.row())
                             showCurrent();
                     });
    showCurrent();
}

} // namespace DataBinding
