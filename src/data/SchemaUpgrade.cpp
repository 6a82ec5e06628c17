#include "data/SchemaUpgrade.h"

#include "data/AuditLog.h"
#include "data/Db.h"
#include "data/Schema.h"
#include "data/Transaction.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>
#include <memory>
#include <sqlite3.h>

namespace SchemaUpgrade {

namespace {

// The key of the advisory lock under which PostgreSQL upgrades run ("BelcSchm").
constexpr qint64 UpgradeLockKey = 0x42656c6353636d6dLL;
// How long a program waits for another one's upgrade before giving up.
constexpr int WaitMs = 120000;

// SQLite's "attempt to write a readonly database" (with its extended codes), PostgreSQL's
// read-only transaction and missing privilege.
bool isReadOnlyError(const QSqlError &e)
{
    const QString code = e.nativeErrorCode();
    bool ok = false;
    const int n = code.toInt(&ok);
    if (ok && (n & 0xff) == 8)
        return true;
    return code == QLatin1String("25006") || code == QLatin1String("42501");
}

bool isBusyError(const QSqlError &e)
{
    bool ok = false;
    const int n = e.nativeErrorCode().toInt(&ok);
    return ok && ((n & 0xff) == 5 || (n & 0xff) == 6);
}

QString readOnlyText(int from, int to)
{
    return QStringLiteral("数据库是只读的，无法从第%1版升级到本程序所需的第%2版。\n"
                          "请由有写入权限的用户（或管理员）启动一次本程序以完成升级。数据库未作任何改动。")
        .arg(from)
        .arg(to);
}

QString newerText(int found, int newest)
{
    return QStringLiteral("数据库是第%1版，比本程序所能使用的第%2版更新。\n"
                          "请安装新版的程序后再打开它。数据库未作任何改动。")
        .arg(found)
        .arg(newest);
}

// Whether the engine would let this connection change the schema, checked before anything is
// written. SQLite: the file and its folder (journal, copy aside); a server: the session.
void requireWritable(const QSqlDatabase &db, const QString &sqliteFile, int from, int to)
{
    if (!Db::isPostgres(db)) {
        // A file SQLite could only open for reading (permissions, or opened read-only).
        const QVariant handle = db.driver()->handle();
        if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
            sqlite3 *h = *static_cast<sqlite3 *const *>(handle.constData());
            if (h && sqlite3_db_readonly(h, "main") == 1)
                throw Refused(readOnlyText(from, to));
        }
        if (sqliteFile.isEmpty())
            return;
        const QFileInfo file(sqliteFile);
        const QFileInfo folder(file.absolutePath());
        if (!file.isWritable() || !folder.isWritable())
            throw Refused(readOnlyText(from, to));
        return;
    }
    QSqlQuery q = Db::execNative(db,
                                 QStringLiteral(
                                     "SELECT pg_is_in_recovery() OR current_setting('transaction_read_only') = 'on', "
                                     "has_schema_privilege(current_schema(), 'CREATE')"));
    if (q.next() && (q.value(0).toBool() || !q.value(1).toBool()))
        throw Refused(readOnlyText(from, to));
}

bool hasTable(const QSqlDatabase &db, const QString &name)
{
    if (Db::isPostgres(db)) {
        // The catalogue itself, not to_regclass(): inside a transaction that waited for another
        // program's upgrade, to_regclass() may still miss the tables that program made.
        QSqlQuery q = Db::execNative(db,
                                     QStringLiteral(
                                         "SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                                         "ON n.oid = c.relnamespace WHERE c.relname = '%1' "
                                         "AND n.nspname = current_schema()")
                                         .arg(name.toLower()));
        return q.next() && q.value(0).toInt() > 0;
    }
    QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' "
                                                    "AND name = '%1' COLLATE NOCASE")
                                         .arg(name));
    return q.next() && q.value(0).toInt() > 0;
}

void setVersion(const QSqlDatabase &db, int v)
{
    Db::execNative(db, QStringLiteral("DELETE FROM BelcaraSchema"));
    Db::execNative(db, QStringLiteral("INSERT INTO BelcaraSchema (Version) VALUES (%1)").arg(v));
}

