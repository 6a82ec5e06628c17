#include "data/DataSet.h"

#include "data/AppError.h"
#include "data/Db.h"
#include "data/JetSql.h"
#include "data/Transaction.h"
#include "data/AuditLog.h"

#include <QSqlQuery>
#include <QSqlField>
#include <QSqlRecord>

// A table's rows (or a master's share of them) are read whole; each row carries the table's own
// integer key "id", by which single rows are saved and deleted.
//
// Names given by the window (the table, the master and order columns) are written as the
// engine's catalogue holds them: on PostgreSQL the tables were created with unquoted names, so
// tUserInfo is tuserinfo there. Column names read back from a row are quoted exactly as read.

TableDataSet::TableDataSet(const QString &connectionName, const QString &table, QObject *parent)
    : DataSet(connectionName, parent), m_table(table)
{
}

static QString quotedExactly(const QString &name)
{
    QString n = name;
    n.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}

QString TableDataSet::quotedName(const QString &name) const
{
    if (Db::dialect(database()) == JetSql::Dialect::PostgreSQL)
        return JetSql::translate(QLatin1Char('[') + name + QLatin1Char(']'), JetSql::Dialect::PostgreSQL);
    return quotedExactly(name);
}

// A value for a Boolean column of PostgreSQL, which takes no numbers: what a check box or a
// text box holds, read as DataSet::asBool reads it.
static QVariant asBoolean(const QVariant &v)
{
    if (v.isNull() || v.typeId() == QMetaType::Bool)
        return v;
    if (v.typeId() == QMetaType::QString) {
        const QString t = v.toString().trimmed();
        if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || t.isEmpty())
            return false;
        bool ok = false;
        const qlonglong n = t.toLongLong(&ok);
        if (!ok)
            throw AppError(QStringLiteral("'%1' is not a valid Boolean value").arg(t));
        return n != 0;
    }
    return v.toLongLong() != 0;
}

void TableDataSet::readRows()
{
    const QSqlDatabase db = database();
    QString sql = QStringLiteral("SELECT * FROM ") + quotedName(m_table);
    QVariantList binds;
    if (master()) {
        sql += QStringLiteral(" WHERE ") + quotedName(masterField()) + QStringLiteral(" = ?");
        binds << masterKey();
    }
    if (!m_orderBy.isEmpty())
        sql += QStringLiteral(" ORDER BY ") + quotedName(m_orderBy) + QStringLiteral(", id");
    QSqlQuery q = Db::runPrepared(db, sql, binds);
    const QSqlRecord rec = q.record();
    QStringList names;
    for (int i = 0; i < rec.count(); ++i)
        names << rec.fieldName(i);
    setFields(names);
    m_idColumn = fieldIndex(QStringLiteral("id"));
    m_boolColumns.clear();
    for (int i = 0; i < rec.count(); ++i)
        if (rec.field(i).metaType().id() == QMetaType::Bool)
            m_boolColumns << i;
    QVector<QVariantList> rows;
    while (q.next()) {
        QVariantList row;
        row.reserve(names.size());
        for (int i = 0; i < names.size(); ++i)
            row << q.value(i);
        rows << row;
    }
    m_rows = rows;
}

void TableDataSet::doOpen()
{
    readRows();
}

void TableDataSet::doClose()
{
    m_rows.clear();
}

void TableDataSet::masterChanged()
{
    readRows();
    resetAfterRead();
}

QVariant TableDataSet::rowId(int row) const
{
    if (m_idColumn < 0 || row < 0 || row >= m_rows.size())
        return QVariant();
    return m_rows.at(row).value(m_idColumn);
}

void TableDataSet::checkRow(QVariantList &values) const
{
    for (const QString &f : m_dateFields) {
        const int i = fieldIndex(f);
        if (i < 0 || values.at(i).isNull())
            continue;
        const QString text = values.at(i).toString().trimmed();
        if (text.isEmpty()) {
            values[i] = QVariant();
            continue;
        }
        const QString iso = JetSql::dateLiteralToIso(text);
        if (iso.isEmpty())
            throw AppError(QStringLiteral("'%1' is not a valid date").arg(text));
        values[i] = iso;
    }

    for (int i : m_boolColumns)
        values[i] = asBoolean(values.at(i));
}

void TableDataSet::writeRow(bool inserting, QVariantList &values, int storageRow)
{
    checkRow(values);

    const QSqlDatabase db = database();
    const bool postgres = Db::isPostgres(db);
    const QStringList names = fieldNames();
    QStringList cols, marks;
    QVariantList binds;
    for (int i = 0; i < names.size(); ++i) {
        // A new row leaves the columns nobody filled to the table's defaults.
        if (i == m_idColumn || (inserting && values.at(i).isNull()))
            continue;
        cols << quotedExactly(names.at(i));
        marks << QStringLiteral("?");
        binds << values.at(i);
    }
    if (inserting) {
        const QString sql = cols.isEmpty() ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(quotedName(m_table))
                                           : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                                 .arg(quotedName(m_table), cols.join(QLatin1String(", ")),
                                                      marks.join(QLatin1String(", ")));
        // The row and its audit event are saved together or not at all.
        Transaction t(db);
        if (postgres && m_idColumn >= 0) {
            // The server's driver has no last insert id: the statement hands the key back.
            QSqlQuery q = Db::runPrepared(db, sql + QStringLiteral(" RETURNING id"), binds);
            values[m_idColumn] = q.next() ? q.value(0) : QVariant();
        } else {
            QSqlQuery q = Db::runPrepared(db, sql, binds);
            if (m_idColumn >= 0)
                values[m_idColumn] = q.lastInsertId();
        }
        AuditLog::recordRowChange(db, m_table, names, {}, values);
        rowWritten(true, values);
        t.commit();
        m_rows.insert(storageRow, values);
    } else {
        QStringList sets;
        for (const QString &c : cols)
            sets << c + QStringLiteral(" = ?");
        binds << rowId(storageRow);
        const QString sql = QStringLiteral("UPDATE %1 SET %2 WHERE id = ?")
                                .arg(quotedName(m_table), sets.join(QLatin1String(", ")));
        Transaction t(db);
        Db::runPrepared(db, sql, binds);
        AuditLog::recordRowChange(db, m_table, names, m_rows.at(storageRow), values);
        rowWritten(false, values);
        t.commit();
        m_rows[storageRow] = values;
    }
}

void TableDataSet::rowWritten(bool, const QVariantList &) {}

void TableDataSet::deleteRow(int storageRow)
{
    const QSqlDatabase db = database();
    Transaction t(db);
    Db::runPrepared(db, QStringLiteral("DELETE FROM %1 WHERE id = ?").arg(quotedName(m_table)), {rowId(storageRow)});
    AuditLog::recordRowChange(db, m_table, fieldNames(), m_rows.at(storageRow), {});
    t.commit();
    m_rows.remove(storageRow);
}
