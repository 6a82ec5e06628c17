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

// ---- restore ------------------------------------------------------------------------------
namespace Internal {

void holdRecordsAlone(const Source &source, InUseLock &lock, std::unique_ptr<ServerConnection> &server)
{
    const QString dataDir = source.programFolder + QStringLiteral("Data");
    if (source.server) {
        server = std::make_unique<ServerConnection>(source.conninfo);
        QSqlQuery q(server->db());
        if (!q.exec(QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                   "AND pid <> pg_backend_pid() AND backend_type = 'client backend'"))
            || !q.next())
            throw AppError(q.lastError().text());
        if (q.value(0).toLongLong() > 0)
            throw AppError(QStringLiteral("还有 %1 个程序连接着服务器上的数据库：请先关闭其他工作站上的程序，再恢复")
                               .arg(q.value(0).toLongLong()));
        return;
    }
    QDir().mkpath(dataDir);
    if (!lock.holdExclusive(dataDir + QStringLiteral("/Data.mdb")))
        throw AppError(
            QStringLiteral("另一个程序正在使用数据库 %1：请先关闭所有使用它的程序（包括其他电脑上的），再恢复")
                .arg(dataDir + QStringLiteral("/Data.mdb")));
}

QString chooseSnapshot(const Restic::Repository &repo, const Source &source, const QString &snapshot)
{
    if (!snapshot.isEmpty())
        return snapshot;
    QString id;
    try {
        id = installationId(source);
    } catch (const AppError &) {
        // A fresh computer has no records yet: the newest snapshot of all is meant.
    }
    const QVector<Snapshot> all = snapshots(repo, id);
    if (all.isEmpty())
        throw AppError(QStringLiteral("%1 中没有备份").arg(repo.path()));
    if (!id.isEmpty() && !all.first().ours)
        throw AppError(
            QStringLiteral("%1 中没有本机的备份：请指明要恢复哪一个（belcara-admin list 列出全部）").arg(repo.path()));
    return all.first().id;
}

} // namespace Internal

namespace {

qint64 folderBytes(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace

namespace Internal {

QStringList restoreInto(const Restic::Repository &repo, const QString &snapshot, const QString &staging,
                        const QStringList &includes, const QHash<QString, LocalFile> &expected, Progress &p,
                        const ProgressFn &progress)
{
    QDir().mkpath(staging);
    QElapsedTimer polled;
    polled.start();
    const auto keepGoing = [&] {
        if (polled.elapsed() > 1000) {
            polled.restart();
            p.bytesDone = folderBytes(staging);
        }
        return !progress || progress(p);
    };
    QStringList args{QStringLiteral("restore"), snapshot, QStringLiteral("--target"), staging};
    for (const QString &inc : includes)
        args << QStringLiteral("--include") << inc;
    const Restic::Result r = repo.run(args, nullptr, keepGoing);
    static const QRegularExpression ignored(QStringLiteral("^ignoring error for /(.*?): "));
    QSet<QString> lost;
    for (const QString &line : r.errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = ignored.match(line);
        if (m.hasMatch())
            lost.insert(m.captured(1));
    }
    if (r.exitCode != 0 && (lost.isEmpty() || r.cancelled || r.wrongPassword()))
        fail(r, QStringLiteral("恢复没有完成"));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QFileInfo fi(staging + QLatin1Char('/') + it.key());
        if (!fi.isFile() || fi.size() != it->size)
            lost.insert(it.key());
    }
    QStringList out(lost.begin(), lost.end());
    out.sort();
    return out;
}

Aside asideFolders(const QString &programFolder, const QString &when)
{
    Aside a;
    a.folder = programFolder + AsidePrefix + when;
    const QString pic = programFolder + QStringLiteral("pic");
    a.pictures = sameDevice(programFolder, pic) ? a.folder + QStringLiteral("/pic")
                                                : pic + QLatin1Char('/') + AsidePrefix + when;
    return a;
}

} // namespace Internal

namespace {

void moveFileOrCopy(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return;
    QString why;
    if (!PictureStore::copyFileAtomically(from, to, &why))
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(to, why));
    QFile::remove(from);
}

} // namespace

namespace Internal {

QMap<QString, qint64> checkSqliteFile(const QString &file)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw AppError(QStringLiteral("无法打开恢复的数据库"));
    }
    QString integrity;
    const auto rows = sqliteRowCounts(db, &integrity);
    sqlite3_close(db);
    if (integrity != QLatin1String("ok"))
        throw AppError(QStringLiteral("恢复的数据库检查未通过：%1").arg(integrity));
    return rows;
}

QString lostText(const QStringList &lost)
{
    return lost.mid(0, 20).join(QStringLiteral("、")) + (lost.size() > 20 ? QStringLiteral(" 等") : QString());
}

