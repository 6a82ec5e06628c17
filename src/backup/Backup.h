#pragma once
// Backing up the records and the picture store together, checking backups, and restoring them.
//
// Backups are snapshots in a restic repository at "<target>/Belcara备份/restic/": encrypted
// with the password set when the first backup went there, every file's content stored once.
// One snapshot holds the database copy ("/Data/Data-backup.mdb", or a server's
// "/Data/database-backup.pgdump") and the picture store ("/pic/…"); it is tagged with
// "belcara", the installation's identity ("installation=<id>"), the database engine and the
// number of cases and photos, and records the computer's name as its host.
//
// The safety rules:
//   - a target that is not a disk or share of its own (the same file system as the installation
//     or its pictures, such as the empty mount point of a disk that is not plugged in) is refused,
//     and so is one where this installation backed up before and no repository is found now;
//   - free space is checked first against what is new since the last snapshot;
//   - after every run the repository is checked, a tenth of its data read back in turn (every
//     stored pack is read within ten runs); a failed check fails the run, and damaged or
//     missing data is taken out of the index so that the next run stores it again;
//   - rotation forgets only this installation's snapshots beyond the number to keep;
//   - a restore checks the in-use lock first, then the room it needs, restores what is intact,
//     names every photo it could not restore, and moves the data it replaces into a visible,
//     dated folder of the installation ("恢复前的数据-<yyyyMMdd-HHmmss>/").
//
// Backups in the older format ("<target>/Belcara备份/<yyyyMMdd-HHmmss>/" with MANIFEST and
// COMPLETE) are still listed, checked and restored by the Legacy functions.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

