#include "backup/Backup.h"
#include "backup/BackupInternal.h"

#include "data/AuditLog.h"
#include "backup/BackupDb.h"
#include "backup/Restic.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/PictureStore.h"
#include "data/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSysInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStorageInfo>
#include <QThread>
#include <QUuid>

#include <sqlite3.h>

#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Backup {

using namespace Backup::Db;
using namespace Backup::Internal;

// ---- one customer -------------------------------------------------------------------------

namespace {

// The tables whose rows belong to a case by a CaseId column (consent, per-photo settings, and
// whatever is added later in the same way).
QStringList caseTables(const QSqlDatabase &db)
{
    QStringList out;
    for (const QString &t : db.tables())
        if (db.record(t).contains(QStringLiteral("CaseId")) && t != QLatin1String("AuditLog"))
            out << t;
    return out;
}

QSqlQuery execOrFail(const QSqlDatabase &db, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery q(db);
    q.prepare(sql);
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        throw AppError(QStringLiteral("%1：%2").arg(sql, q.lastError().text()));
    return q;
}

QList<QSqlRecord> rowsOf(const QSqlDatabase &db, const QString &sql, const QVariantList &values)
{
    QSqlQuery q = execOrFail(db, sql, values);
    QList<QSqlRecord> out;
    while (q.next())
        out << q.record();
    return out;
}

// Inserts a row; keepId false leaves the id to the database. Returns the row's id.
QVariant insertRow(const QSqlDatabase &db, const QString &table, const QSqlRecord &row, bool keepId,
                   const QHash<QString, QVariant> &replace = {})
{
    QStringList cols, marks;
    QVariantList values;
    for (int i = 0; i < row.count(); ++i) {
        const QString name = row.fieldName(i);
        if (name == QLatin1String("id") && !keepId)
            continue;
        cols << QLatin1Char('"') + name + QLatin1Char('"');
        marks << QStringLiteral("?");
        values << (replace.contains(name) ? replace.value(name) : row.value(i));
    }
    QSqlQuery q = execOrFail(db,
                             QStringLiteral("INSERT INTO \"%1\" (%2) VALUES (%3)")
                                 .arg(table, cols.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
                             values);
    return keepId ? row.value(QStringLiteral("id")) : q.lastInsertId();
}

QStringList pictureColumns()
{
    return {QStringLiteral("手术前"), QStringLiteral("手术前1"), QStringLiteral("手术前2"),
            QStringLiteral("手术后"), QStringLiteral("手术后1"), QStringLiteral("手术后2")};
}

} // namespace

Restored restoreCustomer(const Source &source, const QString &target, const QByteArray &password,
                         const QString &snapshot, const QString &customerNo, const ProgressFn &progress)
{
    static const QRegularExpression safe(QStringLiteral("^[^/\\\\.][^/\\\\]*$"));
    if (!safe.match(customerNo).hasMatch())
        throw AppError(QStringLiteral("客户编号 %1 不对").arg(customerNo));
    if (source.server)
        throw AppError(QStringLiteral("服务器数据库的备份只能整个恢复"));
    if (!hasRepository(target))
        throw AppError(QStringLiteral("%1 没有备份").arg(rootFolder(target)));
    const Restic::Repository repo(repositoryPath(target), password);
    const QString snap = chooseSnapshot(repo, source, snapshot);
    const QString dataDir = source.programFolder + QStringLiteral("Data");
    const QString picRoot = source.programFolder + QStringLiteral("pic");
    QDir().mkpath(picRoot);
    removeLeftovers(source.programFolder);

    Progress p;
    p.stage = QStringLiteral("正在读取备份的文件列表");
    checkCancel(progress, p);
    QHash<QString, LocalFile> files = snapshotFiles(repo, snap);
    if (files.contains(DumpInSnapshot))
        throw AppError(QStringLiteral("这是服务器数据库的备份，本机使用的是本地数据库"));
    const QString prefix = QStringLiteral("pic/") + customerNo + QLatin1Char('/');
    QHash<QString, LocalFile> wanted;
    for (auto f = files.cbegin(); f != files.cend(); ++f)
        if (f.key().startsWith(prefix) || f.key() == DbInSnapshot)
            wanted.insert(f.key(), f.value());
    if (!wanted.contains(DbInSnapshot))
        throw AppError(QStringLiteral("备份中没有数据库的副本"));
    for (const LocalFile &f : wanted)
        p.bytesTotal += f.size;
    p.filesTotal = wanted.size();

    const QString when = stamp();
    const QString staging = picRoot + QLatin1Char('/') + StagingPrefix + when;
    struct Cleanup {
        QString dir;
        ~Cleanup() { QDir(dir).removeRecursively(); }
    } cleanup{staging};
    p.stage = QStringLiteral("正在恢复客户 %1").arg(customerNo);
    Restored r;
    r.lost = restoreInto(repo, snap, staging, {QLatin1Char('/') + DbInSnapshot, QLatin1Char('/') + prefix.chopped(1)},
                         wanted, p, progress);
    if (r.lost.contains(DbInSnapshot))
        throw AppError(QStringLiteral("备份中的数据库副本已损坏，不能从这个备份恢复"));
    checkSqliteFile(staging + QLatin1Char('/') + DbInSnapshot);

    // The records as they are now are kept whole beside what this replaces.
    const Aside aside = asideFolders(source.programFolder, when);
    QDir().mkpath(aside.folder);
    r.asideFolder = aside.folder;
    r.databaseAside = aside.folder + QStringLiteral("/Data.mdb");
    snapshotSqlite(dataDir + QStringLiteral("/Data.mdb"), r.databaseAside);

    // The backup's rows of the customer.
    const QString fromName = QStringLiteral("restore-from-") + QUuid::createUuid().toString(QUuid::Id128);
    OwnConnection current(source);
    QSqlDatabase db = current.db();
    int cases = 0;
    {
        QSqlDatabase from = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), fromName);
        from.setDatabaseName(staging + QLatin1Char('/') + DbInSnapshot);
        from.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!from.open())
            throw AppError(QStringLiteral("无法打开恢复的数据库：%1").arg(from.lastError().text()));
        const QList<QSqlRecord> customer = rowsOf(from, QStringLiteral("SELECT * FROM tUserInfo WHERE 客户编号 = ?"),
                                                  {customerNo});
        if (customer.isEmpty()) {
            from.close();
            QSqlDatabase::removeDatabase(fromName);
            throw AppError(QStringLiteral("这个备份中没有客户 %1").arg(customerNo));
        }
        const QList<QSqlRecord> surgeries = rowsOf(from,
                                                   QStringLiteral(
                                                       "SELECT * FROM Surgery WHERE 客户编号 = ? ORDER BY id"),
                                                   {customerNo});
        QHash<QString, QList<QSqlRecord>> dependents;
        const QStringList fromTables = caseTables(from);
        const QStringList hereTables = caseTables(db);
        for (const QSqlRecord &s : surgeries)
            for (const QString &t : fromTables)
                if (hereTables.contains(t))
                    dependents[t] += rowsOf(from, QStringLiteral("SELECT * FROM \"%1\" WHERE CaseId = ?").arg(t),
                                            {s.value(QStringLiteral("id"))});
        QList<QSqlRecord> alignments;
        const bool alignHere = db.tables().contains(QStringLiteral("PictureAlignment"));
        if (alignHere && from.tables().contains(QStringLiteral("PictureAlignment")))
            alignments = rowsOf(from, QStringLiteral("SELECT * FROM PictureAlignment WHERE BeforePicture LIKE ?"),
                                {QStringLiteral("%") + customerNo + QStringLiteral("%")});

        // In one transaction: the customer's current rows go, the backup's come in. A case id
        // another customer's case now uses is given a new one.
        if (!db.transaction())
            throw AppError(db.lastError().text());
        try {
            const QList<QSqlRecord> oldCases = rowsOf(db, QStringLiteral("SELECT * FROM Surgery WHERE 客户编号 = ?"),
                                                      {customerNo});
            for (const QSqlRecord &s : oldCases) {
                for (const QString &t : hereTables)
                    execOrFail(db, QStringLiteral("DELETE FROM \"%1\" WHERE CaseId = ?").arg(t),
                               {s.value(QStringLiteral("id"))});
                if (alignHere)
                    for (const QString &col : pictureColumns())
                        if (!s.value(col).toString().isEmpty())
                            execOrFail(db,
                                       QStringLiteral(
                                           "DELETE FROM PictureAlignment WHERE BeforePicture = ? OR AfterPicture = ?"),
                                       {s.value(col), s.value(col)});
            }
            execOrFail(db, QStringLiteral("DELETE FROM Surgery WHERE 客户编号 = ?"), {customerNo});
            execOrFail(db, QStringLiteral("DELETE FROM tUserInfo WHERE 客户编号 = ?"), {customerNo});
            const auto idFree = [&](const QString &table, const QVariant &id) {
                QSqlQuery q = execOrFail(db, QStringLiteral("SELECT count(*) FROM \"%1\" WHERE id = ?").arg(table),
                                         {id});
                return q.next() && q.value(0).toLongLong() == 0;
            };
            insertRow(db, QStringLiteral("tUserInfo"), customer.first(),
                      idFree(QStringLiteral("tUserInfo"), customer.first().value(QStringLiteral("id"))));
            for (const QSqlRecord &s : surgeries) {
                const QVariant oldId = s.value(QStringLiteral("id"));
                const QVariant newId = insertRow(db, QStringLiteral("Surgery"), s,
                                                 idFree(QStringLiteral("Surgery"), oldId));
                for (const QString &t : hereTables)
                    for (const QSqlRecord &d : dependents.value(t))
                        if (d.value(QStringLiteral("CaseId")) == oldId)
                            insertRow(db, t, d, false, {{QStringLiteral("CaseId"), newId}});
                cases++;
            }
            for (const QSqlRecord &a : alignments)
                insertRow(db, QStringLiteral("PictureAlignment"), a, false);
            if (!db.commit())
                throw AppError(db.lastError().text());
        } catch (...) {
            db.rollback();
            from.close();
            QSqlDatabase::removeDatabase(fromName);
            throw;
        }
        from.close();
    }
    QSqlDatabase::removeDatabase(fromName);

    // The photos: the customer's current folder moves aside, the backup's takes its place.
    r.picturesAside = aside.pictures + QLatin1Char('/') + customerNo;
    const QString folder = picRoot + QLatin1Char('/') + customerNo;
    if (QFileInfo::exists(folder)) {
        QDir().mkpath(aside.pictures);
        moveOrFail(folder, r.picturesAside);
    }
    const QString staged = staging + QLatin1Char('/') + prefix.chopped(1);
    if (QFileInfo::exists(staged))
        moveOrFail(staged, folder);
    for (auto f = wanted.cbegin(); f != wanted.cend(); ++f)
        if (f.key() != DbInSnapshot && !r.lost.contains(f.key()))
            r.files++;
    QString detail = QStringLiteral("只恢复客户 %1：%2 快照 %3，%4 个案例，%5 张图片")
                         .arg(customerNo, repo.path(), snap.left(8))
                         .arg(cases)
                         .arg(r.files);
    if (!r.lost.isEmpty())
        detail += QStringLiteral("；%1 张没能恢复：%2").arg(r.lost.size()).arg(lostText(r.lost));
    try {
        recordEvent(current.name(), AuditLog::Action::Restored, detail, customerNo);
    } catch (const AppError &) {
    }
    return r;
}

} // namespace Backup
