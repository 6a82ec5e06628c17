#include "backup/BackupPassword.h"

#include "data/AppError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BackupPassword {

QString userFile()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/belcara/backup-password");
}

QString serviceFile()
{
    const QString own = qEnvironmentVariable("BELCARA_BACKUP_PASSWORD_FILE");
    return own.isEmpty() ? QStringLiteral("/etc/belcara/backup-password") : own;
}

QByteArray read(const QString &file)
{
    const QByteArray name = QFile::encodeName(file);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return QByteArray();
        throw AppError(
            QStringLiteral("无法读取备份密码文件 %1：%2").arg(file, QString::fromLocal8Bit(std::strerror(errno))));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw AppError(QStringLiteral("备份密码文件 %1 不是普通文件").arg(file));
    }
    if ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
        ::close(fd);
        throw AppError(QStringLiteral("备份密码文件 %1 别人也能读取或不属于本用户：没有使用它。"
                                      "请用 chmod 600 改为只有本人可读，或重新设置密码")
                           .arg(file));
    }
    QByteArray out;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, n);
        if (out.size() > 4096)
            break;
    }
    ::close(fd);
    while (out.endsWith('\n') || out.endsWith('\r'))
        out.chop(1);
    return out;
}

void write(const QString &file, const QByteArray &password)
{
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder))
        throw AppError(QStringLiteral("无法建立文件夹 %1").arg(folder));
    const QString tmp = file + QStringLiteral(".new");
    const QByteArray tmpName = QFile::encodeName(tmp);
    ::unlink(tmpName.constData());
    const int fd = ::open(tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(tmp, QString::fromLocal8Bit(std::strerror(errno))));
    const QByteArray text = password + '\n';
    bool ok = ::write(fd, text.constData(), size_t(text.size())) == ssize_t(text.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmpName.constData(), QFile::encodeName(file).constData()) != 0) {
        const int err = errno;
        ::unlink(tmpName.constData());
        throw AppError(QStringLiteral("无法写入 %1：%2").arg(file, QString::fromLocal8Bit(std::strerror(err))));
    }
}

void forget(const QString &file)
{
    QFile::remove(file);
}

} // namespace BackupPassword
