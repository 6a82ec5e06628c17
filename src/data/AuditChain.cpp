// The hash chain of the audit log: sealing events, the head kept outside the database, the
// check of the whole log and the append-only guards.
#include "data/AuditLog.h"

#include "data/AppError.h"
#include "data/Db.h"
#include "data/Transaction.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <openssl/evp.h>

#include <memory>
#include <cstdio>
#include <sqlite3.h>

namespace AuditLog {

namespace {

// One field of the hashed content: a null is told apart from an empty text, and each text
// carries its length, so that no two different events hash the same bytes.
void addField(QByteArray &out, const char *utf8, qsizetype size, bool isNull)
{
    if (isNull) {
        out.append('\0');
        return;
    }
    out.append('\1');
    const quint32 n = quint32(size);
    out.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    out.append(utf8, size);
}

void addField(QByteArray &out, const QVariant &v)
{
    if (v.isNull() || !v.isValid()) {
        addField(out, nullptr, 0, true);
        return;
    }
    const QByteArray u = v.toString().toUtf8();
    addField(out, u.constData(), u.size(), false);
}

// SHA-256 of the previous hash, a line break and the content, as 64 lower-case hex digits.
QByteArray chainedHex(const QByteArray &previous, const QByteArray &content)
{
    // One context per thread, freed when the thread ends (worker threads record events too).
    thread_local const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> owned(EVP_MD_CTX_new(),
                                                                                     &EVP_MD_CTX_free);
    EVP_MD_CTX *ctx = owned.get();
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    EVP_DigestUpdate(ctx, previous.constData(), size_t(previous.size()));
    EVP_DigestUpdate(ctx, "\n", 1);
    EVP_DigestUpdate(ctx, content.constData(), size_t(content.size()));
    EVP_DigestFinal_ex(ctx, md, &len);
    static const char digits[] = "0123456789abcdef";
    QByteArray hex(int(len) * 2, Qt::Uninitialized);
    for (unsigned i = 0; i < len; ++i) {
        hex[2 * i] = digits[md[i] >> 4];
        hex[2 * i + 1] = digits[md[i] & 15];
    }
    return hex;
}

QString &headPath()
{
    static QString p;
    return p;
}

struct Guard {
    const char *name;
    const char *sql;
};

// SQLite's guards, as version 2 made them.
const Guard SqliteGuards[] = {
    {"AuditLog_no_update", "CREATE TRIGGER AuditLog_no_update BEFORE UPDATE ON AuditLog BEGIN SELECT "
                           "RAISE(ABORT, 'AuditLog is append-only: rows cannot be changed'); END"},
    {"AuditLog_no_delete", "CREATE TRIGGER AuditLog_no_delete BEFORE DELETE ON AuditLog BEGIN SELECT "
                           "RAISE(ABORT, 'AuditLog is append-only: rows cannot be deleted'); END"},
};

// One event row as read for the check.
struct Row {
    qint64 id = 0;
    QString hash;         // as stored
    QString actual;       // computed from the previous stored hash
    QString fromPrevious; // computed from the hash the chain expects (the last good one)
};

// Reads the events in id order and hands each to f with its computed hash. SQLite is read
// through its own interface: a million rows through QSqlQuery take several seconds.
template <typename F> void eachEvent(const QSqlDatabase &db, F f)
{
    static const char *const sql = "SELECT id, At, UserName, Host, Action, CustomerNo, CaseId, Detail, Hash "
                                   "FROM AuditLog ORDER BY id";
    QByteArray buf;
    buf.reserve(512);
    const QVariant handle = db.driver()->handle();
    if (!Db::isPostgres(db) && handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        sqlite3 *h = *static_cast<sqlite3 *const *>(handle.constData());
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) != SQLITE_OK)
            throw AppError(QString::fromUtf8(sqlite3_errmsg(h)));
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            const qint64 id = sqlite3_column_int64(st, 0);
            buf.clear();
            const QByteArray idText = QByteArray::number(id);
            addField(buf, idText.constData(), idText.size(), false);
            for (int c = 1; c <= 7; ++c) {
                const bool null = sqlite3_column_type(st, c) == SQLITE_NULL;
                const char *t = reinterpret_cast<const char *>(sqlite3_column_text(st, c));
                addField(buf, t, null ? 0 : sqlite3_column_bytes(st, c), null);
            }
            const char *hash = reinterpret_cast<const char *>(sqlite3_column_text(st, 8));
            f(id, buf, hash ? QLatin1String(hash, sqlite3_column_bytes(st, 8)) : QLatin1String());
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE)
            throw AppError(QString::fromUtf8(sqlite3_errmsg(h)));
        return;
    }
    QSqlQuery q = Db::execNative(db, QString::fromLatin1(sql));
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        buf.clear();
        addField(buf, QVariant(id));
        for (int c = 1; c <= 7; ++c)
            addField(buf, q.value(c));
        const QByteArray hash = q.value(8).toString().toLatin1();
        f(id, buf, QLatin1String(hash));
    }
}

