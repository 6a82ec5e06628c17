#include "data/DataSet.h"

#include "data/AppError.h"
#include "data/Db.h"

#include <QSqlQuery>
#include <QSqlRecord>

// A statement's rows are counted in SQL and read a page at a time when they are first asked
// for; a few pages are kept, least recently used dropped first.

QueryDataSet::QueryDataSet(const QString &connectionName, QObject *parent) : DataSet(connectionName, parent) {}

static QString withoutTrailingSemicolon(QString sql)
{
    sql = sql.trimmed();
    while (sql.endsWith(QLatin1Char(';')))
        sql.chop(1);
    return sql;
}

void QueryDataSet::doOpen()
{
    m_pages.clear();
    m_pageOrder.clear();
    m_count = 0;
    const QSqlDatabase db = database();
    // The statement as written is what the observer sees; pages add their own limits.
    m_translated = withoutTrailingSemicolon(JetSql::translate(m_sql, Db::dialect(db)));
    QSqlQuery first = Db::run(db, m_sql + QStringLiteral(" LIMIT %1").arg(PageSize));
    const QSqlRecord rec = first.record();
    QStringList names;
    for (int i = 0; i < rec.count(); ++i)
        names << rec.fieldName(i);
    setFields(names);
    QVector<QVariantList> page;
    while (first.next()) {
        QVariantList row;
        row.reserve(names.size());
        for (int i = 0; i < names.size(); ++i)
            row << first.value(i);
        page << row;
    }
    m_pages.insert(0, page);
    m_pageOrder << 0;
    if (page.size() < PageSize) {
        m_count = page.size();
        return;
    }
    QSqlQuery count = Db::runPrepared(db, QStringLiteral("SELECT COUNT(*) FROM (%1) AS counted").arg(m_translated), {});
    m_count = count.next() ? count.value(0).toInt() : 0;
}

void QueryDataSet::doClose()
{
    m_pages.clear();
    m_pageOrder.clear();
    m_count = 0;
}

void QueryDataSet::loadPage(int page) const
{
    QVector<QVariantList> rows;
    try {
        QSqlQuery q = Db::runPrepared(database(),
                                      QStringLiteral("%1 LIMIT %2 OFFSET %3")
                                          .arg(m_translated)
                                          .arg(PageSize)
                                          .arg(qint64(page) * PageSize),
                                      {});
        const int n = fieldNames().size();
        while (q.next()) {
            QVariantList row;
            row.reserve(n);
            for (int i = 0; i < n; ++i)
                row << q.value(i);
            rows << row;
        }
    } catch (const AppError &) {
        // A page that cannot be read (the file went away under us) shows as empty rows; the
        // next statement the user runs reports the error.
    }
    m_pages.insert(page, rows);
    m_pageOrder.removeAll(page);
    m_pageOrder << page;
    while (m_pageOrder.size() > MaxPages)
        m_pages.remove(m_pageOrder.takeFirst());
}

QVariantList QueryDataSet::storedRow(int row) const
{
    if (row < 0 || row >= m_count)
        return {};
    const int page = row / PageSize;
    if (!m_pages.contains(page))
        loadPage(page);
    else if (m_pageOrder.last() != page) {
        m_pageOrder.removeAll(page);
        m_pageOrder << page;
    }
    return m_pages.value(page).value(row % PageSize);
}

void QueryDataSet::writeRow(bool, QVariantList &, int)
{
    throw AppError(QStringLiteral("Cannot modify a read-only dataset"));
}

void QueryDataSet::deleteRow(int)
{
    throw AppError(QStringLiteral("Cannot modify a read-only dataset"));
}

void QueryDataSet::masterChanged() {}
