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

namespace {

// Every stored pack is read back once in this many runs.
const int ReadRounds = 10;

// Whether this installation recorded a backup into the repository (the event's detail begins
// with the repository's path).
bool backedUpBefore(const QSqlDatabase &db, const QString &repository)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = ? AND (Detail = ? OR Detail LIKE ?)"));
    q.addBindValue(AuditLog::code(AuditLog::Action::BackupMade));
    q.addBindValue(repository);
    q.addBindValue(QString(repository).replace(QLatin1Char('%'), QLatin1Char('_')) + QStringLiteral(" %"));
    return q.exec() && q.next() && q.value(0).toLongLong() > 0;
}

// Refuses a target that is not a disk or share of its own: a folder on the installation's disk
// (above all the empty mount point of a disk that is not plugged in) would "succeed" onto the
// system disk. BELCARA_BACKUP_ANY_FOLDER=1 allows any folder, for trying the program out.
void checkTarget(const Source &source, const QString &target, const QSqlDatabase &db)
{
    const QString connected = QStringLiteral("备份位置似乎没有连接");
    if (!QFileInfo(target).isDir())
        throw AppError(QStringLiteral("%1：%2 不存在。请插入备份用的U盘或连接共享文件夹后再试").arg(connected, target));
    if (qEnvironmentVariable("BELCARA_BACKUP_ANY_FOLDER") != QLatin1String("1")) {
        const QString pic = source.programFolder + QStringLiteral("pic");
        if (sameDevice(target, source.programFolder) || (QFileInfo(pic).isDir() && sameDevice(target, pic)))
            throw AppError(QStringLiteral("%1：%2 和本程序的资料在同一个磁盘上，不是单独的U盘、移动硬盘或共享文件夹"
                                          "（没有插入的盘，它的文件夹就是这样）。请连接备份用的盘后再试")
                               .arg(connected, target));
    }
    const QString repository = repositoryPath(target);
    if (!hasRepository(target) && backedUpBefore(db, repository))
        throw AppError(QStringLiteral("%1：以前备份到了 %2，现在那里没有备份。请检查插入的是不是备份用的盘"
                                      "（或共享文件夹是否连接好）")
                           .arg(connected, repository));
}

bool excludedName(const QString &rel)
{
    // Hidden folders (an unfinished restore) and files (unfinished saves), and what a restore set aside.
    for (const QString &part : rel.split(QLatin1Char('/')))
        if (part.startsWith(QLatin1Char('.')) || part.startsWith(AsidePrefix))
            return true;
    return false;
}

QHash<QString, LocalFile> listPictures(const QString &picRoot, qint64 *bytes)
{
    QHash<QString, LocalFile> out;
    *bytes = 0;
    QDirIterator it(picRoot, QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(picRoot.size() + 1);
        if (excludedName(rel) || PictureStore::isTemporaryName(it.fileName()))
            continue;
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        out.insert(QStringLiteral("pic/") + rel, {qint64(st.st_size), qint64(st.st_mtim.tv_sec)});
        *bytes += st.st_size;
    }
    return out;
}

// Held by the one backup run of an installation at a time (the nightly one and the menu's).
class RunLock {
public:
    explicit RunLock(const QString &dataDir)
    {
        QDir().mkpath(dataDir);
        const QString path = dataDir + QStringLiteral("/Data-backup.lock");
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            throw AppError(QStringLiteral("无法在 %1 中写入：%2").arg(dataDir, systemError(errno)));
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(m_fd, F_SETLK, &fl) != 0) {
            ::close(m_fd);
            throw AppError(QStringLiteral("这台电脑上的另一个备份正在进行，请等它结束后再试"));
        }
    }
    ~RunLock() { ::close(m_fd); }
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

private:
    int m_fd = -1;
};

// Removes a file when it goes out of scope.
struct RemoveOnExit {
    QString path;
    ~RemoveOnExit()
    {
        if (!path.isEmpty())
            QFile::remove(path);
    }
};

} // namespace