namespace Backup {

// The folder under the chosen target that holds the backups, and the repository inside it.
QString rootFolder(const QString &target);
QString repositoryPath(const QString &target);
bool hasRepository(const QString &target);

// Where the records are: the installation's Data/Data.mdb, or a server.
struct Source {
    QString programFolder; // ends in "/"; holds Data/ and pic/
    bool server = false;
    QString conninfo; // libpq keywords (server only); a password= in it goes through the environment
    // The program's connection: the installation's identity is read from it and events are
    // recorded in it (empty: a connection of the backup's own is opened to read the identity).
    QString auditConnection;
};

struct Progress {
    QString stage; // what is being done, for the user
    qint64 filesDone = 0;
    qint64 filesTotal = 0;
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
};
// Called often; returning false cancels the work.
using ProgressFn = std::function<bool(const Progress &)>;

// Raised when the progress callback asked to stop.
class Cancelled {};

// Raised when the password opens no key of the repository.
class WrongPassword {};

struct Made {
    QString repository;
    QString snapshot;                    // restic's short id
    qint64 files = 0, bytes = 0;         // in the snapshot
    qint64 newFiles = 0, addedBytes = 0; // read because new or changed; stored after deduplication
    QStringList leftOut;                 // photos that disappeared or could not be read (warnings)
    int removed = 0;                     // older snapshots of this installation forgotten
    QString rotationNote;                // why rotation did not run, when it did not
    bool created = false;                // the repository was made by this run
    QString checked;                     // what part of the data the check after the run read ("1/10")
    QStringList warnings;                // older snapshots found lacking data, and what became of them
};

// Makes a backup of source into the repository at target, creating it with the password when
// create is set and there is none yet (when there is none and create is not set: AppError).
// Keeps the newest `keep` snapshots of this installation (0 keeps all). Raises AppError with
// the reason, WrongPassword or Cancelled.
Made make(const Source &source, const QString &target, const QByteArray &password, int keep, bool create,
          const ProgressFn &progress = {});

struct Snapshot {
    QString id, shortId;
    QDateTime time;
    QString host;
    QString installation;
    bool ours = false;
    bool server = false;
    qint64 cases = -1, photos = -1; // -1: not recorded
    bool legacy = false;            // a folder in the older format (id is its path)
    QString salvagedFrom;           // photos saved from a snapshot that lacked data (no records)
};

// The snapshots at target: this installation's first, each part newest first; then the
// backups in the older format. installationId: the identity to call ours.
QVector<Snapshot> list(const QString &target, const QByteArray &password, const QString &installationId);

// The identity of the installation whose records source names (made when missing).
QString installationId(const Source &source);

struct Checked {
    QStringList problems;   // what restic found, in its words
    QStringList lostPhotos; // photos of the snapshot whose data is damaged or missing
    QString snapshot;
    qint64 files = 0, bytes = 0;
    bool ok() const { return problems.isEmpty() && lostPhotos.isEmpty(); }
};

// Reads all the repository's data back (or, for snapshot, names what of it is damaged).
// Never raises for a damaged repository: what is wrong is in the result. Raises AppError,
// WrongPassword or Cancelled.
Checked verify(const QString &target, const QByteArray &password, const QString &snapshot = QString(),
               const ProgressFn &progress = {});

struct Restored {
    QString asideFolder;   // where the replaced data now is
    QString databaseAside; // the replaced database (file or dump)
    QString picturesAside; // the replaced pictures
    qint64 files = 0;
    QStringList lost; // photos that could not be restored
    QMap<QString, qint64> rows;
};

// Restores a snapshot (empty: this installation's newest). Refuses while another copy of the
// program uses the database and when there is not room enough; restores every intact photo and
// names the others in `lost`; an unreadable database refuses the whole restore. Raises
// AppError, WrongPassword or Cancelled; nothing of the current data is deleted.
Restored restore(const Source &source, const QString &target, const QByteArray &password,
                 const QString &snapshot = QString(), const ProgressFn &progress = {});

// Restores one customer's rows (the customer, the cases and what belongs to them) and photos
// from a snapshot, leaving every other row and photo as it is; what it replaces is moved aside.
// source.auditConnection is the program's connection to write through. SQLite only.
Restored restoreCustomer(const Source &source, const QString &target, const QByteArray &password,
                         const QString &snapshot, const QString &customerNo, const ProgressFn &progress = {});

// Removes what an interrupted restore left in the installation (run at start).
void removeLeftovers(const QString &programFolder);

namespace Legacy {
// The complete backups in the older format under rootFolder(target), oldest first.
QStringList completeBackups(const QString &target);

struct Checked {
    bool complete = false;
    QDateTime made;
    qint64 files = 0, bytes = 0;
    QStringList problems;
    QMap<QString, qint64> rows;
    bool server = false;
};
// Reads every file of such a backup back and compares sizes and SHA-256 with its manifest.
Checked verify(const QString &backupFolder, const ProgressFn &progress = {});
// Restores such a backup whole (any problem refuses it).
Restored restore(const Source &source, const QString &backupFolder, const ProgressFn &progress = {});
} // namespace Legacy

// ---- in-use lock --------------------------------------------------------------------------
// A copy of the program working on an SQLite database holds a shared lock on "Data/Data.mdb.inuse"
// beside it for as long as it runs; restore takes the lock exclusively and so sees every other
// copy, on this computer or another one sharing the folder (POSIX record locks, as SQLite's own).
class InUseLock {
public:
    InUseLock() = default;
    ~InUseLock();
    InUseLock(const InUseLock &) = delete;
    InUseLock &operator=(const InUseLock &) = delete;
    // Takes the shared lock for the database file; false when a restore holds it exclusively.
    bool holdShared(const QString &databasePath);
    // Takes it exclusively; false when any other process holds it.
    bool holdExclusive(const QString &databasePath);
    void release();

private:
    int m_fd = -1;
};

// The one lock the running program holds (the restore window releases it while it works).
InUseLock &programLock();

// The newest BackupMade event of the audit log: when and where. Invalid time when none.
struct LastBackup {
    QDateTime at;
    QString where;
};
LastBackup lastBackup(const QString &connectionName);

} // namespace Backup
