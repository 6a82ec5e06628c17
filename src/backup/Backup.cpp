#include "backup/Backup.h"

#include "audit/AuditLog.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/PictureStore.h"

#include <QCoreApplication>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QUuid>

#include <openssl/evp.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Backup {

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

QString systemError(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

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

// Paths are written with "%", line breaks and carriage returns escaped, so any file name fits one line.
QByteArray encodePath(const QString &path)
{
    return path.toUtf8().toPercentEncoding("/()[]{}!$&'+,;=@~#^`", "% ");
}

QByteArray manifestText(const QVector<Entry> &entries)
{
    QByteArray text;
    for (const Entry &e : entries)
        text += e.sha + ' ' + QByteArray::number(e.size) + ' ' + QByteArray::number(e.mtime) + ' ' + encodePath(e.path)
                + '\n';
    return text;
}

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
void writeDurably(const QString &path, const QByteArray &bytes)
{
    const QString tmp = path + QStringLiteral(".tmp");
    const QByteArray name = QFile::encodeName(tmp);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, systemError(errno)));
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(name.constData());
            throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, systemError(err)));
        }
        done += n;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int err = errno;
        ::unlink(name.constData());
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, systemError(err)));
    }
    if (::rename(name.constData(), QFile::encodeName(path).constData()) != 0)
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(path, systemError(errno)));
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

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

void checkCancel(const ProgressFn &progress, const Progress &p)
{
    if (progress && !progress(p))
        throw Cancelled();
}

// The backups folder locked for one run: two backups into the same folder would remove each
// other's objects.
class TargetLock {
public:
    explicit TargetLock(const QString &root)
    {
        const QString path = root + QStringLiteral("/.lock");
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            throw AppError(QStringLiteral("无法在 %1 中写入：%2").arg(root, systemError(errno)));
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(m_fd, F_SETLK, &fl) != 0) {
            ::close(m_fd);
            throw AppError(QStringLiteral("另一个备份正在写入 %1，请等它结束后再试").arg(root));
        }
    }
    ~TargetLock() { ::close(m_fd); }

private:
    int m_fd = -1;
};

// Copies a file into the object store, hashing it on the way; returns its entry (path and mtime
// filled by the caller). known: objects that complete backups name, which are never rewritten.
Entry storeObject(const QString &root, const QString &source, const QSet<QByteArray> &known,
                  const std::function<void(qint64)> &copied)
{
    const QByteArray srcName = QFile::encodeName(source);
    const int in = ::open(srcName.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw AppError(QStringLiteral("无法读取 %1：%2").arg(source, systemError(errno)));
    const QString tmp = root
                        + QStringLiteral("/objects/.tmp-%1-%2")
                              .arg(QCoreApplication::applicationPid())
                              .arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
    const QByteArray tmpName = QFile::encodeName(tmp);
    const int out = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, systemError(err)));
    }
    auto fail = [&](const QString &what, int err) {
        ::close(in);
        ::close(out);
        ::unlink(tmpName.constData());
        throw AppError(QStringLiteral("%1：%2").arg(what, systemError(err)));
    };
    Entry e;
    // The kernel copies the bytes (without passing them through this process) where it can;
    // otherwise they are read and written here.
    bool kernelCopy = true;
    for (;;) {
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, size_t(16 * Chunk), 0);
            if (n < 0 && e.size == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            static thread_local QByteArray buf(Chunk, Qt::Uninitialized);
            n = ::read(in, buf.data(), size_t(Chunk));
            ssize_t done = 0;
            while (n > 0 && done < n) {
                const ssize_t w = ::write(out, buf.constData() + done, size_t(n - done));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w <= 0)
                    fail(QStringLiteral("无法写入 %1").arg(tmp), w < 0 ? errno : ENOSPC);
                done += w;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(QStringLiteral("无法复制 %1").arg(source), errno);
        if (n == 0)
            break;
        e.size += n;
        if (copied)
            copied(n);
    }
    ::close(in);
    if (::close(out) != 0) {
        const int err = errno;
        ::unlink(tmpName.constData());
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, systemError(err)));
    }
    // The name is the hash of what was written, read back (from memory, just written): an object
    // always holds exactly the content its name says, even if the source changed meanwhile.
    qint64 hashed = 0;
    QByteArray sha;
    if (!hashFile(tmp, &sha, &hashed)) {
        ::unlink(tmpName.constData());
        throw AppError(QStringLiteral("无法读取 %1").arg(tmp));
    }
    e.size = hashed;
    e.sha = sha;
    if (known.contains(e.sha)) {
        ::unlink(tmpName.constData());
        return e;
    }
    const QString dest = objectPath(root, e.sha);
    QDir().mkpath(QFileInfo(dest).absolutePath());
    // An object no complete backup names may be the unfinished work of an interrupted run:
    // the fresh copy replaces it.
    if (::rename(tmpName.constData(), QFile::encodeName(dest).constData()) != 0) {
        const int err = errno;
        ::unlink(tmpName.constData());
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(dest, systemError(err)));
    }
    return e;
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
void removeBackup(const QString &folder)
{
    QFile::remove(folder + QLatin1Char('/') + QLatin1String(Complete));
    QDir(folder).removeRecursively();
}