Made make(const Source &source, const QString &target, const QByteArray &password, int keep, bool create,
          const ProgressFn &progress)
{
    if (password.isEmpty())
        throw AppError(QStringLiteral("没有备份密码"));
    std::unique_ptr<OwnConnection> own;
    if (source.auditConnection.isEmpty())
        own = std::make_unique<OwnConnection>(source);
    const QSqlDatabase db = own ? own->db() : QSqlDatabase::database(source.auditConnection, false);
    checkTarget(source, target, db);
    const QString id = readInstallationId(db);
    const QString dataDir = source.programFolder + QStringLiteral("Data");
    RunLock runLock(dataDir);

    Made made;
    made.repository = repositoryPath(target);
    const Restic::Repository repo(made.repository, password);
    Progress p;
    const auto keepGoing = [&] { return !progress || progress(p); };

    const QString root = rootFolder(target);
    if (!hasRepository(target)) {
        if (!create)
            throw AppError(QStringLiteral("%1 还没有备份：第一次备份到这里时要先设置备份密码").arg(target));
        if (!QDir().mkpath(root))
            throw AppError(QStringLiteral("无法在 %1 中建立文件夹").arg(target));
        p.stage = QStringLiteral("正在建立加密的备份位置");
        checkCancel(progress, p);
        const Restic::Result r = repo.run({QStringLiteral("init")}, nullptr, keepGoing);
        if (r.exitCode != 0)
            fail(r, QStringLiteral("无法在 %1 建立备份").arg(target));
        made.created = true;
    }

    // What killed runs left: their locks (restic removes only those of processes that are gone).
    p.stage = QStringLiteral("正在打开备份位置");
    checkCancel(progress, p);
    {
        const Restic::Result r = repo.run({QStringLiteral("unlock")}, nullptr, keepGoing);
        if (r.exitCode != 0)
            fail(r, QStringLiteral("无法打开备份位置 %1").arg(made.repository));
    }
    // A pack that went missing since the last run (deleted, or lost by the disk) is taken out of
    // the index first, so that this run stores its contents again instead of counting on it.
    if (!made.created) {
        p.stage = QStringLiteral("正在检查备份位置");
        checkCancel(progress, p);
        const CheckFindings before = runCheck(repo, {}, keepGoing);
        const QSet<QString> noted = notedDamage(root);
        if (before.failed || !noted.isEmpty())
            setAsideDamaged(repo, root, before.damagedPacks + noted, id, source.programFolder + QStringLiteral("pic"),
                            keepGoing);
        QFile::remove(damageNote(root));
    }

    // A run that did not finish (cancelled, failed, killed, the disk pulled) may have left
    // stored data that no snapshot uses; this run removes it at the end.
    const QString marker = root + QStringLiteral("/.unfinished-") + id;
    const bool unfinishedBefore = QFileInfo::exists(marker);
    {
        QFile m(marker);
        m.open(QIODevice::WriteOnly);
    }

    const QVector<Snapshot> ours = snapshots(repo, id, installationFilter(id));
    const Snapshot *last = ours.isEmpty() ? nullptr : &ours.first();

    // The pictures: a store that is missing, or empty where the last backup had photos, is a
    // share that is not mounted, not a clinic without photos.
    const QString picRoot = source.programFolder + QStringLiteral("pic");
    if (!QFileInfo(picRoot).isDir())
        throw AppError(
            QStringLiteral("找不到图片文件夹 %1（共享文件夹没有连接？）：没有备份，以前的备份没有改动").arg(picRoot));
    p.stage = QStringLiteral("正在清点图片");
    checkCancel(progress, p);
    qint64 picBytes = 0;
    QHash<QString, LocalFile> pics = listPictures(picRoot, &picBytes);
    if (pics.isEmpty() && last && last->photos > 0)
        throw AppError(QStringLiteral("图片文件夹 %1 是空的，而上一次备份有 %2 张图片（共享文件夹没有连接？）："
                                      "没有备份，以前的备份没有改动")
                           .arg(picRoot)
                           .arg(last->photos));

    // The records first: every picture the copy names is in the store already, and is listed
    // again after it.
    p.stage = QStringLiteral("正在复制数据库");
    checkCancel(progress, p);
    const QString snapRel = source.server ? DumpInSnapshot : DbInSnapshot;
    RemoveOnExit snapFile{source.programFolder + snapRel};
    QFile::remove(snapFile.path);
    const QMap<QString, qint64> rows = source.server
                                           ? snapshotServer(source.conninfo, snapFile.path)
                                           : snapshotSqlite(dataDir + QStringLiteral("/Data.mdb"), snapFile.path);
    pics = listPictures(picRoot, &picBytes);
    const qint64 snapBytes = QFileInfo(snapFile.path).size();
    // The head of the audit chain as the copy holds it: with it a restored log can be checked
    // to end where it ended when the backup was made.
    AuditLog::ChainHead head;
    if (source.server) {
        head = AuditLog::chainHead(db);
    } else {
        const QString name = QStringLiteral("backup-head-") + QUuid::createUuid().toString(QUuid::Id128);
        {
            QSqlDatabase copy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            copy.setDatabaseName(snapFile.path);
            copy.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (copy.open()) {
                try {
                    head = AuditLog::chainHead(copy);
                } catch (const AppError &) {
                }
            }
            copy.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

    // Room: what is new since this installation's last snapshot, with some to spare.
    qint64 newBytes = snapBytes + picBytes;
    if (last) {
        p.stage = QStringLiteral("正在比较上一次的备份");
        checkCancel(progress, p);
        const QHash<QString, LocalFile> before = snapshotFiles(repo, last->id);
        newBytes = snapBytes;
        for (auto it = pics.cbegin(); it != pics.cend(); ++it) {
            const auto b = before.constFind(it.key());
            if (b == before.constEnd() || b->size != it->size || b->mtime != it->mtime)
                newBytes += it->size;
        }
    }
    const QStorageInfo volume(target);
    const qint64 needed = newBytes + newBytes / 50 + Headroom;
    if (volume.isValid() && volume.bytesAvailable() >= 0 && volume.bytesAvailable() < needed)
        throw AppError(QStringLiteral("备份位置 %1 只剩 %2 MB，这次备份约需 %3 MB：没有备份，以前的备份没有改动。"
                                      "请换一个空间更大的盘")
                           .arg(target, megabytes(volume.bytesAvailable()), megabytes(needed)));

    // The snapshot.
    p.stage = QStringLiteral("正在备份");
    p.filesTotal = pics.size() + 1;
    p.bytesTotal = picBytes + snapBytes;
    checkCancel(progress, p);
    QStringList args{QStringLiteral("backup"),
                     QStringLiteral("--json"),
                     QStringLiteral("--compression"),
                     QStringLiteral("off"), // photos do not compress; the time goes to encryption
                     QStringLiteral("--host"),
                     hostName(),
                     QStringLiteral("--tag"),
                     QStringLiteral("belcara"),
                     QStringLiteral("--tag"),
                     QStringLiteral("installation=") + id,
                     QStringLiteral("--tag"),
                     QStringLiteral("engine=")
                         + (source.server ? QStringLiteral("postgresql") : QStringLiteral("sqlite")),
                     QStringLiteral("--tag"),
                     QStringLiteral("cases=%1")
                         .arg(rows.value(QStringLiteral("Surgery"), rows.value(QStringLiteral("surgery")))),
                     QStringLiteral("--tag"),
                     QStringLiteral("photos=%1").arg(pics.size()),
                     QStringLiteral("--tag"),
                     QStringLiteral("audit=%1:%2").arg(head.id).arg(head.hash),
                     QStringLiteral("--exclude"),
                     QStringLiteral(".*"),
                     QStringLiteral("--exclude"),
                     AsidePrefix + QLatin1Char('*')};
    if (last)
        args << QStringLiteral("--parent") << last->id;
    args << snapRel << QStringLiteral("pic");
    QStringList unreadable;
    const Restic::Result r = repo.run(
        args,
        [&](const QByteArray &line) {
            const QJsonObject o = jsonLine(line);
            const QString type = o.value(QLatin1String("message_type")).toString();
            if (type == QLatin1String("status")) {
                p.filesDone = qint64(o.value(QLatin1String("files_done")).toDouble());
                p.bytesDone = qint64(o.value(QLatin1String("bytes_done")).toDouble());
                p.filesTotal = qMax(p.filesTotal, qint64(o.value(QLatin1String("total_files")).toDouble()));
                p.bytesTotal = qMax(p.bytesTotal, qint64(o.value(QLatin1String("total_bytes")).toDouble()));
            } else if (type == QLatin1String("error")) {
                QString item = o.value(QLatin1String("item")).toString();
                if (item.startsWith(source.programFolder))
                    item = item.mid(source.programFolder.size());
                unreadable << item;
            } else if (type == QLatin1String("summary")) {
                made.snapshot = o.value(QLatin1String("snapshot_id")).toString();
                made.files = qint64(o.value(QLatin1String("total_files_processed")).toDouble());
                made.bytes = qint64(o.value(QLatin1String("total_bytes_processed")).toDouble());
                made.newFiles = qint64(o.value(QLatin1String("files_new")).toDouble())
                                + qint64(o.value(QLatin1String("files_changed")).toDouble());
                made.addedBytes = qint64(o.value(QLatin1String("data_added")).toDouble());
                p.filesDone = p.filesTotal = made.files;
                p.bytesDone = p.bytesTotal = made.bytes;
            }
        },
        keepGoing, source.programFolder);
    // Status 3: the snapshot was made, but some files could not be read (a photo removed while
    // the run went on, such as the copies a refused save takes back).
    if ((r.exitCode != 0 && r.exitCode != 3) || made.snapshot.isEmpty())
        fail(r, QStringLiteral("备份没有完成"));
    for (const QString &item : unreadable)
        if (item == snapRel || item.isEmpty())
            throw AppError(QStringLiteral("数据库的副本没能存入备份：%1").arg(tail(r.errors)));
    made.leftOut = unreadable;

    // The check: the repository's structure, and a tenth of its data read back in turn.
    const int round = int(ours.size() % ReadRounds) + 1;
    made.checked = QStringLiteral("%1/%2").arg(round).arg(ReadRounds);
    p.stage = QStringLiteral("正在检查备份（读回 %1 的数据）").arg(made.checked);
    checkCancel(progress, p);
    CheckFindings after = runCheck(repo, {QStringLiteral("--read-data-subset"), made.checked}, keepGoing);
    if (after.failed && after.damagedPacks.isEmpty() && after.missingPacks.isEmpty() && !after.brokenTrees.isEmpty()) {
        // Only older snapshots lack data: the new one is whole.
        p.stage = QStringLiteral("正在处理缺少数据的较早备份");
        checkCancel(progress, p);
        made.warnings = settleBrokenSnapshots(repo, after.brokenTrees, made.snapshot, id, picRoot, keepGoing);
        after = runCheck(repo, {}, keepGoing);
    }
    if (after.failed) {
        QStringList lost = photosInPacks(repo, after.missingPacks, QString());
        lost += setAsideDamaged(repo, root, after.damagedPacks, id, picRoot, keepGoing);
        const QString aside = root + QStringLiteral("/损坏的数据");
        QString text = QStringLiteral("备份后的检查发现备份位置 %1 上的数据有损坏或缺失：\n%2")
                           .arg(made.repository, after.problems.mid(0, 8).join(QLatin1Char('\n')));
        if (!lost.isEmpty())
            text += QStringLiteral("\n无法读出的文件 %1 个：%2%3")
                        .arg(lost.size())
                        .arg(lost.mid(0, 10).join(QStringLiteral("、")))
                        .arg(lost.size() > 10 ? QStringLiteral(" 等") : QString());
        if (!after.damagedPacks.isEmpty())
            text += QStringLiteral("\n损坏的部分已移到 %1。").arg(aside);
        text += QStringLiteral("\n下次备份会重新存入现在还在的资料和图片：请再备份一次，并考虑更换这个盘。");
        throw AppError(text);
    }

    // Rotation: only this installation's snapshots beyond the number to keep.
    if (keep > 0 && ours.size() + 1 > keep) {
        p.stage = QStringLiteral("正在删除较早的备份");
        checkCancel(progress, p);
        const Restic::Result f = repo.run(QStringList{QStringLiteral("forget"), QStringLiteral("--group-by"), QString(),
                                                      QStringLiteral("--keep-last"), QString::number(keep),
                                                      QStringLiteral("--prune")}
                                              + installationFilter(id),
                                          nullptr, keepGoing);
        if (f.cancelled)
            throw Cancelled();
        if (f.exitCode != 0) {
            made.rotationNote = f.locked() ? QStringLiteral("另一台电脑正在使用备份位置，较早的备份下次再删除")
                                           : QStringLiteral("没能删除较早的备份：%1").arg(tail(f.errors, 2));
        } else {
            made.removed = int(ours.size() + 1 - snapshots(repo, id, installationFilter(id)).size());
        }
    }

    const bool pruned = keep > 0 && ours.size() + 1 > keep && made.rotationNote.isEmpty();
    if (unfinishedBefore && !pruned) {
        p.stage = QStringLiteral("正在清除上次没有完成的备份留下的数据");
        checkCancel(progress, p);
        const Restic::Result pr = repo.run({QStringLiteral("prune")}, nullptr, keepGoing);
        if (pr.cancelled)
            throw Cancelled();
        if (pr.exitCode != 0)
            made.rotationNote = QStringLiteral("没能清除上次没有完成的备份留下的数据，下次再试：%1")
                                    .arg(tail(pr.errors, 2));
    }
    if (made.rotationNote.isEmpty())
        QFile::remove(marker);

    const QString detail = made.repository + QStringLiteral(" 快照 ") + made.snapshot;
    if (!source.auditConnection.isEmpty()) {
        try {
            recordEvent(source.auditConnection, AuditLog::Action::BackupMade, detail);
        } catch (const AppError &) {
            // A database this user may only read keeps no event; the backup itself is good.
        }
    }
    return made;
}

} // namespace Backup
