#pragma once
// What the backup code needs of the records: a consistent copy of the database (SQLite's online
// backup, or pg_dump of one snapshot), row counts to compare a copy with, and small file helpers.

#include "data/AuditLog.h"
#include "data/DbEngine.h"

#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QUuid>

struct sqlite3;

namespace Backup::Db {

QString systemError(int err);

// Row counts of every table; with integrity, also the result of PRAGMA integrity_check ("ok").
QMap<QString, qint64> sqliteRowCounts(sqlite3 *db, QString *integrity);
// The online backup of a database file into a new file; returns the snapshot's row counts.
QMap<QString, qint64> snapshotSqlite(const QString &from, const QString &to);
// pg_dump of the server in custom format, with the row counts of the same snapshot.
QMap<QString, qint64> snapshotServer(const QString &conninfo, const QString &to);
QMap<QString, qint64> serverRowCounts(const QSqlDatabase &db);
// libpq keywords without a password, which goes to a child through its environment instead.
QString withoutPassword(const QString &conninfo, QString *password);
// Runs pg_dump or pg_restore with the connection's parameters; raises AppError with its text.
void runPgTool(const QString &program, QStringList args, const QString &conninfo);

// A connection of its own to the server, closed when it goes.
class ServerConnection {
public:
    explicit ServerConnection(const QString &conninfo)
        : m_name(QStringLiteral("backup-") + QUuid::createUuid().toString(QUuid::Id128))
    {
        DbEngine::openServer(m_name, conninfo);
    }
    ~ServerConnection()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

void recordEvent(const QString &connection, AuditLog::Action action, const QString &detail,
                 const QString &customerNo = QString());
QString stamp(); // yyyyMMdd-HHmmss, local time
void moveOrFail(const QString &from, const QString &to);
// Raises AppError naming the first table whose count differs.
void checkRows(const QMap<QString, qint64> &expected, const QMap<QString, qint64> &found);

} // namespace Backup::Db
