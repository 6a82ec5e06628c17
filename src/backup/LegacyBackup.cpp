#include "backup/Backup.h"
#include "backup/BackupDb.h"
#include "backup/BackupInternal.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/PictureStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>
#include <sqlite3.h>

#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Backups in the format of the releases before restic: "<target>/Belcara备份/<yyyyMMdd-HHmmss>/"
// with a MANIFEST (SHA-256, size, time and path of every file) and a COMPLETE mark, the contents
// under "objects/" named by their SHA-256. They are only read now: checked and restored.
namespace Backup::Legacy {

using namespace Backup::Db;
using namespace Backup::Internal;

namespace {

// SHA-256 through libcrypto, which uses the processor's hashing instructions where it has them:
// several times faster than a portable implementation, so hashing keeps pace with the disk.
class Sha256 {
public:
    Sha256() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(m_ctx); }
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void addData(QByteArrayView bytes) { EVP_DigestUpdate(m_ctx, bytes.data(), size_t(bytes.size())); }
    QByteArray result()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestFinal_ex(m_ctx, digest, &len);
        return QByteArray(reinterpret_cast<const char *>(digest), int(len));
    }

private:
    EVP_MD_CTX *m_ctx;
};

const char Manifest[] = "MANIFEST";
const char Complete[] = "COMPLETE";
const qint64 Chunk = 1 << 20;

struct Entry {
    QByteArray sha; // hex
    qint64 size = 0;
    qint64 mtime = 0; // nanoseconds since the epoch (pictures only; 0 for snapshots)
    QString path;     // "pic/A1/1.jpg"
};

QString objectPath(const QString &root, const QByteArray &sha)
{
    return root + QStringLiteral("/objects/") + QString::fromLatin1(sha.left(2)) + QLatin1Char('/')
           + QString::fromLatin1(sha);
}

// Paths in a manifest are percent-encoded, so any file name fits one line.
bool parseManifest(const QByteArray &text, QVector<Entry> *entries)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = line.split(' ');
        if (f.size() != 4 || f[0].size() != 64)
            return false;
        bool ok1 = false, ok2 = false;
        Entry e;
        e.sha = f[0];
        e.size = f[1].toLongLong(&ok1);
        e.mtime = f[2].toLongLong(&ok2);
        e.path = QString::fromUtf8(QByteArray::fromPercentEncoding(f[3]));
        if (!ok1 || !ok2 || e.path.isEmpty() || e.path.startsWith(QLatin1Char('/'))
            || e.path.contains(QLatin1String("..")))
            return false;
        entries->append(e);
    }
    return true;
}

// Writes a small file through a temporary name, flushed to the disk before the rename, and
// flushes the folder so the rename itself lasts.
QMap<QByteArray, QByteArray> readKeys(const QString &path, bool *ok)
{
    QMap<QByteArray, QByteArray> keys;
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    if (!*ok)
        return keys;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            keys.insert(line.left(eq), line.mid(eq + 1));
    }
    return keys;
}

QByteArray sha256Of(const QByteArray &bytes)
{
    Sha256 h;
    h.addData(bytes);
    return h.result().toHex();
}

// Hashes a file; false when it cannot be read.
bool hashFile(const QString &path, QByteArray *sha, qint64 *size, const std::function<void(qint64)> &read = {})
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    Sha256 h;
    qint64 total = 0;
    QByteArray buf(Chunk, Qt::Uninitialized);
    for (;;) {
        const qint64 n = f.read(buf.data(), Chunk);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        h.addData(QByteArrayView(buf.constData(), n));
        total += n;
        if (read)
            read(n);
    }
    *sha = h.result().toHex();
    *size = total;
    return true;
}

bool isComplete(const QString &folder, QVector<Entry> *entries = nullptr, QMap<QByteArray, QByteArray> *keys = nullptr)
{
    bool ok = false;
    const auto k = readKeys(folder + QLatin1Char('/') + QLatin1String(Complete), &ok);
    if (!ok)
        return false;
    QFile m(folder + QLatin1Char('/') + QLatin1String(Manifest));
    if (!m.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = m.readAll();
    if (sha256Of(text) != k.value("manifest"))
        return false;
    QVector<Entry> parsed;
    if (!parseManifest(text, &parsed))
        return false;
    if (entries)
        *entries = parsed;
    if (keys)
        *keys = k;
    return true;
}

bool looksLikeBackupName(const QString &name)
{
    return name.size() >= 15 && name.at(0).isDigit() && name.at(8) == QLatin1Char('-');
}

// Every backup folder under root, oldest first, complete or not.
QStringList backupFolders(const QString &root)
{
    QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QStringList out;
    for (const QString &n : names)
        if (looksLikeBackupName(n))
            out << root + QLatin1Char('/') + n;
    return out;
}

// Removes a backup: its completion mark first, so that a removal cut short leaves an incomplete
// folder (cleaned up later), never one that looks complete with files missing.
void copyOut(const QString &object, const QString &dest)
{
    QString why;
    QDir().mkpath(QFileInfo(dest).absolutePath());
    if (!PictureStore::copyFileAtomically(object, dest, &why))
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(dest, why));
}

} // namespace

