#pragma once
// A table model over a DataSet for grids. Rows are asked for as the view paints them, so a
// long query list is read only where it is seen.

#include "widgets/DataBinding.h"
#include "data/DataSet.h"

#include <QAbstractTableModel>
#include <QPointer>

class DataSetModel : public QAbstractTableModel {
    Q_OBJECT
public:
    DataSetModel(DataSet *ds, const QList<DataBinding::Column> &columns, QObject *parent = nullptr);
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    DataSet *dataSet() const { return m_ds; }

private:
    QPointer<DataSet> m_ds;
    QList<DataBinding::Column> m_columns;
};