QString chained(const QString &previous, const QByteArray &content)
{
    return QString::fromLatin1(chainedHex(previous.toLatin1(), content));
}

bool hasHashColumn(const QSqlDatabase &db)
{
    if (Db::isPostgres(db)) {
        QSqlQuery q = Db::execNative(db, QStringLiteral(
                                             "SELECT count(*) FROM information_schema.columns WHERE table_schema = "
                                             "current_schema() AND table_name = 'auditlog' AND column_name = 'hash'"));
        return q.next() && q.value(0).toInt() > 0;
    }
    QSqlQuery q = Db::execNative(db, QStringLiteral(
                                         "SELECT count(*) FROM pragma_table_info('AuditLog') WHERE name = 'Hash'"));
    return q.next() && q.value(0).toInt() > 0;
}

} // namespace

QString eventHash(const QString &previousHash, qint64 id, const QString &at, const QString &user, const QString &host,
                  const QString &action, const QVariant &customerNo, const QVariant &caseId, const QVariant &detail)
{
    QByteArray buf;
    addField(buf, QVariant(id));
    for (const QVariant &v :
         {QVariant(at), QVariant(user), QVariant(host), QVariant(action), customerNo,
          caseId.isNull() || !caseId.isValid() ? QVariant() : QVariant(caseId.toLongLong()), detail})
        addField(buf, v);
    return chained(previousHash, buf);
}

ChainHead chainHead(const QSqlDatabase &db)
{
    ChainHead h;
    QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT id, Hash FROM AuditLog ORDER BY id DESC LIMIT 1"));
    if (q.next()) {
        h.id = q.value(0).toLongLong();
        h.hash = q.value(1).toString();
    }
    return h;
}

bool chainIsKept(const QSqlDatabase &db)
{
    // Once a database has the column it keeps it: remember that per connection.
    static thread_local QHash<QString, bool> known;
    const QString key = db.connectionName() + QLatin1Char('|') + db.databaseName();
    if (known.value(key))
        return true;
    const bool has = hasHashColumn(db);
    if (has)
        known.insert(key, true);
    return has;
}

void setHeadFile(const QString &path)
{
    headPath() = path;
}

QString headFile()
{
    return headPath();
}

QString headFileBeside(const QString &sqliteFile)
{
    const QFileInfo f(sqliteFile);
    return f.absoluteDir().filePath(f.completeBaseName() + QStringLiteral(".audit-head"));
}

QString headFileForServer(const QString &folder, const QString &installationId)
{
    return QDir(folder).filePath(QStringLiteral("audit-head-%1").arg(installationId));
}

ChainHead readHead(const QString &path)
{
    ChainHead h;
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
        return h;
    const QList<QByteArray> parts = f.readAll().trimmed().split(' ');
    if (parts.size() == 2) {
        bool ok = false;
        const qint64 id = parts.at(0).toLongLong(&ok);
        if (ok && id > 0 && parts.at(1).size() == 64) {
            h.id = id;
            h.hash = QString::fromLatin1(parts.at(1));
        }
    }
    return h;
}

void writeHead(const QString &path, const ChainHead &head)
{
    if (path.isEmpty() || head.isNull())
        return;
    const QByteArray text = QByteArray::number(head.id) + ' ' + head.hash.toLatin1() + '\n';
    // Written beside and renamed into place, without waiting for the disk: after a power cut
    // the head may be one behind, which still checks, but never half written. Best effort: a
    // head that cannot be written leaves the previous one.
    const QString temp = path + QStringLiteral(".new");
    QFile f(temp);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    const bool written = f.write(text) == text.size();
    f.setPermissions(f.permissions() | QFileDevice::WriteGroup | QFileDevice::WriteOther | QFileDevice::ReadOther
                     | QFileDevice::ReadGroup);
    f.close();
    if (!written || ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0)
        QFile::remove(temp);
}