QStringList completeBackups(const QString &target)
{
    QStringList out;
    for (const QString &f : backupFolders(rootFolder(target)))
        if (isComplete(f))
            out << f;
    return out;
}

Checked verify(const QString &backupFolder, const ProgressFn &progress)
{
    Checked c;
    QString folder = backupFolder;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QString root = QFileInfo(folder).absolutePath();
    QVector<Entry> entries;
    QMap<QByteArray, QByteArray> keys;
    if (!isComplete(folder, &entries, &keys)) {
        c.problems << QStringLiteral("%1 不是完整的备份（没有完成标记，或清单不符）").arg(folder);
        return c;
    }
    c.complete = true;
    c.made = QDateTime::fromString(QString::fromLatin1(keys.value("made")), Qt::ISODate);
    c.server = keys.value("engine") == "postgresql";
    for (auto k = keys.cbegin(); k != keys.cend(); ++k)
        if (k.key().startsWith("rows."))
            c.rows.insert(QString::fromUtf8(k.key().mid(5)), k.value().toLongLong());
    Progress p;
    p.stage = QStringLiteral("正在检查备份");
    p.filesTotal = entries.size();
    for (const Entry &e : entries)
        p.bytesTotal += e.size;
    for (const Entry &e : entries) {
        checkCancel(progress, p);
        const QString obj = objectPath(root, e.sha);
        QByteArray sha;
        qint64 size = 0;
        qint64 chunkBytes = 0;
        if (!QFileInfo(obj).isFile()) {
            c.problems << QStringLiteral("%1：缺少").arg(e.path);
        } else if (!hashFile(obj, &sha, &size, [&](qint64 n) {
                       p.bytesDone += n;
                       chunkBytes += n;
                       if (chunkBytes >= 16 * Chunk) {
                           chunkBytes = 0;
                           checkCancel(progress, p);
                       }
                   })) {
            c.problems << QStringLiteral("%1：无法读取").arg(e.path);
        } else if (size != e.size) {
            c.problems << QStringLiteral("%1：大小不符（应为 %2 字节，现为 %3 字节）").arg(e.path).arg(e.size).arg(size);
        } else if (sha != e.sha) {
            c.problems << QStringLiteral("%1：内容已改变").arg(e.path);
        }
        c.files++;
        c.bytes += e.size;
        p.filesDone++;
    }
    checkCancel(progress, p);
    return c;
}

// ---- restore ------------------------------------------------------------------------------

