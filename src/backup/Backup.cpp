#include "backup/Backup.h"

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

namespace {

const QString DbInSnapshot = QStringLiteral("Data/Data-backup.mdb");
const QString DumpInSnapshot = QStringLiteral("Data/database-backup.pgdump");
const QString AsidePrefix = QStringLiteral("恢复前的数据-");
const QString StagingPrefix = QStringLiteral(".restoring-");
// Every stored pack is read back once in this many runs.
const int ReadRounds = 10;
// Room kept free on a disk beyond what a run needs: restic's index and the file system's own.
const qint64 Headroom = 64LL << 20;

void checkCancel(const ProgressFn &progress, const Progress &p)
{
    if (progress && !progress(p))
        throw Cancelled();
}

QString withoutSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString megabytes(qint64 bytes)
{
    return QString::number((bytes + (1 << 19)) >> 20);
}

// The last lines restic wrote, for a message.
QString tail(const QString &errors, int lines = 6)
{
    QStringList l = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (l.size() > lines)
        l = l.mid(l.size() - lines);
    return l.join(QLatin1Char('\n'));
}

// Raises what a failed restic command means.
[[noreturn]] void fail(const Restic::Result &r, const QString &what)
{
    if (r.cancelled)
        throw Cancelled();
    if (r.wrongPassword())
        throw WrongPassword();
    if (!r.started)
        throw AppError(QStringLiteral("无法运行 restic（请安装 restic 软件包）：%1").arg(r.errors));
    if (r.locked())
        throw AppError(QStringLiteral("%1：另一台电脑正在使用这个备份位置，请稍后再试").arg(what));
    throw AppError(QStringLiteral("%1：%2").arg(what, tail(r.errors)));
}

bool sameDevice(const QString &a, const QString &b)
{
    struct stat sa {
    }, sb{};
    if (::stat(QFile::encodeName(a).constData(), &sa) != 0 || ::stat(QFile::encodeName(b).constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev;
}

// A connection of the backup's own to the installation's records.
class OwnConnection {
public:
    explicit OwnConnection(const Source &source)
        : m_name(QStringLiteral("backup-") + QUuid::createUuid().toString(QUuid::Id128))
    {
        if (source.server) {
            DbEngine::openServer(m_name, source.conninfo);
            return;
        }
        const QString file = source.programFolder + QStringLiteral("Data/Data.mdb");
        if (!QFileInfo(file).isFile())
            throw AppError(QStringLiteral("找不到数据库文件 %1").arg(file));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open())
            throw AppError(QStringLiteral("无法打开数据库 %1：%2").arg(file, db.lastError().text()));
    }
    ~OwnConnection()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    OwnConnection(const OwnConnection &) = delete;
    OwnConnection &operator=(const OwnConnection &) = delete;
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }
    const QString &name() const { return m_name; }

private:
    QString m_name;
};

QString readInstallationId(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT Id FROM BelcaraInstallation ORDER BY CreatedAt LIMIT 1")) && q.next())
        return q.value(0).toString();
    if (!db.tables().contains(QStringLiteral("BelcaraInstallation"), Qt::CaseInsensitive))
        throw AppError(
            QStringLiteral("数据库还是旧的版本：请先启动一次本程序（或运行 belcara-admin upgrade），再备份"));
    // The row went missing: a new identity is as good as the old one for backups made from now on.
    const QString id = QUuid::createUuid().toString(QUuid::Id128);
    QSqlQuery ins(db);
    ins.prepare(QStringLiteral("INSERT INTO BelcaraInstallation (Id, CreatedAt) VALUES (?, ?)"));
    ins.addBindValue(id);
    ins.addBindValue(QDateTime::currentDateTime().toString(Qt::ISODate));
    if (!ins.exec())
        throw AppError(ins.lastError().text());
    return id;
}

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

// Each this installation's photo: path in the store ("pic/A1/1.jpg"), size and time.
struct LocalFile {
    qint64 size = 0;
    qint64 mtime = 0; // seconds
};

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

QJsonObject jsonLine(const QByteArray &line)
{
    return QJsonDocument::fromJson(line).object();
}

QString tagValue(const QJsonArray &tags, const QString &key)
{
    const QString prefix = key + QLatin1Char('=');
    for (const QJsonValue &t : tags)
        if (t.toString().startsWith(prefix))
            return t.toString().mid(prefix.size());
    return QString();
}

Snapshot snapshotOf(const QJsonObject &o, const QString &installationId)
{
    Snapshot s;
    s.id = o.value(QLatin1String("id")).toString();
    s.shortId = o.value(QLatin1String("short_id")).toString();
    if (s.shortId.isEmpty())
        s.shortId = s.id.left(8);
    s.time = QDateTime::fromString(o.value(QLatin1String("time")).toString(), Qt::ISODateWithMs).toLocalTime();
    s.host = o.value(QLatin1String("hostname")).toString();
    const QJsonArray tags = o.value(QLatin1String("tags")).toArray();
    s.installation = tagValue(tags, QStringLiteral("installation"));
    s.ours = !installationId.isEmpty() && s.installation == installationId;
    s.server = tagValue(tags, QStringLiteral("engine")) == QLatin1String("postgresql");
    s.salvagedFrom = tagValue(tags, QStringLiteral("salvaged"));
    bool ok = false;
    s.cases = tagValue(tags, QStringLiteral("cases")).toLongLong(&ok);
    if (!ok)
        s.cases = -1;
    s.photos = tagValue(tags, QStringLiteral("photos")).toLongLong(&ok);
    if (!ok)
        s.photos = -1;
    return s;
}

QVector<Snapshot> snapshots(const Restic::Repository &repo, const QString &installationId,
                            const QStringList &filter = {})
{
    QByteArray out;
    const Restic::Result r = repo.run(QStringList{QStringLiteral("snapshots"), QStringLiteral("--json"),
                                                  QStringLiteral("--tag"), QStringLiteral("belcara")}
                                          + filter,
                                      &out);
    if (r.exitCode != 0)
        fail(r, QStringLiteral("无法读取备份列表"));
    QVector<Snapshot> list;
    for (const QJsonValue &v : QJsonDocument::fromJson(out).array())
        list << snapshotOf(v.toObject(), installationId);
    std::sort(list.begin(), list.end(), [](const Snapshot &a, const Snapshot &b) {
        if (a.ours != b.ours)
            return a.ours;
        return a.time > b.time;
    });
    return list;
}

QStringList installationFilter(const QString &id)
{
    return {QStringLiteral("--tag"), QStringLiteral("installation=") + id};
}

// The files of a snapshot with their sizes and times ("pic/A1/1.jpg").
QHash<QString, LocalFile> snapshotFiles(const Restic::Repository &repo, const QString &snapshot)
{
    QHash<QString, LocalFile> files;
    const Restic::Result r = repo.run({QStringLiteral("ls"), QStringLiteral("--json"), snapshot}, [&](const QByteArray
                                                                                                          &line) {
        const QJsonObject o = jsonLine(line);
        if (o.value(QLatin1String("type")).toString() != QLatin1String("file"))
            return;
        const QString path = o.value(QLatin1String("path")).toString().mid(1);
        const QDateTime t = QDateTime::fromString(o.value(QLatin1String("mtime")).toString(), Qt::ISODateWithMs);
        files.insert(path, {qint64(o.value(QLatin1String("size")).toDouble()), t.isValid() ? t.toSecsSinceEpoch() : 0});
    });
    if (r.exitCode != 0)
        fail(r, QStringLiteral("无法读取备份 %1 的文件列表").arg(snapshot));
    return files;
}

QStringList restoreInto(const Restic::Repository &repo, const QString &snapshot, const QString &staging,
                        const QStringList &includes, const QHash<QString, LocalFile> &expected, Progress &p,
                        const ProgressFn &progress);
QString hostName();

// What a check found: its messages and the damaged or missing packs they name.
struct CheckFindings {
    QStringList problems;
    QSet<QString> damagedPacks; // content does not match its name: unreadable in part
    QSet<QString> missingPacks;
    QSet<QString> brokenTrees; // folders of snapshots that name data the repository no longer has
    bool failed = false;
};

CheckFindings runCheck(const Restic::Repository &repo, const QStringList &extra, const std::function<bool()> &keepGoing)
{
    static const QRegularExpression mismatch(QStringLiteral("Pack ID does not match, want ([0-9a-f]{64})"));
    static const QRegularExpression contains(QStringLiteral("pack ([0-9a-f]{64}) contains \\d+ errors?"));
    static const QRegularExpression missing(QStringLiteral("pack ([0-9a-f]{64}): does not exist"));
    static const QRegularExpression tree(QStringLiteral("^tree ([0-9a-f]{64}): "));
    CheckFindings f;
    Restic::Result r;
    // A check needs the repository to itself: another installation's run may hold it a while.
    for (int attempt = 0;; ++attempt) {
        QByteArray out;
        r = repo.run(QStringList{QStringLiteral("check")} + extra, &out, keepGoing);
        r.errors += QString::fromUtf8(out);
        if (!r.locked() || attempt >= 12)
            break;
        QThread::sleep(10);
    }
    if (r.cancelled)
        throw Cancelled();
    if (r.wrongPassword())
        throw WrongPassword();
    if (r.exitCode == 0)
        return f;
    if (r.locked() || !r.started)
        fail(r, QStringLiteral("无法检查备份"));
    f.failed = true;
    for (const QString &line : r.errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1Char('[')) || t.startsWith(QLatin1String("using temporary cache"))
            || t.startsWith(QLatin1String("create exclusive lock")) || t.startsWith(QLatin1String("load indexes"))
            || t.startsWith(QLatin1String("check ")) || t.startsWith(QLatin1String("read "))
            || t == QLatin1String("Fatal: repository contains errors"))
            continue;
        f.problems << t;
        QRegularExpressionMatch m = mismatch.match(t);
        if (!m.hasMatch())
            m = contains.match(t);
        if (m.hasMatch())
            f.damagedPacks.insert(m.captured(1));
        else if ((m = missing.match(t)).hasMatch())
            f.missingPacks.insert(m.captured(1));
        else if ((m = tree.match(t)).hasMatch())
            f.brokenTrees.insert(m.captured(1));
    }
    if (f.problems.isEmpty())
        f.problems << tail(r.errors);
    return f;
}

