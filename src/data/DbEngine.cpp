#include "data/DbEngine.h"

#include "data/AppError.h"
#include "data/Db.h"
#include "data/ProfileFile.h"
#include "data/Settings.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DbEngine {

const char *const Section = "Database";

namespace {

QMutex pathLock;
QString &currentConfigPath()
{
    static QString path = defaultConfigPath();
    return path;
}

QString section()
{
    return QString::fromLatin1(Section);
}

[[noreturn]] void refuse(const QString &path, const QString &problem)
{
    throw AppError(QStringLiteral("数据库连接文件 %1 %2。这个文件决定本软件连接哪一个数据库服务器，"
                                  "只能由 root 修改：请管理员执行 chown root:root %1 和 chmod 644 %1。")
                       .arg(path, problem));
}

QString userName(uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

QString systemText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

QStringList keys()
{
    return {QStringLiteral("Engine"),  QStringLiteral("Service"),       QStringLiteral("Host"),
            QStringLiteral("Port"),    QStringLiteral("Database"),      QStringLiteral("User"),
            QStringLiteral("Options"), QStringLiteral("ConnectTimeout")};
}

QString defaultConfigPath()
{
    return QStringLiteral("/etc/belcara/database.conf");
}

void setConfigPath(const QString &path)
{
    QMutexLocker locker(&pathLock);
    currentConfigPath() = path;
}

QString configPath()
{
    QMutexLocker locker(&pathLock);
    return currentConfigPath();
}

QByteArray readConfig(const QString &path)
{
    // Opened without following a link and checked on the open file itself, so that what is
    // checked is what is read.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT)
            return QByteArray(); // no file: the local database
        if (err == ELOOP)
            refuse(path, QStringLiteral("是一个符号链接，不予采用"));
        refuse(path, QStringLiteral("无法读取（%1）").arg(systemText(err)));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        refuse(path, QStringLiteral("无法读取（%1）").arg(systemText(err)));
    }
    QString problem;
    if (!S_ISREG(st.st_mode))
        problem = QStringLiteral("不是一个普通文件，不予采用");
    else if (st.st_uid != 0 && st.st_uid != ::geteuid())
        problem = QStringLiteral("属于用户 %1 而不是 root，不予采用").arg(userName(st.st_uid));
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        problem = QStringLiteral("除了它的所有者，其他用户也可以修改（权限 %1），不予采用")
                      .arg(QString::number(st.st_mode & 07777, 8));
    if (!problem.isEmpty()) {
        ::close(fd);
        refuse(path, problem);
    }
    QByteArray content;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            refuse(path, QStringLiteral("无法读取（%1）").arg(systemText(err)));
        }
        if (n == 0)
            break;
        content.append(buffer, n);
    }
    ::close(fd);
    return content;
}

Choice fromConfig()
{
    const QString path = configPath();
    const QByteArray content = readConfig(path);
    auto read = [&](const char *key) {
        return ProfileFile::valueIn(content, section(), QString::fromLatin1(key), QString()).trimmed();
    };
    Choice c;
    const QString engine = read("Engine");
    if (engine.compare(QLatin1String("PostgreSQL"), Qt::CaseInsensitive) == 0
        || engine.compare(QLatin1String("Postgres"), Qt::CaseInsensitive) == 0) {
        c.engine = Engine::PostgreSQL;
    } else if (!engine.isEmpty() && engine.compare(QLatin1String("SQLite"), Qt::CaseInsensitive) != 0) {
        throw AppError(QStringLiteral("%2 中 [Database] 一节的数据库引擎 '%1' 无法识别（应为 SQLite 或 PostgreSQL）")
                           .arg(engine, path));
    }
    ServerSettings &s = c.server;
    s.service = read("Service");
    s.host = read("Host");
    s.port = read("Port");
    s.database = read("Database");
    s.user = read("User");
    s.options = read("Options");
    bool ok = false;
    const int timeout = read("ConnectTimeout").toInt(&ok);
    if (ok && timeout > 0)
        s.connectTimeout = timeout;
    return c;
}

void refuseServerInSettings()
{
    if (!ProfileFile(Settings::path()).hasSection(section()))
        return;
    throw AppError(QStringLiteral("程序设置文件 %1 中有 [Database] 一节。这个文件每个用户都能修改，"
                                  "所以本软件不再从这里选择数据库，也不会改用本机数据库（那样会看到一个空的诊所）。"
                                  "请管理员把 [Database] 一节从 %1 移到 %2（只有 root 能修改的文件），"
                                  "然后重新启动本软件。")
                       .arg(Settings::path(), configPath()));
}

Choice choose()
{
    refuseServerInSettings();
    return fromConfig();
}

QString conninfoValue(const QString &value)
{
    bool plain = !value.isEmpty();
    for (const QChar ch : value)
        plain = plain && !ch.isSpace() && ch != QLatin1Char('\'') && ch != QLatin1Char('\\') && ch != QLatin1Char(';');
    if (plain)
        return value;
    QString v = value;
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + v + QLatin1Char('\'');
}

QString conninfo(const ServerSettings &s)
{
    QStringList parts;
    parts << QStringLiteral("connect_timeout=%1").arg(s.connectTimeout);
    // Encrypted unless the administrator's Options say otherwise; being part of the connection
    // string, it also overrules a sslmode from a service file or PGSSLMODE.
    parts << QStringLiteral("sslmode=require");
    const QList<QPair<const char *, QString>> keys{{"service", s.service},
                                                   {"host", s.host},
                                                   {"port", s.port},
                                                   {"dbname", s.database},
                                                   {"user", s.user}};
    for (const auto &k : keys)
        if (!k.second.isEmpty())
            parts << QString::fromLatin1(k.first) + QLatin1Char('=') + conninfoValue(k.second);
    if (!s.options.isEmpty())
        parts << s.options;
    return parts.join(QLatin1Char(' '));
}

void openServer(const QString &connectionName, const QString &conninfo)
{
    if (conninfo.contains(QLatin1Char(';')))
        throw AppError(QStringLiteral("A ';' cannot stand in the connection settings: %1").arg(conninfo));
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
                          ? QSqlDatabase::database(connectionName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db.isValid())
        throw AppError(QStringLiteral("The PostgreSQL driver (QPSQL) is not installed"));
    if (db.isOpen())
        db.close();
    // The driver hands these options to libpq unchanged: service files, .pgpass and the PG*
    // environment all work as they do for psql.
    db.setConnectOptions(conninfo + QStringLiteral(" application_name=Belcara"));
    if (!db.open())
        throw AppError(Db::errorText(db.lastError()));
}

} // namespace DbEngine
