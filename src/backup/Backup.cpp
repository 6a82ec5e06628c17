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

namespace Internal {

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

QString tail(const QString &errors, int lines)
{
    QStringList l = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (l.size() > lines)
        l = l.mid(l.size() - lines);
    return l.join(QLatin1Char('\n'));
}

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

QJsonObject jsonLine(const QByteArray &line)
{
    return QJsonDocument::fromJson(line).object();
}

} // namespace Internal

namespace {

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

} // namespace

namespace Internal {

QVector<Snapshot> snapshots(const Restic::Repository &repo, const QString &installationId, const QStringList &filter)
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

QString hostName()
{
    const QString h = QSysInfo::machineHostName();
    return h.isEmpty() ? QStringLiteral("localhost") : h;
}

} // namespace Internal

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