Restored restore(const Source &source, const QString &backupFolder, const ProgressFn &progress)
{
    const Checked c = verify(backupFolder, progress);
    if (!c.problems.isEmpty())
        throw AppError(
            QStringLiteral("备份未通过检查，不能恢复：\n%1").arg(c.problems.mid(0, 10).join(QLatin1Char('\n'))));
    if (c.server != source.server)
        throw AppError(c.server ? QStringLiteral("这是服务器数据库的备份，本机使用的是本地数据库")
                                : QStringLiteral("这是本地数据库的备份，本机使用的是服务器数据库"));
    QString folder = backupFolder;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QString root = QFileInfo(folder).absolutePath();
    QVector<Entry> entries;
    isComplete(folder, &entries);

    Restored r;
    const QString when = stamp();
    const QString dataDir = source.programFolder + QStringLiteral("Data");
    const QString picRoot = source.programFolder + QStringLiteral("pic");
    if (!QFileInfo(picRoot).isDir())
        throw AppError(QStringLiteral("图片文件夹 %1 不存在").arg(picRoot));

    InUseLock lock;
    std::unique_ptr<ServerConnection> server;
    holdRecordsAlone(source, lock, server);

    Progress p;
    p.stage = QStringLiteral("正在恢复图片");
    p.filesTotal = entries.size();
    for (const Entry &e : entries)
        p.bytesTotal += e.size;

    // The pictures are put together in a hidden folder inside the store (the same file system,
    // even where the store is a mounted share), checked, and only then swapped in.
    const QString staging = picRoot + QStringLiteral("/.restoring-") + when;
    r.picturesAside = picRoot + QStringLiteral("/.before-restore-") + when;
    QString restoredDb;
    try {
        for (const Entry &e : entries) {
            checkCancel(progress, p);
            const QString obj = objectPath(root, e.sha);
            if (e.path.startsWith(QLatin1String("pic/"))) {
                const QString dest = staging + e.path.mid(3);
                copyOut(obj, dest);
                QByteArray sha;
                qint64 size = 0;
                if (!hashFile(dest, &sha, &size) || sha != e.sha)
                    throw AppError(QStringLiteral("恢复的 %1 与备份不符").arg(e.path));
                if (e.mtime > 0) {
                    const struct timespec times[2] = {{0, UTIME_OMIT},
                                                      {time_t(e.mtime / 1000000000), long(e.mtime % 1000000000)}};
                    ::utimensat(AT_FDCWD, QFile::encodeName(dest).constData(), times, 0);
                }
                r.files++;
            } else if (e.path == QLatin1String("Data/Data.mdb")) {
                restoredDb = dataDir + QStringLiteral("/Data.mdb.restoring-") + when;
                copyOut(obj, restoredDb);
                checkRows(c.rows, checkSqliteFile(restoredDb));
            } else if (e.path == QLatin1String("database.pgdump")) {
                restoredDb = obj;
            }
            p.bytesDone += e.size;
            p.filesDone++;
        }
        checkCancel(progress, p);
    } catch (...) {
        // Nothing of the current data was touched yet; the half-made copies are set aside too.
        if (QFileInfo::exists(staging))
            ::rename(QFile::encodeName(staging).constData(),
                     QFile::encodeName(picRoot + QStringLiteral("/.unfinished-restore-") + when).constData());
        if (!source.server && !restoredDb.isEmpty())
            QFile::remove(restoredDb);
        throw;
    }
    QDir().mkpath(staging);

    // The swap: the current records and pictures move aside, the backup's take their place.
    p.stage = QStringLiteral("正在替换数据");
    if (progress)
        progress(p);
    if (source.server) {
        QDir().mkpath(dataDir);
        r.databaseAside = dataDir + QStringLiteral("/before-restore-") + when + QStringLiteral(".pgdump");
        replaceServerRecords(source.conninfo, r.databaseAside, restoredDb);
        r.rows = serverRowCounts(server->db());
    } else {
        const QString current = dataDir + QStringLiteral("/Data.mdb");
        r.databaseAside = dataDir + QStringLiteral("/Data-before-restore-") + when + QStringLiteral(".mdb");
        // The write-ahead log and its index go along, so the set-aside file keeps every last change.
        for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
            if (QFileInfo::exists(current + suffix))
                moveOrFail(current + suffix, r.databaseAside + suffix);
        if (QFileInfo::exists(current))
            moveOrFail(current, r.databaseAside);
        moveOrFail(restoredDb, current);
    }
    QDir().mkpath(r.picturesAside);
    const QStringList children = QDir(picRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                         | QDir::System);
    for (const QString &child : children)
        if (!child.startsWith(QLatin1Char('.')))
            moveOrFail(picRoot + QLatin1Char('/') + child, r.picturesAside + QLatin1Char('/') + child);
    for (const QString &child :
         QDir(staging).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        moveOrFail(staging + QLatin1Char('/') + child, picRoot + QLatin1Char('/') + child);
    QDir().rmdir(staging);

    // The result, read back: every table's rows and every picture's hash.
    if (!source.server) {
        sqlite3 *db = nullptr;
        QString integrity;
        sqlite3_open_v2(QFile::encodeName(dataDir + QStringLiteral("/Data.mdb")).constData(), &db, SQLITE_OPEN_READONLY,
                        nullptr);
        r.rows = sqliteRowCounts(db, &integrity);
        sqlite3_close(db);
        if (integrity != QLatin1String("ok"))
            throw AppError(QStringLiteral("恢复的数据库检查未通过：%1").arg(integrity));
    }
    checkRows(c.rows, r.rows);
    for (const Entry &e : entries) {
        if (!e.path.startsWith(QLatin1String("pic/")))
            continue;
        QByteArray sha;
        qint64 size = 0;
        if (!hashFile(source.programFolder + e.path, &sha, &size) || sha != e.sha)
            throw AppError(QStringLiteral("恢复后的 %1 与备份不符").arg(e.path));
    }

    // The event goes into the restored records, which are the ones that stay.
    recordIn(source, dataDir, AuditLog::Action::Restored, folder);
    return r;
}

} // namespace Backup::Legacy
