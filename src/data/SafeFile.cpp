#include "data/SafeFile.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
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

// A folder in which only its owner, root or we ourselves, can add, rename or remove names: a link
// found there was put there by one of us.
bool onlyOwnerWrites(const struct stat &folder)
{
    return (folder.st_uid == 0 || folder.st_uid == ::geteuid()) && (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString folderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

// Follows symbolic links to the file that really holds the content (a dangling link names the
// file to create), but only links that sit in folders nobody else may write. False, with
// ELOOP in err, for a link that must not be followed.
bool resolveLinks(const QString &path, QString *target, int *err)
{
    QString current = QFileInfo(path).absoluteFilePath();
    for (int depth = 0; depth < 16; ++depth) {
        const QByteArray name = QFile::encodeName(current);
        struct stat st {};
        if (::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = current;
            return true;
        }
        const QString folder = folderOf(current);
        struct stat dir {};
        if (::stat(QFile::encodeName(folder).constData(), &dir) != 0 || !onlyOwnerWrites(dir))
            break;
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(name.constData(), buffer, sizeof buffer);
        if (n <= 0 || size_t(n) >= sizeof buffer)
            break;
        const QString link = QFile::decodeName(QByteArray(buffer, n));
        current = link.startsWith(QLatin1Char('/')) ? link : folder + QLatin1Char('/') + link;
    }
    *err = ELOOP;
    return false;
}

bool isPermissionError(int err)
{
    return err == EACCES || err == EPERM || err == EROFS || err == EBUSY || err == EXDEV;
}

// Rewrites the file that `old` described. `sharedFolder`, when given, is the folder's state when
// others may write it: then only a file with one name, owned by us or by the folder's owner, is
// written (not one someone else placed or hard-linked there).
bool rewriteInPlace(const QByteArray &target, const struct stat &old, const struct stat *sharedFolder,
                    const QByteArray &bytes, Failure &fail)
{
    // O_NOFOLLOW: a link put at the name since we looked is not followed; O_NONBLOCK: a FIFO
    // put there does not hang the program.
    const int fd = ::open(target.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail.set(QStringLiteral("open"), errno);
    struct stat now {};
    int err = 0;
    bool ok = true;
    if (::fstat(fd, &now) != 0) {
        err = errno;
        ok = false;
    } else if (!S_ISREG(now.st_mode) || now.st_dev != old.st_dev || now.st_ino != old.st_ino) {
        err = EAGAIN; // replaced while we were writing the new content
        ok = false;
    } else if (sharedFolder
               && (now.st_nlink != 1 || (now.st_uid != ::geteuid() && now.st_uid != sharedFolder->st_uid))) {
        err = EPERM;
        ok = false;
    }
    if (!ok) {
        ::close(fd);
        return fail.set(QStringLiteral("rewrite"), err);
    }
    ok = writeAll(fd, bytes, &err);
    if (ok && ::ftruncate(fd, off_t(bytes.size())) != 0) {
        err = errno;
        ok = false;
    }
    ok = syncAndClose(fd, ok, &err);
    return ok ? true : fail.set(QStringLiteral("write"), err);
}

} // namespace

namespace SafeFile {

ReadStatus readContents(const QString &path, QByteArray *bytes, QString *error)
{
    Failure fail{error};
    QString target;
    int err = 0;
    if (!resolveLinks(path, &target, &err)) {
        fail.set(QStringLiteral("symbolic link"), err);
        return ReadStatus::Refused;
    }
    const int fd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        if (err == ENOENT || err == ENOTDIR)
            return ReadStatus::Missing;
        fail.set(QStringLiteral("open"), err);
        return ReadStatus::Refused;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    err = ok ? EINVAL : errno;
    ok = ok && S_ISREG(st.st_mode);
    QByteArray content;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            ok = false;
        } else if (n == 0) {
            break;
        } else {
            content.append(buffer, n);
        }
    }
    ::close(fd);
    if (!ok) {
        fail.set(QStringLiteral("read"), err);
        return ReadStatus::Refused;
    }
    *bytes = content;
    return ReadStatus::Read;
}

bool replaceContents(const QString &path, const QByteArray &bytes, QString *error, int newFileMode)
{
    Failure fail{error};
    QString targetPath;
    int linkErr = 0;
    if (!resolveLinks(path, &targetPath, &linkErr))
        return fail.set(QStringLiteral("symbolic link"), linkErr);
    const QByteArray target = QFile::encodeName(targetPath);
    const QByteArray folder = QFile::encodeName(folderOf(targetPath));
    const QByteArray base = QFile::encodeName(QFileInfo(targetPath).fileName());

    struct stat dir {};
    const bool folderKnown = ::stat(folder.constData(), &dir) == 0;
    const struct stat *sharedFolder = folderKnown && !onlyOwnerWrites(dir) ? &dir : nullptr;

    struct stat old {};
    bool exists = false;
    if (::lstat(target.constData(), &old) == 0) {
        if (S_ISLNK(old.st_mode))
            return fail.set(QStringLiteral("symbolic link"), ELOOP);
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
        // O_EXCL never follows a link, so one planted at the name only makes us pick another.
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int err = errno;
        if (exists && isPermissionError(err))
            return rewriteInPlace(target, old, sharedFolder, bytes, fail);
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
            return rewriteInPlace(target, old, sharedFolder, bytes, fail);
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
