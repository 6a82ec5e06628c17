#pragma once
// Backing up the records and the picture store together, checking a backup, and restoring one.
//
// Everything goes under "<target>/Belcara备份/":
//
//   objects/ab/ab12…ef          every file's content once, named by its SHA-256; written to a
//                               temporary name, flushed and renamed, and never rewritten
//   20261208-213000/MANIFEST    one line per file of that backup: SHA-256, size, modification
//                               time and the file's path ("Data/Data.mdb", "database.pgdump",
//                               "pic/A1200612070001/1.jpg")
//   20261208-213000/COMPLETE    written last; names the manifest's SHA-256, the file and byte
//                               counts and the row count of every table of the snapshot
//
// A backup folder without a COMPLETE whose manifest hash agrees is not a backup: the next run
// removes it. Content is stored once whatever the file system (a FAT or exFAT USB disk has no
// hard links): a picture unchanged since the last complete backup (same path, size and time) is
// not read again, and an earlier backup's files are never written to. Rotation removes the oldest
// complete backups beyond the number to keep, then every object no remaining backup names.
//
// The database snapshot is taken first and the pictures copied after it: the store only ever
// gains files, so each picture the snapshot names is in the copy even while other copies of the
// program keep saving cases.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

namespace Backup {

// The folder under the chosen target that holds the backups.
QString rootFolder(const QString &target);

// Where the records are: the installation's Data/Data.mdb, or a server.
struct Source {
    QString programFolder; // ends in "/"; holds Data/ and pic/
    bool server = false;
    QString conninfo; // libpq keywords (server only); a password= in it goes through the environment
    // The program's connection in which events are recorded (empty: none is recorded).
    QString auditConnection;
};

struct Progress {
    QString stage; // what is being done, for the user
    qint64 filesDone = 0;
    qint64 filesTotal = 0;
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
};
// Called often; returning false cancels the work (the backup is then left incomplete and removed).
using ProgressFn = std::function<bool(const Progress &)>;

// Raised when the progress callback asked to stop.
class Cancelled {};

struct Made {
    QString folder; // the new backup's folder
    qint64 files = 0, bytes = 0;
    qint64 copiedFiles = 0, copiedBytes = 0; // what had to be read and written this time
    QStringList removed;                     // backups removed by rotation
};

// Makes a backup of source under rootFolder(target), keeping the newest `keep` complete backups
// (0 keeps all). Raises AppError with the reason, or Cancelled.
Made make(const Source &source, const QString &target, int keep, const ProgressFn &progress = {});

struct Checked {
    bool complete = false;
    QDateTime made;
    qint64 files = 0, bytes = 0;
    QStringList problems;       // "pic/A1/1.jpg: 内容已改变" and the like; empty when all is well
    QMap<QString, qint64> rows; // row counts of the snapshot's tables
    bool server = false;        // the snapshot is a server dump
};

// Reads every file of a backup folder back and compares sizes and SHA-256 with its manifest.
// Never raises for a damaged backup: what is wrong is in `problems`. Raises Cancelled.
Checked verify(const QString &backupFolder, const ProgressFn &progress = {});

// The complete backups under rootFolder(target), oldest first (folder paths); no hash check.
QStringList completeBackups(const QString &target);

struct Restored {
    QString databaseAside; // where the database that was replaced now is (file or dump)
    QString picturesAside; // where the picture store that was replaced now is
    qint64 files = 0;
    QMap<QString, qint64> rows;
};

// Restores a backup: verifies it first (any problem refuses it), refuses while another copy of
// the program uses the database, moves the current database and picture store aside, puts the
// backup's in their place, and checks the result by the row counts of every table and the hash of
// every picture. Raises AppError with the reason; nothing is deleted on the way.
Restored restore(const Source &source, const QString &backupFolder, const ProgressFn &progress = {});

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
