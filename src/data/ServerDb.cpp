#include "data/ServerDb.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Db.h"
#include "data/Schema.h"
#include "data/SchemaUpgrade.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace ServerDb {

namespace {

qint64 count(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT count(*) FROM \"%1\"").arg(table));
    return q.next() ? q.value(0).toLongLong() : 0;
}

// Runs body inside one transaction; rolls back when it raises.
template <typename F> void inTransaction(QSqlDatabase db, F body)
{
    if (!db.transaction())
        throw AppError(Db::errorText(db.lastError()));
    try {
        body();
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit())
        throw AppError(Db::errorText(db.lastError()));
}

} // namespace
QStringList existingTables(const QSqlDatabase &db);
namespace {
// The tables later versions added beside the five.
const QStringList &addedTables()
{
    static const QStringList t{QStringLiteral("auditlog"),
                               QStringLiteral("belcaraschema"),
                               QStringLiteral("picturealignment"),
                               QStringLiteral("caseconsent"),
                               QStringLiteral("belcarainstallation"),
                               QStringLiteral("pictureconsent")};
    return t;
}

bool hasTable(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT to_regclass('%1') IS NOT NULL").arg(table));
    return q.next() && q.value(0).toBool();
}

void dropTables(const QSqlDatabase &db)
{
    for (const QString &t : existingTables(db) + addedTables())
        Db::execNative(db, QStringLiteral("DROP TABLE IF EXISTS %1").arg(t));
}

void create(const QSqlDatabase &db, bool withInitialRows)
{
    for (const QString &s : schemaStatements(withInitialRows))
        Db::execNative(db, s);
}

QVariant boolean(const QVariant &v)
{
    if (v.isNull())
        return v;
    if (v.typeId() == QMetaType::QString) {
        const QString t = v.toString().trimmed();
        if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        return t.toLongLong() != 0;
    }
    return v.toLongLong() != 0;
}

qint64 copyTable(const QSqlDatabase &from, const QSqlDatabase &to, const QString &table)
{
    const QString target = table.toLower();
    const QSqlRecord targetRecord = to.record(target);
    QSqlQuery src(from);
    src.setForwardOnly(true);
    if (!src.exec(QStringLiteral("SELECT * FROM \"%1\"").arg(table)))
        throw AppError(QStringLiteral("%1: %2").arg(table, Db::errorText(src.lastError())));
    const QSqlRecord rec = src.record();
    QStringList cols, marks;
    QVector<bool> isBool;
    for (int i = 0; i < rec.count(); ++i) {
        const int t = targetRecord.indexOf(rec.fieldName(i).toLower());
        if (t < 0)
            throw AppError(QStringLiteral("The server's table %1 has no column %2").arg(target, rec.fieldName(i)));
        cols << QLatin1Char('"') + targetRecord.fieldName(t) + QLatin1Char('"');
        marks << QStringLiteral("?");
        isBool << (targetRecord.field(t).metaType().id() == QMetaType::Bool);
    }
    QSqlQuery ins(to);
    if (!ins.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                         .arg(target, cols.join(QLatin1String(", ")), marks.join(QLatin1String(", ")))))
        throw AppError(Db::errorText(ins.lastError()));
    qint64 n = 0;
    while (src.next()) {
        for (int i = 0; i < rec.count(); ++i)
            ins.bindValue(i, isBool.at(i) ? boolean(src.value(i)) : src.value(i));
        if (!ins.exec())
            throw AppError(QStringLiteral("%1: %2").arg(table, Db::errorText(ins.lastError())));
        ++n;
    }
    // New rows made by the program continue after the greatest copied key.
    Db::execNative(to, QStringLiteral("SELECT setval(pg_get_serial_sequence('%1', 'id'), "
                                      "coalesce((SELECT max(id) FROM %1), 0) + 1, false)")
                           .arg(target));
    return n;
}

} // namespace