// Removes every object (and temporary copy) no complete backup names.
void collectGarbage(const QString &root, const QSet<QByteArray> &named)
{
    QDirIterator it(root + QStringLiteral("/objects"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!named.contains(it.fileName().toLatin1()))
            QFile::remove(path);
    }
}

struct SqlSnapshot {
    QMap<QString, qint64> rows;
};

QMap<QString, qint64> sqliteRowCounts(sqlite3 *db, QString *integrity)
{
    QMap<QString, qint64> rows;
    sqlite3_stmt *st = nullptr;
    QStringList tables;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'", -1,
                           &st, nullptr)
        == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW)
            tables << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    for (const QString &t : tables) {
        const QByteArray sql = "SELECT count(*) FROM \"" + t.toUtf8().replace('"', "\"\"") + '"';
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            rows.insert(t, sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
    }
    if (integrity) {
        integrity->clear();
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW)
                *integrity += QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        } else {
            *integrity = QString::fromUtf8(sqlite3_errmsg(db));
        }
        sqlite3_finalize(st);
    }
    return rows;
}

// The online backup of a database file into a new file; returns the snapshot's row counts.
QMap<QString, qint64> snapshotSqlite(const QString &from, const QString &to)
{
    if (!QFileInfo(from).isFile())
        throw AppError(QStringLiteral("找不到数据库文件 %1").arg(from));
    sqlite3 *src = nullptr, *dst = nullptr;
    auto closeBoth = [&] {
        sqlite3_close(src);
        sqlite3_close(dst);
    };
    if (sqlite3_open_v2(QFile::encodeName(from).constData(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_open_v2(QFile::encodeName(to).constData(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
               != SQLITE_OK) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(src ? src : dst));
        closeBoth();
        throw AppError(QStringLiteral("无法打开数据库 %1：%2").arg(from, text));
    }
    sqlite3_busy_timeout(src, 10000);
    sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main");
    int rc = b ? SQLITE_OK : sqlite3_errcode(dst);
    if (b) {
        // One step copies every page inside a single read transaction: a consistent picture of
        // the database however much other programs write meanwhile (they wait at most for the copy).
        do {
            rc = sqlite3_backup_step(b, -1);
            if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
                sqlite3_sleep(100);
        } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
        sqlite3_backup_finish(b);
    }
    if (rc != SQLITE_DONE) {
        const QString text = QString::fromUtf8(sqlite3_errmsg(dst));
        closeBoth();
        throw AppError(QStringLiteral("无法复制数据库 %1：%2").arg(from, text));
    }
    // The copy is a plain database file, not one waiting for a write-ahead log.
    sqlite3_exec(dst, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    QString integrity;
    const auto rows = sqliteRowCounts(dst, &integrity);
    closeBoth();
    if (integrity != QLatin1String("ok"))
        throw AppError(QStringLiteral("数据库 %1 的检查未通过：%2").arg(from, integrity));
    return rows;
}

// libpq keywords without a password, which goes to the child through its environment instead.
QString withoutPassword(const QString &conninfo, QString *password)
{
    static const QRegularExpression re(QStringLiteral("(^|\\s)password\\s*=\\s*('([^'\\\\]|\\\\.)*'|\\S+)"));
    QString rest = conninfo;
    const QRegularExpressionMatch m = re.match(conninfo);
    if (m.hasMatch()) {
        QString v = m.captured(2);
        if (v.startsWith(QLatin1Char('\''))) {
            v = v.mid(1, v.size() - 2);
            v.replace(QLatin1String("\\'"), QLatin1String("'")).replace(QLatin1String("\\\\"), QLatin1String("\\"));
        }
        *password = v;
        rest.remove(m.capturedStart(0), m.capturedLength(0));
    }
    return rest.trimmed();
}

// Runs pg_dump or pg_restore with the connection's parameters; raises AppError with its text.
void runPgTool(const QString &program, QStringList args, const QString &conninfo)
{
    QString password;
    const QString keys = withoutPassword(conninfo, &password);
    args << QStringLiteral("--dbname=") + keys;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!password.isEmpty())
        env.insert(QStringLiteral("PGPASSWORD"), password);
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    if (!p.waitForStarted(-1))
        throw AppError(QStringLiteral("无法运行 %1（请安装 postgresql-client）").arg(program));
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw AppError(
            QStringLiteral("%1 失败：%2").arg(program, QString::fromLocal8Bit(p.readAllStandardError()).trimmed()));
}

QStringList serverTables(const QSqlDatabase &db)
{
    QSqlQuery q(db);
    QStringList tables;
    if (!q.exec(QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                               "AND table_type = 'BASE TABLE' ORDER BY table_name")))
        throw AppError(q.lastError().text());
    while (q.next())
        tables << q.value(0).toString();
    return tables;
}

QMap<QString, qint64> serverRowCounts(const QSqlDatabase &db)
{
    QMap<QString, qint64> rows;
    for (const QString &t : serverTables(db)) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT count(*) FROM \"%1\"")
                        .arg(QString(t).replace(QLatin1Char('"'), QLatin1String("\"\""))))
            || !q.next())
            throw AppError(q.lastError().text());
        rows.insert(t, q.value(0).toLongLong());
    }
    return rows;
}

