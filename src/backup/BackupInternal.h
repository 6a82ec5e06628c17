#pragma once
// What the parts of the backup (making one, checking and salvaging, restoring whole or one
// customer) share: names inside a snapshot, restic's failures, the installation's records, the
// files of a snapshot and restoring them. Only the backup's own sources include it.

#include "backup/Backup.h"
#include "backup/BackupDb.h"
#include "backup/Restic.h"
#include "data/AppError.h"
#include "data/DbEngine.h"

#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QUuid>

class QJsonObject;

#include <functional>
#include <memory>

namespace Backup::Internal {

inline const QString DbInSnapshot = QStringLiteral("Data/Data-backup.mdb");
inline const QString DumpInSnapshot = QStringLiteral("Data/database-backup.pgdump");
inline const QString AsidePrefix = QStringLiteral("恢复前的数据-");
inline const QString StagingPrefix = QStringLiteral(".restoring-");
// Room kept free on a disk beyond what a run needs: restic's index and the file system's own.
inline const qint64 Headroom = 64LL << 20;

void checkCancel(const ProgressFn &progress, const Progress &p);
QString withoutSlash(QString path);
QString megabytes(qint64 bytes);
// The last lines restic wrote, for a message.
QString tail(const QString &errors, int lines = 6);
// Raises what a failed restic command means.
[[noreturn]] void fail(const Restic::Result &r, const QString &what);
bool sameDevice(const QString &a, const QString &b);

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

QString readInstallationId(const QSqlDatabase &db);

// Each this installation's photo: path in the store ("pic/A1/1.jpg"), size and time.
struct LocalFile {
    qint64 size = 0;
    qint64 mtime = 0; // seconds
};

QJsonObject jsonLine(const QByteArray &line);
QVector<Snapshot> snapshots(const Restic::Repository &repo, const QString &installationId,
                            const QStringList &filter = {});
QStringList installationFilter(const QString &id);
// The files of a snapshot with their sizes and times ("pic/A1/1.jpg").
QHash<QString, LocalFile> snapshotFiles(const Restic::Repository &repo, const QString &snapshot);
// restic restore into staging; returns the photos it could not restore (damaged data) and those
// whose restored size is not the stored one.
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

CheckFindings runCheck(const Restic::Repository &repo, const QStringList &extra,
                       const std::function<bool()> &keepGoing);
// The photos (of one snapshot, or of any) whose data lies in the given packs.
QStringList photosInPacks(const Restic::Repository &repo, const QSet<QString> &packs, const QString &snapshot);
// Takes damaged packs out of the repository (into "损坏的数据/" beside it, so nothing is
// deleted) and rebuilds the index without them and without missing ones, so that the next
// backup stores their data again. What can still be read of a damaged pack (each file's data is
// checked on its own) is first restored to a hidden folder of the picture store and stored again
// as a snapshot of its own ("salvaged"): the older snapshots that use it stay whole. Returns the
// files whose data could not be read.
QStringList setAsideDamaged(const Restic::Repository &repo, const QString &root, const QSet<QString> &damaged,
                            const QString &installationId, const QString &picRoot,
                            const std::function<bool()> &keepGoing);
// Snapshots that still name data the repository lost (a pack deleted or damaged before the
// last run) make every later check fail and keep rotation from pruning. Each one is forgotten;
// the photos only it held, and that can still be read, are first stored again as a snapshot of
// their own ("salvaged"), so that nothing readable is lost. Returns what was done, for the user.
QStringList settleBrokenSnapshots(const Restic::Repository &repo, const QSet<QString> &trees, const QString &newest,
                                  const QString &installationId, const QString &picRoot,
                                  const std::function<bool()> &keepGoing);
// Damaged packs that verify found are noted beside the repository; the next backup salvages
// and sets them aside (verify itself only reads).
QString damageNote(const QString &root);
QSet<QString> notedDamage(const QString &root);

// Refuses while another copy of the program uses the records (checked before anything is read).
void holdRecordsAlone(const Source &source, InUseLock &lock, std::unique_ptr<Db::ServerConnection> &server);
QString chooseSnapshot(const Restic::Repository &repo, const Source &source, const QString &snapshot);

// Where the data a restore replaces goes: a visible, dated folder of the installation; the
// pictures' part inside the picture store when that is a disk of its own (a rename cannot
// cross disks).
struct Aside {
    QString folder, pictures;
};
Aside asideFolders(const QString &programFolder, const QString &when);

QMap<QString, qint64> checkSqliteFile(const QString &file);
// The server's records are dumped to aside, then replaced by those of dump in one transaction
// (a failure leaves them as they were).
void replaceServerRecords(const QString &conninfo, const QString &aside, const QString &dump);
QString lostText(const QStringList &lost);
void recordIn(const Source &source, const QString &dataDir, AuditLog::Action action, const QString &detail,
              const QString &customerNo = QString());

} // namespace Backup::Internal