const QStringList &tables()
{
    static const QStringList t{QStringLiteral("tUserInfo"), QStringLiteral("Surgery"), QStringLiteral("Class"),
                               QStringLiteral("SysManager"), QStringLiteral("Param")};
    return t;
}

QStringList schemaStatements(bool withInitialRows)
{
    return Schema::scriptStatements(QStringLiteral(":/schema-postgresql.sql"),
                                    withInitialRows ? QString() : QStringLiteral("-- initial rows"))
           + SchemaUpgrade::newestStatements(true);
}

QStringList existingTables(const QSqlDatabase &db)
{
    QStringList found;
    for (const QString &t : tables()) {
        QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT to_regclass('%1') IS NOT NULL").arg(t.toLower()));
        if (q.next() && q.value(0).toBool())
            found << t.toLower();
    }
    return found;
}

QString dataBeyondInit(const QSqlDatabase &db)
{
    QStringList parts;
    for (const QString &t : existingTables(db)) {
        qint64 n = count(db, t);
        if (t == QLatin1String("sysmanager")) {
            QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT count(*) FROM sysmanager "
                                                            "WHERE username = 'Admin' AND pwd = 'admin' AND issys"));
            n -= q.next() ? qMin<qint64>(q.value(0).toLongLong(), 1) : 0;
        } else if (t == QLatin1String("param")) {
            QSqlQuery q = Db::execNative(db, QStringLiteral("SELECT count(*) FROM param WHERE NOT mustlogin"));
            n -= q.next() ? qMin<qint64>(q.value(0).toLongLong(), 1) : 0;
        }
        if (n > 0)
            parts << QStringLiteral("%1: %2 rows").arg(t).arg(n);
    }
    if (hasTable(db, QStringLiteral("auditlog"))) {
        const qint64 n = count(db, QStringLiteral("auditlog"));
        if (n > 0)
            parts << QStringLiteral("auditlog: %1 rows").arg(n);
    }
    return parts.join(QStringLiteral("; "));
}

void init(const QSqlDatabase &db, bool force)
{
    const QStringList existing = existingTables(db);
    if (!existing.isEmpty() && !force)
        throw AppError(QStringLiteral("The server already has the tables %1; nothing was changed "
                                      "(--force drops them and every row in them)")
                           .arg(existing.join(QLatin1String(", "))));
    inTransaction(db, [&] {
        dropTables(db);
        create(db, true);
    });
}

const char AuditOwnerRole[] = "belcara_audit";

QStringList auditOwnerStatements(const QString &programRole)
{
    const QString role = QString::fromLatin1(AuditOwnerRole);
    const QString program = QLatin1Char('"') + QString(programRole).replace(QLatin1Char('"'), QLatin1String("\"\""))
                            + QLatin1Char('"');
    return {QStringLiteral("DO $$BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = '%1') THEN "
                           "CREATE ROLE %1 NOLOGIN; END IF; END$$")
                .arg(role),
            // An owner needs the right to create in the table's schema.
            QStringLiteral(
                "DO $$BEGIN EXECUTE format('GRANT USAGE, CREATE ON SCHEMA %I TO %1', current_schema()); END$$")
                .arg(role),
            QStringLiteral("ALTER TABLE auditlog OWNER TO %1").arg(role),
            QStringLiteral("ALTER FUNCTION auditlog_append_only() OWNER TO %1").arg(role),
            QStringLiteral("REVOKE ALL ON auditlog FROM PUBLIC, %1").arg(program),
            QStringLiteral("GRANT SELECT, INSERT ON auditlog TO %1").arg(program),
            QStringLiteral("GRANT USAGE, SELECT, UPDATE ON SEQUENCE auditlog_id_seq TO %1").arg(program)};
}

