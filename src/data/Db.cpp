#include "Db.h"

#include "AppError.h"

#include <QSqlError>

namespace Db {

namespace {
std::function<void(const QString &)> &observer()
{
    static std::function<void(const QString &)> o;
    return o;
}
} // namespace

void setObserver(std::function<void(const QString &)> o) { observer() = std::move(o); }

JetSql::Dialect dialect(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL") ? JetSql::Dialect::PostgreSQL
                                                      : JetSql::Dialect::SQLite;
}

QString errorText(const QSqlError &error)
{
    QString t = error.databaseText().trimmed();
    if (t.isEmpty())
        t = error.driverText().trimmed();
    if (t.isEmpty())
        t = error.text().trimmed();
    return t;
}

QSqlQuery run(const QSqlDatabase &db, const QString &jet)
{
    if (observer())
        observer()(jet);
    const QString sql = JetSql::translate(jet, dialect(db));
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw AppError(errorText(q.lastError()));
    return q;
}

QSqlQuery runPrepared(const QSqlDatabase &db, const QString &sql, const QVariantList &values)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        throw AppError(errorText(q.lastError()));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw AppError(errorText(q.lastError()));
    return q;
}

} // namespace Db
