#include "widgets/DataSetModel.h"

#include "data/DataSet.h"

DataSetModel::DataSetModel(DataSet *ds, const QList<DataBinding::Column> &columns, QObject *parent)
    : QAbstractTableModel(parent), m_ds(ds), m_columns(columns)
{
    connect(ds, &DataSet::rowsReset, this, [this] {
        beginResetModel();
        endResetModel();
    });
    connect(ds, &DataSet::rowUpdated, this,
            [this](int row) { emit dataChanged(index(row, 0), index(row, columnCount() - 1)); });
    connect(ds, &DataSet::fieldChanged, this, [this](const QString &) {
        const int row = m_ds->recNo();
        if (row >= 0)
            emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    });
}

int DataSetModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() || !m_ds ? 0 : m_ds->recordCount();
}

int DataSetModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_columns.size();
}

QVariant DataSetModel::data(const QModelIndex &index, int role) const
{
    if (!m_ds || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QVariant();
    const QVariant v = m_ds->valueAt(index.row(), m_columns.at(index.column()).field);
    return v.isNull() ? QVariant() : QVariant(v.toString());
}

QVariant DataSetModel::headerData(int section, Qt::Orientation o, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (o == Qt::Vertical)
        return QVariant();
    const auto &c = m_columns.value(section);
    return c.title.isEmpty() ? c.field : c.title;
}