QString giveAuditLogItsOwner(const QSqlDatabase &db)
{
    QSqlQuery who = Db::execNative(db, QStringLiteral("SELECT current_user, rolsuper, rolcreaterole FROM pg_roles "
                                                      "WHERE rolname = current_user"));
    const QString program = who.next() ? who.value(0).toString() : QString();
    const bool super = who.value(1).toBool();
    const QStringList statements = auditOwnerStatements(program);
    QString error;
    if (super || who.value(2).toBool()) {
        try {
            inTransaction(db, [&] {
                const QString role = QString::fromLatin1(AuditOwnerRole);
                Db::execNative(db, statements.first());
                // Handing a table to a role needs membership in it, given only for the change.
                if (!super)
                    Db::execNative(db, QStringLiteral("GRANT %1 TO current_user").arg(role));
                for (const QString &s : statements.mid(1))
                    Db::execNative(db, s);
                if (!super)
                    Db::execNative(db, QStringLiteral("REVOKE %1 FROM current_user").arg(role));
            });
            return QString();
        } catch (const AppError &e) {
            error = e.text();
        }
    } else {
        error = QStringLiteral("the role %1 may not create roles").arg(program);
    }
    return QStringLiteral("the audit log still belongs to %1 (%2); as the server's administrator run in "
                          "this database:\n  %3;")
        .arg(program, error, statements.join(QStringLiteral(";\n  ")));
}

QString sqlitePathFor(const QString &folderOrFile)
{
    const QFileInfo info(folderOrFile);
    if (info.isDir())
        return QFileInfo(info.absoluteFilePath() + QStringLiteral("/Data/Data.mdb")).absoluteFilePath();
    return info.absoluteFilePath();
}

QVector<TableCount> migrate(const QString &sqlitePath, const QSqlDatabase &db, bool force)
{
    if (!QFileInfo(sqlitePath).isFile())
        throw AppError(QStringLiteral("Could not find file '%1'.").arg(sqlitePath));
    const QString held = dataBeyondInit(db);
    if (!held.isEmpty() && !force)
        throw AppError(QStringLiteral("The server already holds data (%1); nothing was changed "
                                      "(--force replaces it)")
                           .arg(held));
    const QString name = QStringLiteral("migrate-") + QUuid::createUuid().toString(QUuid::Id128);
    QVector<TableCount> counts;
    {
        QSqlDatabase src = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        src.setDatabaseName(sqlitePath);
        src.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"));
        try {
            if (!src.open())
                throw AppError(Db::errorText(src.lastError()));
            // One read transaction: the counts and the copied rows are the same snapshot even
            // while a workstation still writes to the file.
            Db::execNative(src, QStringLiteral("BEGIN"));
            // The file's own version: a newer one than this program knows is not copied.
            const int fileVersion = SchemaUpgrade::version(src);
            if (fileVersion > SchemaUpgrade::newestVersion())
                throw AppError(QStringLiteral("%1 is database version %2; this program knows up to version %3")
                                   .arg(sqlitePath)
                                   .arg(fileVersion)
                                   .arg(SchemaUpgrade::newestVersion()));
            QStringList copied = tables();
            if (fileVersion >= 2)
                copied << QStringLiteral("AuditLog");
            if (fileVersion >= 3)
                copied << QStringLiteral("PictureAlignment") << QStringLiteral("CaseConsent");
            if (fileVersion >= 5)
                copied << QStringLiteral("PictureConsent");
            inTransaction(db, [&] {
                dropTables(db);
                create(db, false);
                for (const QString &t : copied) {
                    TableCount c;
                    c.table = t;
                    c.source = count(src, t);
                    copyTable(src, db, t);
                    c.copied = count(db, t.toLower());
                    if (c.copied != c.source)
                        throw AppError(QStringLiteral("%1: %2 rows in the file but %3 on the server; nothing was kept")
                                           .arg(t)
                                           .arg(c.source)
                                           .arg(c.copied));
                    counts << c;
                }
                // Events of a file from before the chained log get their hashes here.
                if (fileVersion < 5)
                    AuditLog::sealUnhashed(db);
            });
            Db::execNative(src, QStringLiteral("COMMIT"));
        } catch (...) {
            src.close();
            src = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            throw;
        }
        src.close();
    }
    QSqlDatabase::removeDatabase(name);
    return counts;
}

} // namespace ServerDb
