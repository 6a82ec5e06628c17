#include "data/PictureStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PictureStore {

namespace {

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

void setReason(QString *whyNot, const QString &text)
{
    if (whyNot)
        *whyNot = text;
}

long long plainWrite(int fd, const char *data, long long len)
{
    return ::write(fd, data, size_t(len));
}

Writer &defaultWriter()
{
    static Writer writer;
    return writer;
}

// A customer number names exactly one folder below the store root: it may not be empty, climb
// out of the store or name a deeper folder.
bool validFolderName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20)
            return false;
    }
    return true;
}

// Temporary copies are named ".<file name>.part-<host>-<process id>-<random>", so that a copy
// left behind by a process that was killed can be told from one still being written.
QString hostTag()
{
    QString host = QSysInfo::machineHostName();
    host.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9.]")), QStringLiteral("_"));
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

// Opens a new, uniquely named file beside destination. Permissions follow the umask like any
// newly created file, not the private mode a temporary file usually gets.
int openTemporaryBeside(const QString &destination, QString *tempPath)
{
    const QFileInfo info(destination);
    const QString prefix = info.absolutePath() + QLatin1String("/.") + info.fileName() + QLatin1String(".part-")
                           + hostTag() + QLatin1Char('-') + QString::number(::getpid()) + QLatin1Char('-');
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = prefix + QString::number(QRandomGenerator::global()->generate(), 16);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            *tempPath = candidate;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace

void setDefaultWriter(const Writer &writer)
{
    defaultWriter() = writer;
}

QString storeRoot(const QString &programFolder)
{
    QString folder = programFolder;
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')) && !folder.endsWith(QLatin1Char('\\')))
        folder += QLatin1Char('/');
    return folder + QLatin1String("pic/");
}

QString referenceToPath(const QString &programFolder, const QString &columnValue)
{
    QString relative = columnValue;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return storeRoot(programFolder) + relative;
}

bool isPictureFile(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

QString resolveColumn(const QString &programFolder, const QString &columnValue)
{
    // A temporary copy of an import is never a picture, whatever a column says.
    if (columnValue.isEmpty() || isTemporaryName(fileNamePart(columnValue)))
        return QString();
    const QString path = referenceToPath(programFolder, columnValue);
    return isPictureFile(path) ? path : QString();
}

QString fileNamePart(const QString &sourcePath)
{
    int cut = -1;
    for (int i = sourcePath.size() - 1; i >= 0; --i) {
        const QChar c = sourcePath.at(i);
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')) {
            cut = i;
            break;
        }
    }
    return sourcePath.mid(cut + 1);
}

namespace {

// Copies source into a new temporary file beside destination, checking every write and flushing
// it to the disk. On failure nothing is left behind and whyNot gets the reason.
bool writeTemporary(const QString &source, const QString &destination, QString *tempPath, QString *whyNot,
                    const Writer &writer)
{
    const Writer write = writer ? writer : defaultWriter() ? defaultWriter() : Writer(plainWrite);

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        setReason(whyNot, QStringLiteral("无法读取文件 %1：%2").arg(source, in.errorString()));
        return false;
    }

    const int fd = openTemporaryBeside(destination, tempPath);
    if (fd < 0) {
        setReason(whyNot, QStringLiteral("无法写入文件夹 %1：%2")
                              .arg(QFileInfo(destination).absolutePath(), systemReason(errno)));
        return false;
    }
    const QByteArray tempName = QFile::encodeName(*tempPath);

    auto fail = [&](const QString &reason) {
        ::close(fd);
        ::unlink(tempName.constData());
        setReason(whyNot, QStringLiteral("复制图片 %1 失败：%2").arg(source, reason));
        return false;
    };

    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = in.read(buffer.data(), buffer.size());
        if (got < 0)
            return fail(in.errorString());
        if (got == 0)
            break;
        const char *p = buffer.constData();
        qint64 left = got;
        while (left > 0) {
            errno = 0;
            const long long put = write(fd, p, left);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                return fail(systemReason(put < 0 && errno ? errno : ENOSPC));
            p += put;
            left -= put;
        }
    }
    if (::fsync(fd) != 0)
        return fail(systemReason(errno));
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        setReason(whyNot, QStringLiteral("复制图片 %1 失败：%2").arg(source, systemReason(err)));
        return false;
    }
    return true;
}

// Gives the temporary file the name destination unless a file of that name exists; errno is
// EEXIST then. File systems without an atomic "rename unless taken" get a hard link instead.
bool placeUnlessTaken(const QByteArray &temp, const QByteArray &destination)
{
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    if (::link(temp.constData(), destination.constData()) != 0)
        return false;
    ::unlink(temp.constData());
    return true;
}

} // namespace

