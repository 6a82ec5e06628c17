#include "backup/BackupDb.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/DbEngine.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <cstring>
#include <sqlite3.h>

namespace Backup::Db {

QString systemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QMap<QString, qint64> sqliteRowCounts(sqlite3 *db, QString *integrity)
{
    QMap<QString, qint64> rows;
    sqlite3_stmt *st = nullptr;
    QStringList tables;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'", -1,
                           &st, nullptr)
        == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW)
            tables << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    for (const QString &t : tables) {
        const QByteArray sql = "SELECT count(*) FROM \"" + t.toUtf8().replace('"', "\"\"") + '"';
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            rows.insert(t, sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
    }
    if (integrity) {
        integrity->clear();
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW)
                *integrity += QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        } else {
            *integrity = QString::fromUtf8(sqlite3_errmsg(db));
        }
        sqlite3_finalize(st);
    }
    return rows;
}

// The online backup of a database file into a new file; returns the snapshot's row counts.
QMap<QString, qint64> snapshotSqlite(const QString &from, const QString &to)
{
    if (!QFileInfo(from).isFile())
        throw AppError(QStringLiteral("找不到数据库文件 %1").arg(from));
    sqlite3 *src = nullptr, *dst = nullptr;
    auto closeBoth = [&] {
        sqlite3_close(src);
        sqlite3_close(dst);
    };
    if (sqlite3_open_v2(QFile::encodeName(from).constData(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_open_v2(QFile::encodeName(to).constData(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
               != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(src ? src : dst));
        closeBoth();
        throw AppError(QStringLiteral("无法打开数据库 %1：%2").arg(from, text));
    }
    sqlite3_busy_timeout(src, 10000);
    sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main");
    int rc = b ? SQLITE_OK : sqlite3_errcode(dst);
    if (b) {
        // One step copies every page inside a single read transaction: a consistent picture of
        // the database however much other programs write meanwhile (they wait at most for the copy).
        do {
            rc = sqlite3_backup_step(b, -1);
            if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
                sqlite3_sleep(100);
        } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
        sqlite3_backup_finish(b);
    }
    if (rc != SQLITE_DONE) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(dst));
        closeBoth();
        throw AppError(QStringLiteral("无法复制数据库 %1：%2").arg(from, text));
    }
    // The copy is a plain database file, not one waiting for a write-ahead log.
    sqlite3_exec(dst, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    QString integrity;
    const auto rows = sqliteRowCounts(dst, &integrity);
    closeBoth();
    if (integrity != QLatin1String("ok"))
        throw AppError(QStringLiteral("数据库 %1 的检查未通过：%2").arg(from, integrity));
    return rows;
}

// libpq keywords without a password, which goes to the child through its environment instead.
QString withoutPassword(const QString &conninfo, QString *password)
{
    static const QRegularExpression re(QStringLiteral("(^|\\s)password\\s*=\\s*('([^'\\\\]|\\\\.)*'|\\S+)"));
    QString rest = conninfo;
    const QRegularExpressionMatch m = re.match(conninfo);
    if (m.hasMatch()) {
        QString v = m.captured(2);
        if (v.startsWith(QLatin1Char('\''))) {
            v = v.mid(1, v.size() - 2);
            v.replace(QLatin1String("\\'"), QLatin1String("'")).replace(QLatin1String("\\\\"), QLatin1String("\\"));
        }
        *password = v;
        rest.remove(m.capturedStart(0), m.capturedLength(0));
    }
    return rest.trimmed();
}

// Runs pg_dump or pg_restore with the connection's parameters; raises AppError with its text.
void runPgTool(const QString &program, QStringList args, const QString &conninfo)
{
    QString password;
    const QString keys = withoutPassword(conninfo, &password);
    args << QStringLiteral("--dbname=") + keys;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!password.isEmpty())
        env.insert(QStringLiteral("PGPASSWORD"), password);
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    if (!p.waitForStarted(-1))
        throw AppError(QStringLiteral("无法运行 %1（请安装 postgresql-client）").arg(program));
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw AppError(
            QStringLiteral("%1 失败：%2").arg(program, QString::fromLocal8Bit(p.readAllStandardError()).trimmed()));
}

QStringList serverTables(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    QStringList tables;
    if (!q.exec(QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                               "AND table_type = 'BASE TABLE' ORDER BY table_name")))
        throw AppError(q.lastError().text());
    while (q.next())
        tables << q.value(0).toString();
    return tables;
}

QMap<QString, qint64> serverRowCounts(const QSqlDatabase &db)
{
    QMap<QString, qint64> rows;
    for (const QString &t : serverTables(db)) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT count(*) FROM \"%1\"")
                        .arg(QString(t).replace(QLatin1Char('"'), QLatin1String("\"\""))))
            || !q.next())
            throw AppError(q.lastError().text());
        rows.insert(t, q.value(0).toLongLong());
    }
    return rows;
}

// pg_dump of the server in custom format, with the row counts of the same snapshot.
QMap<QString, qint64> snapshotServer(const QString &conninfo, const QString &to)
{
    ServerConnection c(conninfo);
    QSqlDatabase db = c.db();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY"))
        || !q.exec(QStringLiteral("SELECT pg_export_snapshot()")) || !q.next())
        throw AppError(q.lastError().text());
    const QString snapshot = q.value(0).toString();
    const auto rows = serverRowCounts(db);
    runPgTool(QStringLiteral("pg_dump"),
              {QStringLiteral("--format=custom"), QStringLiteral("--no-owner"), QStringLiteral("--no-privileges"),
               QStringLiteral("--snapshot=") + snapshot, QStringLiteral("--file=") + to},
              conninfo);
    q.exec(QStringLiteral("COMMIT"));
    return rows;
}

void recordEvent(const QString &connection, AuditLog::Action action, const QString &detail, const QString &customerNo)
{
    if (connection.isEmpty())
        return;
    AuditLog::Event e;
    e.action = action;
    e.detail = detail;
    e.customerNo = customerNo;
    AuditLog::recordWith(QSqlDatabase::database(connection, false), e, [] {});
}

QString stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

void moveOrFail(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw AppError(QStringLiteral("无法把 %1 移到 %2：%3").arg(from, to, systemError(errno)));
}

void checkRows(const QMap<QString, qint64> &expected, const QMap<QString, qint64> &found)
{
    for (auto r = expected.cbegin(); r != expected.cend(); ++r)
        if (found.value(r.key(), -1) != r.value())
            throw AppError(QStringLiteral("恢复后的表 %1 有 %2 行，备份中有 %3 行")
                               .arg(r.key())
                               .arg(found.value(r.key(), -1))
                               .arg(r.value()));
}

} // namespace Backup::Db