// The photos (of one snapshot, or of any) whose data lies in the given packs.
QStringList photosInPacks(const Restic::Repository &repo, const QSet<QString> &packs, const QString &snapshot)
{
    QSet<QString> found;
    for (const QString &pack : packs) {
        QByteArray out;
        QStringList args{QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--pack"), pack};
        if (!snapshot.isEmpty())
            args << QStringLiteral("--snapshot") << snapshot;
        repo.run(args, &out);
        for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
            const QJsonObject o = v.toObject();
            const QString path = o.value(QLatin1String("path")).toString();
            if (!path.isEmpty())
                found.insert(path.mid(1));
        }
    }
    QStringList list(found.begin(), found.end());
    list.sort();
    return list;
}

qint64 filesUnder(const QString &folder)
{
    qint64 n = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        n++;
    }
    return n;
}

// Takes damaged packs out of the repository (into "损坏的数据/" beside it, so nothing is
// deleted) and rebuilds the index without them and without missing ones, so that the next
// backup stores their data again. What can still be read of a damaged pack (each file's data is
// checked on its own) is first restored to a hidden folder of the picture store and stored again
// as a snapshot of its own ("salvaged"): the older snapshots that use it stay whole. Returns the
// files whose data could not be read.
QStringList setAsideDamaged(const Restic::Repository &repo, const QString &root, const QSet<QString> &damaged,
                            const QString &installationId, const QString &picRoot,
                            const std::function<bool()> &keepGoing)
{
    QStringList lost;
    const QString staging = picRoot + QStringLiteral("/.salvage-") + stamp();
    QStringList salvaged;
    if (!damaged.isEmpty()) {
        // One snapshot and path for each piece of data in the damaged packs.
        QHash<QString, QSet<QString>> bySnapshot;
        QSet<QString> blobs;
        for (const QString &pack : damaged) {
            QByteArray out;
            repo.run({QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--pack"), pack}, &out);
            for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
                const QJsonObject o = v.toObject();
                const QString blob = o.value(QLatin1String("id")).toString();
                const QString path = o.value(QLatin1String("path")).toString();
                if (path.isEmpty() || blobs.contains(blob))
                    continue;
                blobs.insert(blob);
                bySnapshot[o.value(QLatin1String("snapshot")).toString()].insert(path);
            }
        }
        Progress none;
        QSet<QString> unreadable;
        for (auto it = bySnapshot.cbegin(); it != bySnapshot.cend(); ++it) {
            const QString into = staging + QLatin1Char('/') + it.key().left(8);
            for (const QString &l :
                 restoreInto(repo, it.key(), into, QStringList(it->begin(), it->end()), {}, none, {}))
                unreadable.insert(l);
            if (QFileInfo::exists(into))
                salvaged << it.key().left(8);
        }
        lost = QStringList(unreadable.begin(), unreadable.end());
        lost.sort();
    }
    const QString aside = root + QStringLiteral("/损坏的数据");
    for (const QString &pack : damaged) {
        const QString file = repo.path() + QStringLiteral("/data/") + pack.left(2) + QLatin1Char('/') + pack;
        if (!QFileInfo::exists(file))
            continue;
        QDir().mkpath(aside);
        moveOrFail(file, aside + QLatin1Char('/') + pack);
    }
    const Restic::Result r = repo.run({QStringLiteral("rebuild-index")}, nullptr);
    if (r.exitCode != 0) {
        QDir(staging).removeRecursively();
        fail(r, QStringLiteral("无法整理备份的索引"));
    }
    if (!salvaged.isEmpty()) {
        const Restic::Result b = repo.run(QStringList{QStringLiteral("backup"), QStringLiteral("--json"),
                                                      QStringLiteral("--compression"), QStringLiteral("off"),
                                                      QStringLiteral("--host"), hostName(), QStringLiteral("--tag"),
                                                      QStringLiteral("belcara"), QStringLiteral("--tag"),
                                                      QStringLiteral("installation=") + installationId,
                                                      QStringLiteral("--tag"), QStringLiteral("salvaged=damaged-data"),
                                                      QStringLiteral("--tag"),
                                                      QStringLiteral("photos=%1").arg(filesUnder(staging))}
                                              + salvaged,
                                          {}, keepGoing, staging);
        QDir(staging).removeRecursively();
        if (b.exitCode != 0 && b.exitCode != 3)
            fail(b, QStringLiteral("无法重新存入损坏部分中还能读出的数据"));
    }
    return lost;
}

// Snapshots that still name data the repository lost (a pack deleted or damaged before the
// last run) make every later check fail and keep rotation from pruning. Each one is forgotten;
// the photos only it held, and that can still be read, are first stored again as a snapshot of
// their own ("salvaged"), so that nothing readable is lost. Returns what was done, for the user.
QStringList settleBrokenSnapshots(const Restic::Repository &repo, const QSet<QString> &trees, const QString &newest,
                                  const QString &installationId, const QString &picRoot,
                                  const std::function<bool()> &keepGoing)
{
    QSet<QString> broken;
    QHash<QString, QString> times;
    for (const QString &t : trees) {
        QByteArray out;
        repo.run({QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--tree"), t}, &out);
        for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
            const QString snap = v.toObject().value(QLatin1String("snapshot")).toString();
            broken.insert(snap);
            times.insert(snap, v.toObject()
                                   .value(QLatin1String("time"))
                                   .toString()
                                   .left(19)
                                   .replace(QLatin1Char('T'), QLatin1Char(' ')));
        }
    }
    for (const QString &b : broken)
        if (b.startsWith(newest))
            throw AppError(QStringLiteral("新的备份 %1 也缺少数据：请换一个盘再备份").arg(newest));
    QStringList notes;
    const QHash<QString, LocalFile> kept = snapshotFiles(repo, newest);
    for (const QString &b : broken) {
        QHash<QString, LocalFile> only;
        try {
            const QHash<QString, LocalFile> files = snapshotFiles(repo, b);
            for (auto f = files.cbegin(); f != files.cend(); ++f) {
                const auto k = kept.constFind(f.key());
                if (f.key().startsWith(QLatin1String("pic/"))
                    && (k == kept.constEnd() || k->size != f->size || k->mtime != f->mtime))
                    only.insert(f.key(), f.value());
            }
        } catch (const AppError &) {
            // Its list of files is gone as well: nothing of it can be read.
        }
        QString note = QStringLiteral("较早的备份 %1（%2）缺少数据，已删除").arg(b.left(8), times.value(b));
        if (!only.isEmpty()) {
            const QString staging = picRoot + QStringLiteral("/.salvage-") + b.left(8);
            QDir(staging).removeRecursively();
            Progress none;
            // One file at a time: restic gives up on a whole restore when a piece of data is
            // missing from the index, and each file that can be read is worth keeping.
            QStringList lost;
            for (auto f = only.cbegin(); f != only.cend(); ++f) {
                try {
                    lost += restoreInto(repo, b, staging, {QLatin1Char('/') + f.key()}, {{f.key(), f.value()}}, none,
                                        {});
                } catch (const AppError &) {
                    QFile::remove(staging + QLatin1Char('/') + f.key());
                    lost << f.key();
                }
            }
            const qint64 saved = only.size() - lost.size();
            if (saved > 0) {
                const Restic::Result r = repo.run({QStringLiteral("backup"), QStringLiteral("--json"),
                                                   QStringLiteral("--compression"), QStringLiteral("off"),
                                                   QStringLiteral("--host"), hostName(), QStringLiteral("--tag"),
                                                   QStringLiteral("belcara"), QStringLiteral("--tag"),
                                                   QStringLiteral("installation=") + installationId,
                                                   QStringLiteral("--tag"), QStringLiteral("salvaged=") + b.left(8),
                                                   QStringLiteral("--tag"), QStringLiteral("photos=%1").arg(saved),
                                                   QStringLiteral("pic")},
                                                  {}, keepGoing, staging);
                if (r.exitCode != 0 && r.exitCode != 3) {
                    QDir(staging).removeRecursively();
                    fail(r, QStringLiteral("无法另存较早备份中的图片"));
                }
                note += QStringLiteral("；只在它里面的 %1 张图片另存为一个备份").arg(saved);
            }
            if (!lost.isEmpty())
                note += QStringLiteral("；%1 张已无法读出：%2")
                            .arg(lost.size())
                            .arg(lost.mid(0, 10).join(QStringLiteral("、")));
            QDir(staging).removeRecursively();
        }
        const Restic::Result f = repo.run({QStringLiteral("forget"), b}, nullptr, keepGoing);
        if (f.exitCode != 0)
            fail(f, QStringLiteral("无法删除缺少数据的备份 %1").arg(b.left(8)));
        notes << note;
    }
    return notes;
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

// Damaged packs that verify found are noted beside the repository; the next backup salvages
// and sets them aside (verify itself only reads).
QString damageNote(const QString &root)
{
    return root + QStringLiteral("/damaged-packs.txt");
}

QSet<QString> notedDamage(const QString &root)
{
    QSet<QString> packs;
    QFile f(damageNote(root));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.trimmed().size() == 64)
                packs.insert(QString::fromLatin1(line.trimmed()));
    return packs;
}

QString hostName()
{
    const QString h = QSysInfo::machineHostName();
    return h.isEmpty() ? QStringLiteral("localhost") : h;
}

} // namespace

QString rootFolder(const QString &target)
{
    return withoutSlash(target) + QStringLiteral("/Belcara备份");
}

QString repositoryPath(const QString &target)
{
    return rootFolder(target) + QStringLiteral("/restic");
}

bool hasRepository(const QString &target)
{
    return QFileInfo(repositoryPath(target) + QStringLiteral("/config")).isFile();
}

QString installationId(const Source &source)
{
    if (!source.auditConnection.isEmpty())
        return readInstallationId(QSqlDatabase::database(source.auditConnection, false));
    OwnConnection c(source);
    return readInstallationId(c.db());
}

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

QVector<Snapshot> list(const QString &target, const QByteArray &password, const QString &installationId)
{
    QVector<Snapshot> out;
    if (hasRepository(target))
        out = snapshots(Restic::Repository(repositoryPath(target), password), installationId);
    QStringList legacy = Legacy::completeBackups(target);
    std::reverse(legacy.begin(), legacy.end());
    for (const QString &folder : legacy) {
        Snapshot s;
        s.legacy = true;
        s.id = folder;
        s.shortId = QFileInfo(folder).fileName();
        s.time = QDateTime::fromString(s.shortId.left(15), QStringLiteral("yyyyMMdd-HHmmss"));
        out << s;
    }
    return out;
}

Checked verify(const QString &target, const QByteArray &password, const QString &snapshot, const ProgressFn &progress)
{
    if (!hasRepository(target))
        throw AppError(QStringLiteral("%1 没有备份").arg(rootFolder(target)));
    const Restic::Repository repo(repositoryPath(target), password);
    Progress p;
    p.stage = QStringLiteral("正在读回全部备份数据");
    checkCancel(progress, p);
    const auto keepGoing = [&] { return !progress || progress(p); };
    Checked c;
    c.snapshot = snapshot;
    const CheckFindings f = runCheck(repo, {QStringLiteral("--read-data")}, keepGoing);
    c.problems = f.problems;
    if (f.failed)
        c.lostPhotos = photosInPacks(repo, f.damagedPacks + f.missingPacks, snapshot);
    if (!f.damagedPacks.isEmpty()) {
        QFile note(damageNote(rootFolder(target)));
        if (note.open(QIODevice::Append)) {
            for (const QString &pack : f.damagedPacks)
                note.write(pack.toLatin1() + '\n');
        }
    }
    if (!snapshot.isEmpty()) {
        const QHash<QString, LocalFile> files = snapshotFiles(repo, snapshot);
        c.files = files.size();
        for (const LocalFile &l : files)
            c.bytes += l.size;
    }
    return c;
}

// ---- restore ------------------------------------------------------------------------------

namespace {

// Refuses while another copy of the program uses the records (checked before anything is read).
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

// restic restore into staging; returns the photos it could not restore (damaged data) and those
// whose restored size is not the stored one.
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

// Where the data a restore replaces goes: a visible, dated folder of the installation; the
// pictures' part inside the picture store when that is a disk of its own (a rename cannot
// cross disks).
struct Aside {
    QString folder, pictures;
};

Aside asideFolders(const QString &programFolder, const QString &when)
{
    Aside a;
    a.folder = programFolder + AsidePrefix + when;
    const QString pic = programFolder + QStringLiteral("pic");
    a.pictures = sameDevice(programFolder, pic) ? a.folder + QStringLiteral("/pic")
                                                : pic + QLatin1Char('/') + AsidePrefix + when;
    return a;
}

void moveFileOrCopy(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return;
    QString why;
    if (!PictureStore::copyFileAtomically(from, to, &why))
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(to, why));
    QFile::remove(from);
}

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

void recordIn(const Source &source, const QString &dataDir, AuditLog::Action action, const QString &detail,
              const QString &customerNo = QString())
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
        runPgTool(QStringLiteral("pg_dump"),
                  {QStringLiteral("--format=custom"), QStringLiteral("--no-owner"), QStringLiteral("--no-privileges"),
                   QStringLiteral("--file=") + r.databaseAside},
                  source.conninfo);
        runPgTool(QStringLiteral("pg_restore"),
                  {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
                   QStringLiteral("--no-privileges"), QStringLiteral("--single-transaction"),
                   QStringLiteral("--exit-on-error"), staging + QLatin1Char('/') + snapRel},
                  source.conninfo);
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

// ---- in-use lock --------------------------------------------------------------------------

InUseLock::~InUseLock()
{
    release();
}

static int lockFile(const QString &databasePath, short type)
{
    const QByteArray name = QFile::encodeName(databasePath + QStringLiteral(".inuse"));
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -2; // no lock file can be had: a user who may only read, on an old installation
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool InUseLock::holdShared(const QString &databasePath)
{
    release();
    const int fd = lockFile(databasePath, F_RDLCK);
    if (fd == -1)
        return false;
    m_fd = fd;
    return true;
}

bool InUseLock::holdExclusive(const QString &databasePath)
{
    release();
    const int fd = lockFile(databasePath, F_WRLCK);
    if (fd < 0)
        return false;
    m_fd = fd;
    return true;
}

void InUseLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

InUseLock &programLock()
{
    static InUseLock lock;
    return lock;
}

LastBackup lastBackup(const QString &connectionName)
{
    LastBackup last;
    QSqlQuery q(QSqlDatabase::database(connectionName, false));
    q.prepare(QStringLiteral("SELECT At, Detail FROM AuditLog WHERE Action = ? ORDER BY At DESC, id DESC"));
    q.addBindValue(AuditLog::code(AuditLog::Action::BackupMade));
    if (q.exec() && q.next()) {
        last.at = QDateTime::fromString(q.value(0).toString(), Qt::ISODateWithMs);
        last.where = q.value(1).toString();
    }
    return last;
}

} // namespace Backup
