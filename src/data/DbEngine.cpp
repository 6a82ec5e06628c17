#include "data/DbEngine.h"

#include "data/AppError.h"
#include "data/Db.h"
#include "data/Settings.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace DbEngine {

namespace {
const QString Section = QStringLiteral("Database");

QString read(const QString &key)
{
    return Settings::readString(Section, key, QString()).trimmed();
}
} // namespace

Choice fromSettings()
{
    Choice c;
    const QString engine = read(QStringLiteral("Engine"));
    if (engine.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0
        || engine.compare(QLatin1String("Postgres"), Qt::CaseInsensitive) == 0) {
        c.engine = Engine::PostgreSQL;
    } else if (!engine.isEmpty() && engine.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) != 0) {
        throw AppError(QStringLiteral("Unknown database engine '%1' in section [Database] of %2 "
                                      "(use SQLite or PostgreSQL)")
                           .arg(engine, Settings::path()));
    }
    ServerSettings &s = c.server;
    s.service = read(QStringLiteral("Service"));
    s.host = read(QStringLiteral("Host"));
    s.port = read(QStringLiteral("Port"));
    s.database = read(QStringLiteral("Database"));
    s.user = read(QStringLiteral("User"));
    s.options = read(QStringLiteral("Options"));
    bool ok = false;
    const int timeout = read(QStringLiteral("ConnectTimeout")).toInt(&ok);
    if (ok && timeout > 0)
        s.connectTimeout = timeout;
    return c;
}

QString conninfoValue(const QString &value)
{
    bool plain = !value.isEmpty();
    for (const QChar ch : value)
        plain = plain && !ch.isSpace() && ch != QLatin1Char('\'') && ch != QLatin1Char('\\')
                && ch != QLatin1Char(';');
    if (plain)
        return value;
    QString v = value;
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + v + QLatin1Char('\'');
}

QString conninfo(const ServerSettings &s)
{
    QStringList parts;
    parts << QStringLiteral("connect_timeout=%1").arg(s.connectTimeout);
    const QList<QPair<const char *, QString>> keys{{"service", s.service}, {"host", s.host},
                                                   {"port", s.port},       {"dbname", s.database},
                                                   {"user", s.user}};
    for (const auto &k : keys)
        if (!k.second.isEmpty())
            parts << QString::fromLatin1(k.first) + QLatin1Char('=') + conninfoValue(k.second);
    if (!s.options.isEmpty())
        parts << s.options;
    return parts.join(QLatin1Char(' '));
}

void openServer(const QString &connectionName, const QString &conninfo)
{
    if (conninfo.contains(QLatin1Char(';')))
        throw AppError(QStringLiteral("A ';' cannot stand in the connection settings: %1").arg(conninfo));
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
                          ? QSqlDatabase::database(connectionName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db.isValid())
        throw AppError(QStringLiteral("The PostgreSQL driver (QPSQL) is not installed"));
    if (db.isOpen())
        db.close();
    // The driver hands these options to libpq unchanged: service files, .pgpass and the PG*
    // environment all work as they do for psql.
    db.setConnectOptions(conninfo + QStringLiteral(" application_name=Belcara"));
    if (!db.open())
        throw AppError(Db::errorText(db.lastError()));
}

} // namespace DbEngine