void replaceServerRecords(const QString &conninfo, const QString &aside, const QString &dump)
{
    runPgTool(QStringLiteral("pg_dump"),
              {QStringLiteral("--format=custom"), QStringLiteral("--no-owner"), QStringLiteral("--no-privileges"),
               QStringLiteral("--file=") + aside},
              conninfo);
    runPgTool(QStringLiteral("pg_restore"),
              {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
               QStringLiteral("--no-privileges"), QStringLiteral("--single-transaction"),
               QStringLiteral("--exit-on-error"), dump},
              conninfo);
}

void recordIn(const Source &source, const QString &dataDir, AuditLog::Action action, const QString &detail,
              const QString &customerNo)
{
    const QString name = QStringLiteral("restore-") + QUuid::createUuid().toString(QUuid::Id128);
    {
        if (source.server) {
            DbEngine::openServer(name, source.conninfo);
        } else {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(dataDir + QStringLiteral("/Data.mdb"));
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
            db.open();
        }
        try {
            recordEvent(name, action, detail, customerNo);
        } catch (const AppError &) {
        }
        QSqlDatabase::database(name, false).close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace Internal

namespace {

// The head of the audit chain kept outside the database names the last event of the records
// that were replaced: it is kept with them, and the restored records' own head takes its place,
// so that the restored log is checked against itself and not taken for a log with events removed.
void keepHeadInStep(const Source &source, const QString &dataDir, const QString &asideFolder)
{
    const QString name = QStringLiteral("restore-head-") + QUuid::createUuid().toString(QUuid::Id128);
    {
        QSqlDatabase db;
        if (source.server) {
            DbEngine::openServer(name, source.conninfo);
            db = QSqlDatabase::database(name, false);
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(dataDir + QStringLiteral("/Data.mdb"));
            db.open();
        }
        try {
            QString file;
            if (source.server) {
                QSqlQuery q(db);
                if (q.exec(QStringLiteral("SELECT Id FROM BelcaraInstallation")) && q.next())
                    file = AuditLog::headFileForServer(QFileInfo(Settings::path()).absolutePath(),
                                                       q.value(0).toString());
            } else {
                file = AuditLog::headFileBeside(dataDir + QStringLiteral("/Data.mdb"));
            }
            if (!file.isEmpty()) {
                if (QFileInfo::exists(file))
                    QFile::copy(file, asideFolder + QLatin1Char('/') + QFileInfo(file).fileName());
                const AuditLog::ChainHead head = AuditLog::chainHead(db);
                if (head.isNull())
                    QFile::remove(file); // an empty log: its first event starts the head again
                else
                    AuditLog::writeHead(file, head);
            }
        } catch (const AppError &) {
            // Without a head file the log is checked against itself alone.
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

void removeLeftovers(const QString &programFolder)
{
    const QString pic = programFolder + QStringLiteral("pic");
    const QString data = programFolder + QStringLiteral("Data");
    for (const QString &name :
         QDir(pic).entryList({StagingPrefix + QLatin1Char('*'), QStringLiteral(".unfinished-restore-*")},
                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
        QDir(pic + QLatin1Char('/') + name).removeRecursively();
    // Older releases set replaced pictures aside in a hidden folder of the store: they are kept,
    // in the visible folder a restore uses now.
    for (const QString &name :
         QDir(pic).entryList({QStringLiteral(".before-restore-*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const Aside a = asideFolders(programFolder, name.mid(int(qstrlen(".before-restore-"))));
        QDir().mkpath(QFileInfo(a.pictures).absolutePath());
        if (!QFileInfo::exists(a.pictures))
            ::rename(QFile::encodeName(pic + QLatin1Char('/') + name).constData(),
                     QFile::encodeName(a.pictures).constData());
    }
    for (const QString &name :
         QDir(data).entryList({QStringLiteral("Data.mdb.restoring-*")}, QDir::Files | QDir::Hidden))
        QFile::remove(data + QLatin1Char('/') + name);
}

Restored restore(const Source &source, const QString &target, const QByteArray &password, const QString &snapshot,
                 const ProgressFn &progress)
{
    InUseLock lock;
    std::unique_ptr<ServerConnection> server;
    holdRecordsAlone(source, lock, server);
    if (!hasRepository(target))
        throw AppError(QStringLiteral("%1 没有备份").arg(rootFolder(target)));
    const Restic::Repository repo(repositoryPath(target), password);
    const QString snap = chooseSnapshot(repo, source, snapshot);
    const QVector<Snapshot> all = snapshots(repo, QString(), {});
    const auto it = std::find_if(all.begin(), all.end(), [&](const Snapshot &s) {
        return s.id == snap || s.shortId == snap || s.id.startsWith(snap);
    });
    if (it == all.end())
        throw AppError(QStringLiteral("%1 中没有备份 %2").arg(repo.path(), snap));
    if (it->server != source.server)
        throw AppError(it->server ? QStringLiteral("这是服务器数据库的备份，本机使用的是本地数据库")
                                  : QStringLiteral("这是本地数据库的备份，本机使用的是服务器数据库"));

    const QString dataDir = source.programFolder + QStringLiteral("Data");
    const QString picRoot = source.programFolder + QStringLiteral("pic");
    // A fresh computer has no picture store yet.
    if (!QDir().mkpath(picRoot) || !QDir().mkpath(dataDir))
        throw AppError(QStringLiteral("无法建立 %1").arg(picRoot));
    removeLeftovers(source.programFolder);

    Progress p;
    p.stage = QStringLiteral("正在读取备份的文件列表");
    checkCancel(progress, p);
    const QHash<QString, LocalFile> files = snapshotFiles(repo, it->id);
    const QString snapRel = source.server ? DumpInSnapshot : DbInSnapshot;
    if (!files.contains(snapRel))
        throw AppError(QStringLiteral("备份 %1 中没有数据库的副本").arg(it->shortId));
    for (const LocalFile &f : files)
        p.bytesTotal += f.size;
    p.filesTotal = files.size();
    const QStorageInfo volume(picRoot);
    if (volume.isValid() && volume.bytesAvailable() >= 0 && volume.bytesAvailable() < p.bytesTotal + Headroom)
        throw AppError(QStringLiteral("%1 只剩 %2 MB，恢复需要 %3 MB：没有恢复，现在的资料没有改动")
                           .arg(picRoot, megabytes(volume.bytesAvailable()), megabytes(p.bytesTotal + Headroom)));

    const QString when = stamp();
    const QString staging = picRoot + QLatin1Char('/') + StagingPrefix + when;
    Restored r;
    p.stage = QStringLiteral("正在恢复");
    try {
        r.lost = restoreInto(repo, it->id, staging, {}, files, p, progress);
        if (r.lost.contains(snapRel))
            throw AppError(QStringLiteral("备份中的数据库副本已损坏，不能恢复这个备份：请选择另一个"));
        if (!source.server) {
            const QMap<QString, qint64> rows = checkSqliteFile(staging + QLatin1Char('/') + snapRel);
            if (it->cases >= 0 && rows.value(QStringLiteral("Surgery"), -1) != it->cases)
                throw AppError(QStringLiteral("恢复的数据库有 %1 个案例，备份时是 %2 个")
                                   .arg(rows.value(QStringLiteral("Surgery"), -1))
                                   .arg(it->cases));
        }
        checkCancel(progress, p);
    } catch (...) {
        QDir(staging).removeRecursively();
        throw;
    }

    // The swap: the current records and pictures move aside, the backup's take their place.
    p.stage = QStringLiteral("正在替换数据");
    if (progress)
        progress(p);
    const Aside aside = asideFolders(source.programFolder, when);
    r.asideFolder = aside.folder;
    QDir().mkpath(aside.folder);
    if (source.server) {
        r.databaseAside = aside.folder + QStringLiteral("/database.pgdump");
        replaceServerRecords(source.conninfo, r.databaseAside, staging + QLatin1Char('/') + snapRel);
        r.rows = serverRowCounts(server->db());
    } else {
        const QString current = dataDir + QStringLiteral("/Data.mdb");
        r.databaseAside = aside.folder + QStringLiteral("/Data.mdb");
        // The write-ahead log and its index go along, so the set-aside file keeps every last change.
        for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
            if (QFileInfo::exists(current + suffix))
                moveFileOrCopy(current + suffix, r.databaseAside + suffix);
        if (QFileInfo::exists(current))
            moveFileOrCopy(current, r.databaseAside);
        moveFileOrCopy(staging + QLatin1Char('/') + snapRel, current);
        r.rows = checkSqliteFile(current);
    }
    r.picturesAside = aside.pictures;
    QDir().mkpath(aside.pictures);
    const QDir::Filters all_ = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (const QString &child : QDir(picRoot).entryList(all_))
        if (!child.startsWith(QLatin1Char('.')) && !child.startsWith(AsidePrefix))
            moveOrFail(picRoot + QLatin1Char('/') + child, aside.pictures + QLatin1Char('/') + child);
    const QString stagedPics = staging + QStringLiteral("/pic");
    for (const QString &child : QDir(stagedPics).entryList(all_))
        moveOrFail(stagedPics + QLatin1Char('/') + child, picRoot + QLatin1Char('/') + child);
    QDir(staging).removeRecursively();
    for (auto f = files.cbegin(); f != files.cend(); ++f)
        if (f.key().startsWith(QLatin1String("pic/")) && !r.lost.contains(f.key()))
            r.files++;

    keepHeadInStep(source, dataDir, aside.folder);
    QString detail = repo.path() + QStringLiteral(" 快照 ") + it->shortId;
    if (!r.lost.isEmpty())
        detail += QStringLiteral("；%1 张图片没能恢复：%2").arg(r.lost.size()).arg(lostText(r.lost));
    recordIn(source, dataDir, AuditLog::Action::Restored, detail);
    return r;
}

} // namespace Backup