// Advances the head outside after an event was committed, unless what it holds no longer is in
// the log as it was: then it is left as it is, so that the check keeps showing the break.
void advanceHead(const QSqlDatabase &db, const ChainHead &previous, const ChainHead &now)
{
    const QString path = headPath();
    if (path.isEmpty())
        return;
    const ChainHead kept = readHead(path);
    if (!kept.isNull() && kept.id >= now.id)
        return; // another workstation is further on
    if (!kept.isNull() && !(kept.id == previous.id && kept.hash == previous.hash)) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT Hash FROM AuditLog WHERE id = ?"));
        q.addBindValue(kept.id);
        if (!q.exec() || !q.next() || q.value(0).toString() != kept.hash)
            return;
    }
    Transaction::afterCommit(db, [path, now] { writeHead(path, now); });
}

QString Verdict::summary() const
{
    QString s;
    if (whole)
        s = QStringLiteral("操作记录完整：共%1条，全部校验无误。").arg(events);
    else
        s = QStringLiteral("操作记录不完整：从第%1条起被改动、删除或伪造。\n").arg(firstBroken)
            + findings.mid(0, 20).join(QLatin1Char('\n'))
            + (findings.size() > 20 ? QStringLiteral("\n……（共%1处）").arg(findings.size()) : QString());
    if (!triggersRestored.isEmpty())
        s += QStringLiteral("\n禁止改动和删除操作记录的保护（%1）曾被去掉，现已恢复。")
                 .arg(triggersRestored.join(QStringLiteral("、")));
    return s;
}

Verdict verify(const QSqlDatabase &db, const ChainHead &kept)
{
    Verdict v;
    try {
        v.triggersRestored = restoreTriggers(db);
    } catch (const AppError &e) {
        v.findings << QStringLiteral("无法检查或恢复操作记录的保护：%1").arg(e.text());
    }
    auto broken = [&v](qint64 id, const QString &text) {
        if (v.whole || id < v.firstBroken)
            v.firstBroken = id;
        v.whole = false;
        v.findings << text;
    };
    QByteArray previous; // the stored hash of the event before
    qint64 previousId = 0;
    QString keptHashSeen; // the stored hash of the event the head outside names
    bool keptSeen = false;
    // An event whose hash does not follow from the one before: changed when the next event
    // still follows from its stored hash (the hash was left), forged otherwise.
    qint64 suspect = 0;
    eachEvent(db, [&](qint64 id, const QByteArray &content, QLatin1String stored) {
        const QByteArrayView storedBytes(stored.data(), stored.size());
        if (suspect) {
            if (chainedHex(previous, content) == storedBytes)
                broken(suspect, QStringLiteral("第%1条事件的内容被改动。").arg(suspect));
            else
                broken(suspect, QStringLiteral("第%1条事件是伪造的或被改动（校验值不符）。").arg(suspect));
            suspect = 0;
        }
        ++v.events;
        const bool gap = id != previousId + 1;
        if (gap)
            broken(previousId + 1, previousId + 1 == id - 1
                                       ? QStringLiteral("第%1条事件被删除。").arg(previousId + 1)
                                       : QStringLiteral("第%1至%2条事件被删除。").arg(previousId + 1).arg(id - 1));
        if (stored.size() == 0)
            broken(id, QStringLiteral("第%1条事件没有校验值，是绕过本程序写入的（伪造）。").arg(id));
        else if (!gap && chainedHex(previous, content) != storedBytes)
            suspect = id;
        if (id == kept.id) {
            keptSeen = true;
            keptHashSeen = QString(stored);
        }
        previous = QByteArray(stored.data(), stored.size());
        previousId = id;
    });
    if (suspect)
        broken(suspect, QStringLiteral("第%1条事件被改动或伪造（校验值不符）。").arg(suspect));
    if (!kept.isNull()) {
        if (!keptSeen && kept.id > previousId)
            broken(previousId + 1, QStringLiteral("第%1条之后的事件被删除：在数据库之外记下的最后一条是第%2条。")
                                       .arg(previousId)
                                       .arg(kept.id));
        else if (!keptSeen)
            broken(kept.id, QStringLiteral("第%1条事件被删除。").arg(kept.id));
        else if (keptHashSeen != kept.hash)
            broken(kept.id, QStringLiteral("第%1条事件与数据库之外记下的不符：其后的事件被删除后又写入了别的事件，"
                                           "或该条被伪造。")
                                .arg(kept.id));
    }
    return v;
}

