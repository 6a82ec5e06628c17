#include "data/Db.h"

#include "data/AppError.h"

#include <QSqlError>

namespace Db {

namespace {
std::function<void(const QString &)> &observer()
{
    static std::function<void(const QString &)> o;
    return o;
}
} // namespace

void setObserver(std::function<void(const QString &)> o)
{
    observer() = std::move(o);
}

JetSql::Dialect dialect(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL") ? JetSql::Dialect::PostgreSQL : JetSql::Dialect::SQLite;
}

bool isPostgres(const QSqlDatabase &db)
{
    return dialect(db) == JetSql::Dialect::PostgreSQL;
}

QSqlQuery execNative(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw AppError(errorText(q.lastError()));
    return q;
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

QString readOnlyText()
{
    return QStringLiteral("当前用户对数据库只有读取权限，不能保存修改。");
}

bool isDuplicateKey(const QSqlError &error)
{
    // PostgreSQL: SQLSTATE unique_violation. SQLite reports every constraint as code 19; its
    // text names the kind.
    const QString code = error.nativeErrorCode();
    if (code == QLatin1String("23505"))
        return true;
    return (code == QLatin1String("19") || code == QLatin1String("2067"))
           && error.databaseText().contains(QLatin1String("UNIQUE"), Qt::CaseInsensitive);
}

bool isReadOnly(const QSqlError &error, JetSql::Dialect engine)
{
    const QString code = error.nativeErrorCode();
    if (engine == JetSql::Dialect::PostgreSQL)
        return code == QLatin1String("25006"); // read_only_sql_transaction
    bool ok = false;
    const int n = code.toInt(&ok);
    return ok && (n & 0xff) == 8; // SQLITE_READONLY and its extended codes
}

namespace {
[[noreturn]] void raise(const QSqlError &error, JetSql::Dialect engine)
{
    if (isDuplicateKey(error))
        throw DuplicateKey(errorText(error));
    if (isReadOnly(error, engine))
        throw AppError(readOnlyText());
    throw AppError(errorText(error));
}
} // namespace

QSqlQuery run(const QSqlDatabase &db, const QString &jet)
{
    if (observer())
        observer()(jet);
    const QString sql = JetSql::translate(jet, dialect(db));
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        raise(q.lastError(), dialect(db));
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
        raise(q.lastError(), dialect(db));
    return q;
}

} // namespace Db
