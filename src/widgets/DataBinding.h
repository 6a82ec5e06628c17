#pragma once
// Data-aware controls: plain Qt widgets bound to a field of a DataSet. The binding shows the
// current record's value, follows every move and edit, and writes what the user types back
// into the data set (putting it into editing first). A bound widget is marked so that the
// data-set actions can find the data set behind it.

#include <QObject>
#include <QPointer>
#include <QString>

class DataSet;
class QWidget;
class QLineEdit;
class QComboBox;
class QCheckBox;
class QAbstractItemView;
class QTableView;

namespace DataBinding {

// The data set a control is bound to, or nullptr.
DataSet *dataSetOf(const QWidget *widget);
void markBound(QWidget *widget, DataSet *ds);

// A line edit showing one field; readOnly keeps the user from changing it.
void bindLineEdit(QLineEdit *edit, DataSet *ds, const QString &field, bool readOnly = false);
// A pick-only combo box whose items are filled by the window; its current text is the field's.
void bindComboBox(QComboBox *combo, DataSet *ds, const QString &field);
// A check box for a Boolean field.
void bindCheckBox(QCheckBox *box, DataSet *ds, const QString &field);

struct Column {
    QString field;
    QString title;  // empty: the field's name
    int width = -1; // -1: the view's default
};
// A read-only grid with whole-row selection: its current row is the data set's current record.
void bindGrid(QTableView *view, DataSet *ds, const QList<Column> &columns);

} // namespace DataBinding