QStringList restoreTriggers(const QSqlDatabase &db)
{
    QStringList restored;
    if (Db::isPostgres(db)) {
        // Present and enabled; ALTER needs the table's owner.
        QSqlQuery q = Db::execNative(db,
                                     QStringLiteral(
                                         "SELECT tgname, tgenabled FROM pg_catalog.pg_trigger t JOIN "
                                         "pg_catalog.pg_class c ON c.oid = t.tgrelid WHERE c.relname = 'auditlog' "
                                         "AND c.relnamespace = current_schema()::regnamespace AND NOT t.tgisinternal"));
        QHash<QString, QString> found;
        while (q.next())
            found.insert(q.value(0).toString(), q.value(1).toString());
        const QString fn = QStringLiteral("CREATE OR REPLACE FUNCTION auditlog_append_only() RETURNS trigger LANGUAGE "
                                          "plpgsql AS $$BEGIN RAISE EXCEPTION 'AuditLog is append-only: % refused', "
                                          "TG_OP; END$$");
        const struct {
            const char *name, *sql;
        } guards[] = {{"auditlog_no_change", "CREATE TRIGGER auditlog_no_change BEFORE UPDATE OR DELETE ON AuditLog "
                                             "FOR EACH ROW EXECUTE FUNCTION auditlog_append_only()"},
                      {"auditlog_no_truncate", "CREATE TRIGGER auditlog_no_truncate BEFORE TRUNCATE ON AuditLog "
                                               "FOR EACH STATEMENT EXECUTE FUNCTION auditlog_append_only()"}};
        for (const auto &g : guards) {
            const QString name = QString::fromLatin1(g.name);
            if (!found.contains(name)) {
                Db::execNative(db, fn);
                Db::execNative(db, QString::fromLatin1(g.sql));
                restored << name;
            } else if (found.value(name) == QLatin1String("D")) {
                Db::execNative(db, QStringLiteral("ALTER TABLE AuditLog ENABLE TRIGGER %1").arg(name));
                restored << name;
            }
        }
        return restored;
    }
    for (const Guard &g : SqliteGuards) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = ? COLLATE NOCASE"));
        q.addBindValue(QString::fromLatin1(g.name));
        if (!q.exec())
            throw AppError(Db::errorText(q.lastError()));
        const bool present = q.next();
        const QString sql = present ? q.value(0).toString().simplified() : QString();
        q.finish();
        if (present && sql == QString::fromLatin1(g.sql).simplified())
            continue;
        // Missing, or replaced by one of the same name that does something else.
        Transaction t(db);
        if (present)
            Db::execNative(db, QStringLiteral("DROP TRIGGER %1").arg(QString::fromLatin1(g.name)));
        Db::execNative(db, QString::fromLatin1(g.sql));
        t.commit();
        restored << QString::fromLatin1(g.name);
    }
    return restored;
}

void sealUnhashed(const QSqlDatabase &db)
{
    // Runs inside the upgrade's transaction, with the guard against changes lifted for it.
    const bool pg = Db::isPostgres(db);
    Db::execNative(db, pg ? QStringLiteral("ALTER TABLE AuditLog DISABLE TRIGGER auditlog_no_change")
                          : QStringLiteral("DROP TRIGGER IF EXISTS AuditLog_no_update"));
    QVector<QPair<qint64, QString>> hashes;
    QString previous;
    eachEvent(db, [&](qint64 id, const QByteArray &content, QLatin1String stored) {
        const QString h = stored.size() ? QString(stored) : chained(previous, content);
        if (!stored.size())
            hashes.append({id, h});
        previous = h;
    });
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE AuditLog SET Hash = ? WHERE id = ?"));
    for (const auto &[id, h] : hashes) {
        q.addBindValue(h);
        q.addBindValue(id);
        if (!q.exec())
            throw AppError(Db::errorText(q.lastError()));
    }
    if (pg)
        Db::execNative(db, QStringLiteral("ALTER TABLE AuditLog ENABLE TRIGGER auditlog_no_change"));
    else
        Db::execNative(db, QString::fromLatin1(SqliteGuards[0].sql));
}

} // namespace AuditLog