bool copyFileAtomically(const QString &source, const QString &destination, QString *whyNot, const Writer &writer)
{
    QString tempPath;
    if (!writeTemporary(source, destination, &tempPath, whyNot, writer))
        return false;
    const QByteArray tempName = QFile::encodeName(tempPath);
    if (std::rename(tempName.constData(), QFile::encodeName(destination).constData()) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        setReason(whyNot, QStringLiteral("复制图片 %1 失败：%2").arg(source, systemReason(err)));
        return false;
    }
    // The new name is made durable too, before the caller records it in the database.
    const int dir = ::open(QFile::encodeName(QFileInfo(destination).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    constexpr qint64 chunk = 1 << 20;
    for (;;) {
        const QByteArray x = fa.read(chunk), y = fb.read(chunk);
        if (x != y)
            return false;
        if (x.isEmpty())
            return fa.error() == QFileDevice::NoError && fb.error() == QFileDevice::NoError;
    }
}

QString numberedName(const QString &name, int n)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral("(%1)").arg(n);
    if (dot <= 0)
        return name + suffix;
    return name.left(dot) + suffix + name.mid(dot);
}

void Added::undo()
{
    for (const QString &f : std::as_const(files))
        QFile::remove(f);
    for (const QString &d : std::as_const(folders))
        QDir().rmdir(d); // only when empty
    files.clear();
    folders.clear();
}

bool isTemporaryName(const QString &fileName)
{
    static const QRegularExpression form(QStringLiteral("^\\..+\\.part-[^/]*$"));
    return form.match(fileName).hasMatch();
}

namespace {

// Whether the process may still write: it exists and has not ended. An ended process whose
// parent has not collected it yet (a zombie) still answers kill(pid, 0), but writes nothing more.
bool processMayWrite(pid_t pid)
{
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return true;
    const char state = line.at(close + 2);
    return state != 'Z' && state != 'X';
}

} // namespace

int removeLeftoverCopies(const QString &storeRoot, qint64 olderThanSeconds)
{
    static const QRegularExpression form(QStringLiteral("^\\..+\\.part-(.+)-([0-9]+)-[0-9a-f]+$"));
    const QString host = hostTag();
    const QDateTime cutoff = QDateTime::currentDateTimeUtc().addSecs(-olderThanSeconds);
    int removed = 0;
    QDirIterator folders(storeRoot, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    while (folders.hasNext()) {
        const QString folder = folders.next();
        QDirIterator files(folder, QStringList{QStringLiteral(".*.part-*")},
                           QDir::Files | QDir::Hidden | QDir::NoSymLinks);
        while (files.hasNext()) {
            const QString path = files.next();
            const QFileInfo info = files.fileInfo();
            const QRegularExpressionMatch m = form.match(info.fileName());
            bool abandoned = info.lastModified().toUTC() < cutoff;
            if (!abandoned && m.hasMatch() && m.captured(1) == host) {
                // Written on this machine by a process that no longer runs.
                const qint64 pid = m.captured(2).toLongLong();
                abandoned = pid > 0 && pid <= INT_MAX && !processMayWrite(pid_t(pid));
            }
            if (abandoned && QFile::remove(path))
                ++removed;
        }
    }
    return removed;
}

QString ImportPicture(const QString &storeRoot, const QString &sourcePath, const QString &customerNo, QString *whyNot,
                      const Writer &writer, Added *added)
{
    QString root = storeRoot;
    root.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (!root.isEmpty() && !root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    const QString folder = root + customerNo;

    if (!isPictureFile(sourcePath)) {
        setReason(whyNot, QStringLiteral("文件不存在：%1").arg(sourcePath));
        return QString();
    }

    if (!validFolderName(customerNo)) {
        setReason(whyNot, QStringLiteral("客户编号“%1”不能用作文件夹名").arg(customerNo));
        return QString();
    }
    const QString name = fileNamePart(sourcePath);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        setReason(whyNot, QStringLiteral("文件名无效：%1").arg(sourcePath));
        return QString();
    }
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isDir()) {
        // One level only: when the store root is missing this fails and nothing is created.
        if (folderInfo.exists() || !QDir().mkdir(folder)) {
            setReason(whyNot, QStringLiteral("无法创建文件夹：%1").arg(folder));
            return QString();
        }
        if (added)
            added->folders << folder;
    }

    QString tempPath; // written once, then offered to each free name in turn
    auto dropTemporary = [&] {
        if (!tempPath.isEmpty())
            ::unlink(QFile::encodeName(tempPath).constData());
    };
    constexpr int MaxNames = 10000;
    for (int n = 1; n <= MaxNames;) {
        const QString candidate = n == 1 ? name : numberedName(name, n);
        const QString destination = folder + QLatin1Char('/') + candidate;
        const QFileInfo there(destination);
        if (there.exists() || there.isSymLink()) {
            if (there.isFile() && sameContent(sourcePath, destination)) {
                dropTemporary();
                return customerNo + QLatin1Char('\\') + candidate;
            }
            ++n; // another picture (or a folder) has this name
            continue;
        }
        if (tempPath.isEmpty() && !writeTemporary(sourcePath, destination, &tempPath, whyNot, writer))
            return QString();
        if (placeUnlessTaken(QFile::encodeName(tempPath), QFile::encodeName(destination))) {
            if (added)
                added->files << destination;
            return customerNo + QLatin1Char('\\') + candidate;
        }
        if (errno != EEXIST) {
            const int err = errno;
            dropTemporary();
            setReason(whyNot, QStringLiteral("复制图片 %1 失败：%2").arg(sourcePath, systemReason(err)));
            return QString();
        }
        // Taken meanwhile: look at it again.
    }
    dropTemporary();
    setReason(whyNot, QStringLiteral("文件夹 %1 中没有可用的文件名：%2").arg(folder, name));
    return QString();
}

} // namespace PictureStore