// A connection of its own to the server, closed when it goes.
class ServerConnection {
public:
    explicit ServerConnection(const QString &conninfo)
        : m_name(QStringLiteral("backup-") + QUuid::createUuid().toString(QUuid::Id128))
    {
        DbEngine::openServer(m_name, conninfo);
    }
    ~ServerConnection()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

// pg_dump of the server in custom format, with the row counts of the same snapshot.
QMap<QString, qint64> snapshotServer(const QString &conninfo, const QString &to)
{
    ServerConnection c(conninfo);
    QSqlDatabase db = c.db();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY"))
        || !q.exec(QStringLiteral("SELECT pg_export_snapshot()")) || !q.next())
        throw AppError(q.lastError().text());
    const QString snapshot = q.value(0).toString();
    const auto rows = serverRowCounts(db);
    runPgTool(QStringLiteral("pg_dump"),
              {QStringLiteral("--format=custom"), QStringLiteral("--no-owner"), QStringLiteral("--no-privileges"),
               QStringLiteral("--snapshot=") + snapshot, QStringLiteral("--file=") + to},
              conninfo);
    q.exec(QStringLiteral("COMMIT"));
    return rows;
}

void recordEvent(const QString &connection, AuditLog::Action action, const QString &detail)
{
    if (connection.isEmpty())
        return;
    AuditLog::Event e;
    e.action = action;
    e.detail = detail;
    AuditLog::recordWith(QSqlDatabase::database(connection, false), e, [] {});
}

QString stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

} // namespace

QString rootFolder(const QString &target)
{
    QString t = target;
    while (t.size() > 1 && t.endsWith(QLatin1Char('/')))
        t.chop(1);
    return t + QStringLiteral("/Belcara备份");
}

QStringList completeBackups(const QString &target)
{
    QStringList out;
    for (const QString &f : backupFolders(rootFolder(target)))
        if (isComplete(f))
            out << f;
    return out;
}

