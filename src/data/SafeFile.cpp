#include "data/SafeFile.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keeps the first failure's text; later clean-up failures don't overwrite it.
struct Failure {
    QString *out;
    bool failed = false;
    bool set(const QString &what, int err)
    {
        if (!failed && out)
            *out = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
        failed = true;
        return false;
    }
};

bool writeAll(int fd, const QByteArray &bytes, int *err)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        if (n == 0) {
            *err = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Makes what was written durable and closes the file; ok says whether the writes before went
// well, and the first failure's errno lands in err.
bool syncAndClose(int fd, bool ok, int *err)
{
    if (ok && ::fsync(fd) != 0) {
        *err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *err = errno;
        ok = false;
    }
    return ok;
}

// Follows symbolic links to the file that really holds the content (a dangling link names the
// file to create).
QString resolveLinks(const QString &path)
{
    QString current = QFileInfo(path).absoluteFilePath();
    for (int depth = 0; depth < 16; ++depth) {
        const QFileInfo info(current);
        if (!info.isSymLink())
            return current;
        current = info.symLinkTarget();
    }
    return current;
}

bool isPermissionError(int err)
{
    return err == EACCES || err == EPERM || err == EROFS || err == EBUSY || err == EXDEV;
}

bool rewriteInPlace(const QByteArray &target, const QByteArray &bytes, Failure &fail)
{
    const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return fail.set(QStringLiteral("open"), errno);
    int err = 0;
    bool ok = writeAll(fd, bytes, &err);
    if (ok && ::ftruncate(fd, off_t(bytes.size())) != 0) {
        err = errno;
        ok = false;
    }
    ok = syncAndClose(fd, ok, &err);
    return ok ? true : fail.set(QStringLiteral("write"), err);
}

} // namespace

namespace SafeFile {

bool replaceContents(const QString &path, const QByteArray &bytes, QString *error, int newFileMode)
{
    Failure fail{error};
    const QString targetPath = resolveLinks(path);
    const QByteArray target = QFile::encodeName(targetPath);
    const QByteArray folder = QFile::encodeName(QFileInfo(targetPath).absolutePath());
    const QByteArray base = QFile::encodeName(QFileInfo(targetPath).fileName());

    struct stat old {};
    bool exists = false;
    if (::stat(target.constData(), &old) == 0) {
        if (!S_ISREG(old.st_mode))
            return fail.set(QStringLiteral("not a regular file"), EISDIR);
        exists = true;
    } else if (errno != ENOENT) {
        return fail.set(QStringLiteral("stat"), errno);
    }

    // The new content, under a name of its own in the same folder.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
        temp = folder + "/." + base + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int err = errno;
        if (exists && isPermissionError(err))
            return rewriteInPlace(target, bytes, fail);
        return fail.set(QStringLiteral("create"), err);
    }

    int err = 0;
    bool ok = writeAll(fd, bytes, &err);
    if (ok && exists) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only an administrator may give a file away; the permission bits still follow.
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            err = errno;
            ok = false;
        }
    } else if (ok && newFileMode >= 0 && ::fchmod(fd, mode_t(newFileMode) & 07777) != 0) {
        err = errno;
        ok = false;
    }
    ok = syncAndClose(fd, ok, &err);
    if (!ok) {
        ::unlink(temp.constData());
        return fail.set(QStringLiteral("write"), err);
    }

    if (::rename(temp.constData(), target.constData()) != 0) {
        err = errno;
        ::unlink(temp.constData());
        if (exists && isPermissionError(err))
            return rewriteInPlace(target, bytes, fail);
        return fail.set(QStringLiteral("rename"), err);
    }

    // Make the rename itself durable; a folder that cannot be synced is no failure of the write.
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace SafeFile