// BEGIN IMMEDIATE waits for another program's write lock up to the connection's busy
// timeout; an upgrade (copy aside included) may take longer, so keep asking for a while.
std::unique_ptr<Transaction> lockForUpgrade(const QSqlDatabase &db, int from, int to)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        try {
            auto t = std::make_unique<Transaction>(db, Transaction::Lock::Immediate);
            if (Db::isPostgres(db))
                Db::execNative(db, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(UpgradeLockKey));
            return t;
        } catch (const Transaction::BeginFailed &e) {
            if (isReadOnlyError(e.error))
                throw Refused(readOnlyText(from, to));
            if (!isBusyError(e.error) || waited.elapsed() > WaitMs)
                throw;
            QThread::msleep(200);
        }
    }
}

QString sqlQuoted(const QString &text)
{
    QString t = text;
    t.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + t + QLatin1Char('\'');
}

// Copies the database whole, as committed, into a new file beside it. Runs while the caller
// holds the write lock, on a connection of its own (VACUUM cannot run inside a transaction):
// nobody can change the database between the copy and the upgrade.
QString copyAside(const QString &sqliteFile, int fromVersion)
{
    QString target = backupName(sqliteFile, fromVersion, QDateTime::currentDateTime());
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = backupName(sqliteFile, fromVersion, QDateTime::currentDateTime()).chopped(4)
                 + QStringLiteral("-%1.mdb").arg(n);
    const QString name = QStringLiteral("copy-aside-") + QUuid::createUuid().toString(QUuid::Id128);
    QString error;
    {
        QSqlDatabase src = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        src.setDatabaseName(sqliteFile);
        src.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"));
        if (!src.open()) {
            error = Db::errorText(src.lastError());
        } else {
            QSqlQuery q(src);
            if (!q.exec(QStringLiteral("VACUUM INTO ") + sqlQuoted(target)))
                error = Db::errorText(q.lastError());
            q.finish();
            src.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (error.isEmpty() && QFileInfo(target).size() <= 0)
        error = QStringLiteral("the copy is empty");
    if (!error.isEmpty()) {
        QFile::remove(target);
        throw AppError(QStringLiteral("升级前无法把数据库复制到 %1：%2。数据库未作任何改动。").arg(target, error));
    }
    return target;
}

Step makeStep(int version, const QString &description)
{
    Step s;
    s.version = version;
    s.description = description;
    s.sqlite = Schema::scriptStatements(QStringLiteral(":/upgrade-%1.sql").arg(version));
    s.postgres = Schema::scriptStatements(QStringLiteral(":/upgrade-%1-postgresql.sql").arg(version));
    return s;
}

// The rebuild of Surgery and Class carries their known columns over; a database given more
// columns elsewhere is not upgraded rather than losing them.
void requireKnownColumns(const QSqlDatabase &db)
{
    if (Db::isPostgres(db))
        return;
    const QStringList surgery{QStringLiteral("id"),       QStringLiteral("客户编号"), QStringLiteral("手术大类"),
                              QStringLiteral("手术小类"), QStringLiteral("手术医生"), QStringLiteral("金额"),
                              QStringLiteral("手术日期"), QStringLiteral("手术前"),   QStringLiteral("手术前1"),
                              QStringLiteral("手术前2"),  QStringLiteral("手术后"),   QStringLiteral("手术后1"),
                              QStringLiteral("手术后2")};
    const QStringList category{QStringLiteral("id"), QStringLiteral("类别名称"), QStringLiteral("父类别")};
    for (const auto &[table, known] :
         {std::pair{QStringLiteral("Surgery"), surgery}, std::pair{QStringLiteral("Class"), category}}) {
        QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT name FROM pragma_table_info('%1')").arg(table));
        QStringList extra;
        while (q.next())
            if (!known.contains(q.value(0).toString(), Qt::CaseInsensitive))
                extra << q.value(0).toString();
        if (!extra.isEmpty())
            throw AppError(QStringLiteral("%1表有本程序不认识的列（%2），为免丢失这些列，数据库未升级。")
                               .arg(table, extra.join(QStringLiteral("、"))));
    }
}

} // namespace

const QVector<Step> &steps()
{
    static const QVector<Step> s{
        makeStep(2, QStringLiteral("版本号表和操作记录")),
        makeStep(3, QStringLiteral("图片对齐和顾客授权")),
        makeStep(4, QStringLiteral("安装标识（用于备份）")),
        [] {
            Step step = makeStep(5, QStringLiteral("操作记录校验链、编号不再重用、单张图片授权"));
            step.before = requireKnownColumns;
            step.after = AuditLog::sealUnhashed;
            return step;
        }(),
    };
    return s;
}

int newestVersion(const QVector<Step> &list)
{
    return list.isEmpty() ? 1 : list.last().version;
}

int version(const QSqlDatabase &db)
{
    if (!hasTable(db, QStringLiteral("BelcaraSchema")))
        return 1;
    QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT max(Version) FROM BelcaraSchema"));
    // A version table without its row is the version that made the table: 2.
    return q.next() && !q.value(0).isNull() ? q.value(0).toInt() : 2;
}

QStringList newestStatements(bool postgres)
{
    QStringList out;
    for (const Step &s : steps())
        out << (postgres ? s.postgres : s.sqlite);
    out << QStringLiteral("INSERT INTO BelcaraSchema (Version) VALUES (%1)").arg(newestVersion());
    return out;
}

QString backupName(const QString &sqliteFile, int fromVersion, const QDateTime &when)
{
    const QFileInfo info(sqliteFile);
    return QDir(info.absolutePath())
        .filePath(QStringLiteral("%1-v%2-%3.mdb")
                      .arg(info.completeBaseName())
                      .arg(fromVersion)
                      .arg(when.toString(QStringLiteral("yyyyMMdd-HHmmss"))));
}

Report upgrade(const QSqlDatabase &db, const QString &sqliteFile, const QVector<Step> &list)
{
    const int newest = newestVersion(list);
    Report r;
    r.from = r.to = version(db);
    if (r.from > newest)
        throw Refused(newerText(r.from, newest));
    if (r.from == newest)
        return r;
    requireWritable(db, sqliteFile, r.from, newest);
    const bool postgres = Db::isPostgres(db);
    for (const Step &step : list) {
        if (step.version <= r.to)
            continue;
        std::unique_ptr<Transaction> t = lockForUpgrade(db, r.to, newest);
        // Read again under the lock: another program may have done this step meanwhile.
        const int now = version(db);
        if (now > newest)
            throw Refused(newerText(now, newest));
        if (now >= step.version) {
            t->commit();
            r.to = now;
            continue;
        }
        if (step.before)
            step.before(db);
        // The copy aside is taken by whoever makes the first step from the version found at
        // start; a program that finds another one half-way through does not copy again.
        if (!postgres && !sqliteFile.isEmpty() && r.backup.isEmpty() && now == r.from)
            r.backup = copyAside(sqliteFile, now);
        for (const QString &sql : postgres ? step.postgres : step.sqlite) {
            QSqlQuery q(db);
            if (!q.exec(sql)) {
                if (isReadOnlyError(q.lastError()))
                    throw Refused(readOnlyText(now, newest));
                throw AppError(QStringLiteral("数据库升级到第%1版失败（%2），数据库保持第%3版：%4")
                                   .arg(step.version)
                                   .arg(step.description)
                                   .arg(now)
                                   .arg(Db::errorText(q.lastError())));
            }
        }
        if (step.after)
            step.after(db);
        setVersion(db, step.version);
        if (hasTable(db, QStringLiteral("AuditLog"))) {
            AuditLog::Event e;
            e.action = AuditLog::Action::Upgraded;
            e.detail = QStringLiteral("第%1版→第%2版：%3").arg(now).arg(step.version).arg(step.description);
            AuditLog::record(db, e);
        }
        t->commit();
        r.to = step.version;
        r.done << QStringLiteral("%1 -> %2: %3").arg(now).arg(step.version).arg(step.description);
    }
    return r;
}

} // namespace SchemaUpgrade