Made make(const Source &source, const QString &target, int keep, const ProgressFn &progress)
{
    if (!QFileInfo(target).isDir())
        throw AppError(QStringLiteral("备份位置 %1 不存在或不是文件夹").arg(target));
    const QString root = rootFolder(target);
    if (!QDir().mkpath(root + QStringLiteral("/objects")))
        throw AppError(QStringLiteral("无法在 %1 中建立文件夹").arg(target));
    TargetLock lock(root);

    // What earlier runs left: incomplete folders go; the complete ones give the pictures already stored.
    QSet<QByteArray> known;
    QHash<QString, Entry> previous;
    for (const QString &f : backupFolders(root)) {
        QVector<Entry> entries;
        if (!isComplete(f, &entries)) {
            removeBackup(f);
            continue;
        }
        previous.clear();
        for (const Entry &e : entries) {
            known.insert(e.sha);
            previous.insert(e.path, e);
        }
    }

    Made made;
    QString name = stamp();
    for (int n = 2; QFileInfo::exists(root + QLatin1Char('/') + name); ++n)
        name = stamp() + QStringLiteral("-%1").arg(n);
    made.folder = root + QLatin1Char('/') + name;
    if (!QDir().mkpath(made.folder))
        throw AppError(QStringLiteral("无法建立文件夹 %1").arg(made.folder));

    Progress p;
    try {
        // The pictures to copy, counted first for the progress bar.
        const QString picRoot = source.programFolder + QStringLiteral("pic");
        struct Pic {
            QString rel;
            QString path;
            qint64 size;
            qint64 mtime;
        };
        QVector<Pic> pics;
        p.stage = QStringLiteral("正在清点图片");
        checkCancel(progress, p);
        const auto listPictures = [&] {
            pics.clear();
            p.bytesTotal = 0;
            QDirIterator it(picRoot, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                const QString rel = path.mid(picRoot.size() + 1);
                // Hidden folders (what a restore set aside) and unfinished imports are not pictures.
                if (rel.startsWith(QLatin1Char('.')) || rel.contains(QLatin1String("/.")))
                    continue;
                const QFileInfo fi = it.fileInfo();
                if (!fi.isFile() || PictureStore::isTemporaryName(fi.fileName()))
                    continue;
                struct stat st {};
                if (::stat(QFile::encodeName(path).constData(), &st) != 0)
                    continue;
                pics.append({QStringLiteral("pic/") + rel, path, qint64(st.st_size),
                             qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
                p.bytesTotal += st.st_size;
            }
            p.filesTotal = pics.size() + 1;
        };
        listPictures();
        // A store that is missing or empty where the last backup had pictures is a share that is
        // not mounted, not a clinic without photos: such a backup would, once rotated, leave no
        // backup with the photos.
        if (!QFileInfo(picRoot).isDir())
            throw AppError(QStringLiteral("找不到图片文件夹 %1（共享文件夹没有连接？）：没有备份，以前的备份没有改动")
                               .arg(picRoot));
        if (pics.isEmpty()) {
            qint64 before = 0;
            for (const Entry &e : std::as_const(previous))
                before += e.path.startsWith(QLatin1String("pic/")) ? 1 : 0;
            if (before > 0)
                throw AppError(QStringLiteral("图片文件夹 %1 是空的，而上一次备份有 %2 张图片（共享文件夹没有连接？）："
                                              "没有备份，以前的备份没有改动")
                                   .arg(picRoot)
                                   .arg(before));
        }

        // The records first: every picture they name is in the store already.
        QVector<Entry> entries;
        QMap<QString, qint64> rows;
        {
            p.stage = QStringLiteral("正在复制数据库");
            checkCancel(progress, p);
            QTemporaryDir tmp;
            if (!tmp.isValid())
                throw AppError(QStringLiteral("无法建立临时文件夹"));
            const QString snap = tmp.filePath(QStringLiteral("snapshot"));
            rows = source.server ? snapshotServer(source.conninfo, snap)
                                 : snapshotSqlite(source.programFolder + QStringLiteral("Data/Data.mdb"), snap);
            Entry e = storeObject(root, snap, known, {});
            e.path = source.server ? QStringLiteral("database.pgdump") : QStringLiteral("Data/Data.mdb");
            entries.append(e);
            made.copiedFiles++;
            made.copiedBytes += e.size;
            // The pictures are listed again now: one saved between the first listing and the
            // snapshot is named by the snapshot and must be in the backup with it.
            listPictures();
            p.filesDone = 1;
            p.bytesTotal += e.size;
            p.bytesDone += e.size;
        }

        p.stage = QStringLiteral("正在复制图片");
        for (const Pic &pic : pics) {
            checkCancel(progress, p);
            const auto prev = previous.constFind(pic.rel);
            Entry e;
            if (prev != previous.constEnd() && prev->size == pic.size && prev->mtime == pic.mtime
                && QFileInfo::exists(objectPath(root, prev->sha))) {
                e = *prev;
                p.bytesDone += pic.size;
            } else {
                qint64 chunkBytes = 0;
                e = storeObject(root, pic.path, known, [&](qint64 n) {
                    p.bytesDone += n;
                    chunkBytes += n;
                    if (chunkBytes >= 16 * Chunk) {
                        chunkBytes = 0;
                        checkCancel(progress, p);
                    }
                });
                e.path = pic.rel;
                e.mtime = pic.mtime;
                known.insert(e.sha);
                made.copiedFiles++;
                made.copiedBytes += e.size;
            }
            entries.append(e);
            p.filesDone++;
        }

        // Everything written reaches the disk before the manifest and the mark say so.
        p.stage = QStringLiteral("正在写入磁盘");
        checkCancel(progress, p);
        const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || ::syncfs(fd) != 0) {
            const int err = errno;
            if (fd >= 0)
                ::close(fd);
            throw AppError(QStringLiteral("无法写入 %1：%2").arg(root, systemError(err)));
        }
        ::close(fd);
        const QByteArray manifest = manifestText(entries);
        writeDurably(made.folder + QLatin1Char('/') + QLatin1String(Manifest), manifest);
        for (const Entry &e : entries) {
            made.files++;
            made.bytes += e.size;
        }
        QByteArray mark = "manifest=" + sha256Of(manifest) + '\n';
        mark += "made=" + QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1() + '\n';
        mark += "engine=" + QByteArray(source.server ? "postgresql" : "sqlite") + '\n';
        mark += "files=" + QByteArray::number(made.files) + '\n';
        mark += "bytes=" + QByteArray::number(made.bytes) + '\n';
        for (auto r = rows.cbegin(); r != rows.cend(); ++r)
            mark += "rows." + r.key().toUtf8() + '=' + QByteArray::number(r.value()) + '\n';
        writeDurably(made.folder + QLatin1Char('/') + QLatin1String(Complete), mark);
    } catch (...) {
        removeBackup(made.folder);
        throw;
    }

    // Rotation: the newest `keep` complete backups stay, then objects nobody names go.
    QStringList complete;
    for (const QString &f : backupFolders(root))
        if (isComplete(f))
            complete << f;
    while (keep > 0 && complete.size() > keep) {
        removeBackup(complete.first());
        made.removed << complete.takeFirst();
    }
    QSet<QByteArray> named;
    for (const QString &f : complete) {
        QVector<Entry> entries;
        if (isComplete(f, &entries))
            for (const Entry &e : entries)
                named.insert(e.sha);
    }
    collectGarbage(root, named);

    try {
        recordEvent(source.auditConnection, AuditLog::Action::BackupMade, made.folder);
    } catch (const AppError &) {
        // A database this user may only read keeps no event; the backup itself is good.
    }
    return made;
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

namespace {

void moveOrFail(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw AppError(QStringLiteral("无法把 %1 移到 %2：%3").arg(from, to, systemError(errno)));
}

void copyOut(const QString &object, const QString &dest)
{
    QString why;
    QDir().mkpath(QFileInfo(dest).absolutePath());
    if (!PictureStore::copyFileAtomically(object, dest, &why))
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(dest, why));
}

void checkRows(const QMap<QString, qint64> &expected, const QMap<QString, qint64> &found)
{
    for (auto r = expected.cbegin(); r != expected.cend(); ++r)
        if (found.value(r.key(), -1) != r.value())
            throw AppError(QStringLiteral("恢复后的表 %1 有 %2 行，备份中有 %3 行")
                               .arg(r.key())
                               .arg(found.value(r.key(), -1))
                               .arg(r.value()));
}

} // namespace

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
    } else if (!lock.holdExclusive(dataDir + QStringLiteral("/Data.mdb"))) {
        throw AppError(
            QStringLiteral("另一个程序正在使用数据库 %1：请先关闭所有使用它的程序（包括其他电脑上的），再恢复")
                .arg(dataDir + QStringLiteral("/Data.mdb")));
    }

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
                sqlite3 *db = nullptr;
                QString integrity;
                if (sqlite3_open_v2(QFile::encodeName(restoredDb).constData(), &db, SQLITE_OPEN_READONLY, nullptr)
                    != SQLITE_OK) {
                    sqlite3_close(db);
                    throw AppError(QStringLiteral("无法打开恢复的数据库"));
                }
                const auto rows = sqliteRowCounts(db, &integrity);
                sqlite3_close(db);
                if (integrity != QLatin1String("ok"))
                    throw AppError(QStringLiteral("恢复的数据库检查未通过：%1").arg(integrity));
                checkRows(c.rows, rows);
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
        runPgTool(QStringLiteral("pg_dump"),
                  {QStringLiteral("--format=custom"), QStringLiteral("--no-owner"), QStringLiteral("--no-privileges"),
                   QStringLiteral("--file=") + r.databaseAside},
                  source.conninfo);
        runPgTool(QStringLiteral("pg_restore"),
                  {QStringLiteral("--clean"), QStringLiteral("--if-exists"), QStringLiteral("--no-owner"),
                   QStringLiteral("--no-privileges"), QStringLiteral("--single-transaction"),
                   QStringLiteral("--exit-on-error"), restoredDb},
                  source.conninfo);
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
            recordEvent(name, AuditLog::Action::Restored, folder);
        } catch (const AppError &) {
        }
        QSqlDatabase::database(name, false).close();
    }
    QSqlDatabase::removeDatabase(name);
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
