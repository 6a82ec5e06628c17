// belcara-admin's backup commands: backup, verify, restore, list and set-backup-password.
#include "AdminBackup.h"

#include "backup/Backup.h"
#include "backup/BackupPassword.h"
#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Settings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <cstdio>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {

// Progress on standard error: a line when the stage changes and every two seconds.
Backup::ProgressFn progressPrinter(const char *command)
{
    auto timer = std::make_shared<QElapsedTimer>();
    auto stage = std::make_shared<QString>();
    timer->start();
    return [=](const Backup::Progress &p) {
        if (p.stage != *stage || timer->elapsed() > 2000) {
            *stage = p.stage;
            timer->restart();
            std::fprintf(stderr, "%s: %s %lld/%lld files, %lld/%lld MB\n", command, qPrintable(p.stage),
                         static_cast<long long>(p.filesDone), static_cast<long long>(p.filesTotal),
                         static_cast<long long>(p.bytesDone >> 20), static_cast<long long>(p.bytesTotal >> 20));
        }
        return true;
    };
}

// One line of standard input, without its line break; on a terminal without echo.
QByteArray readLine(const char *prompt)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    QByteArray line;
    for (int c; (c = std::fgetc(stdin)) != EOF && c != '\n';)
        line += char(c);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputc('\n', stderr);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

QByteArray password(bool fromStdin)
{
    if (fromStdin)
        return readLine("备份密码：");
    const QByteArray p = BackupPassword::read(BackupPassword::serviceFile());
    if (p.isEmpty())
        throw AppError(QStringLiteral("没有备份密码：请先用 root 身份运行 belcara-admin set-backup-password，"
                                      "或用 --password-stdin 从标准输入给出"));
    return p;
}

Backup::Source sourceOf(const QString &installation, const DbEngine::ServerSettings *server)
{
    Backup::Source source;
    source.programFolder = QDir(installation).absolutePath() + QLatin1Char('/');
    if (server) {
        source.server = true;
        source.conninfo = DbEngine::conninfo(*server);
    }
    return source;
}

// The program's connection for the audit log and the identity.
void openRecords(Backup::Source &source)
{
    const QString connection = QStringLiteral("admin");
    if (source.server) {
        DbEngine::openServer(connection, source.conninfo);
    } else {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(source.programFolder + QStringLiteral("Data/Data.mdb"));
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!QFileInfo(db.databaseName()).isFile() || !db.open())
            throw AppError(QStringLiteral("找不到数据库文件 %1").arg(db.databaseName()));
    }
    source.auditConnection = connection;
    // The events of this run move the head of the audit chain on, as the program's do.
    if (source.server) {
        QSqlQuery q(QSqlDatabase::database(connection, false));
        if (q.exec(QStringLiteral("SELECT Id FROM BelcaraInstallation")) && q.next())
            AuditLog::setHeadFile(
                AuditLog::headFileForServer(QFileInfo(Settings::path()).absolutePath(), q.value(0).toString()));
    } else {
        AuditLog::setHeadFile(AuditLog::headFileBeside(source.programFolder + QStringLiteral("Data/Data.mdb")));
    }
}

bool isLegacyFolder(const QString &path)
{
    return QFileInfo(path + QStringLiteral("/COMPLETE")).isFile()
           || QFileInfo(path + QStringLiteral("/MANIFEST")).isFile();
}

QString describe(const Backup::Snapshot &s)
{
    if (s.legacy)
        return QStringLiteral("%1  %2  旧格式的备份").arg(s.id, s.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    if (!s.salvagedFrom.isEmpty())
        return QStringLiteral("%1  %2  %3  从缺少数据的备份 %4 中另存的 %5 张图片（没有资料）")
            .arg(s.shortId, s.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), s.host, s.salvagedFrom)
            .arg(s.photos);
    return QStringLiteral("%1  %2  %3  %4  %5 个案例  %6 张图片%7")
        .arg(s.shortId, s.time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), s.host,
             s.ours ? QStringLiteral("本机") : QStringLiteral("另一个安装 ") + s.installation.left(8))
        .arg(s.cases)
        .arg(s.photos)
        .arg(s.server ? QStringLiteral("  服务器数据库") : QString());
}

int setPassword(bool fromStdin)
{
    const QString file = BackupPassword::serviceFile();
    if (qEnvironmentVariableIsEmpty("BELCARA_BACKUP_PASSWORD_FILE") && ::geteuid() != 0)
        throw AppError(QStringLiteral("只有 root 能写入 %1：请用 root 身份（例如 sudo）运行").arg(file));
    const QByteArray first = readLine("新的备份密码：");
    if (!fromStdin && ::isatty(STDIN_FILENO) && readLine("再输入一次：") != first)
        throw AppError(QStringLiteral("两次输入的密码不一样，没有改动"));
    if (first.size() < BackupPassword::MinimumLength)
        throw AppError(QStringLiteral("备份密码至少要 %1 个字符").arg(BackupPassword::MinimumLength));
    BackupPassword::write(file, first);
    std::printf("set-backup-password: %s (readable by %s only). Keep the password somewhere safe as well: "
                "without it no backup can be read.\n",
                qPrintable(file), ::geteuid() == 0 ? "root" : "this user");
    return 0;
}

} // namespace

int adminBackup(const AdminBackupArgs &a)
{
    const QString &command = a.command;
    try {
        if (command == QLatin1String("set-backup-password"))
            return setPassword(a.passwordStdin);
        // Backups in the older format are checked and restored from their folder, without a password.
        if (command == QLatin1String("verify") && isLegacyFolder(a.target)) {
            const Backup::Legacy::Checked c = Backup::Legacy::verify(a.target, progressPrinter("verify"));
            for (const QString &problem : c.problems)
                std::fprintf(stderr, "verify: %s\n", qPrintable(problem));
            if (!c.problems.isEmpty()) {
                std::printf("verify: %s: %lld problems\n", qPrintable(a.target),
                            static_cast<long long>(c.problems.size()));
                return 1;
            }
            std::printf("verify: %s: complete, made %s, %lld files, %lld MB, all agree with the manifest\n",
                        qPrintable(a.target), qPrintable(c.made.toLocalTime().toString(Qt::ISODate)),
                        static_cast<long long>(c.files), static_cast<long long>(c.bytes >> 20));
            return 0;
        }
        Backup::Source source = sourceOf(a.installation, a.server);
        if (!source.server)
            AuditLog::setHeadFile(AuditLog::headFileBeside(source.programFolder + QStringLiteral("Data/Data.mdb")));
        if (command == QLatin1String("restore") && isLegacyFolder(a.target)) {
            const Backup::Restored r = Backup::Legacy::restore(source, a.target, progressPrinter("restore"));
            std::printf("restore: %s: %lld pictures, all checked; the replaced database is %s, the replaced pictures %s\n",
                        qPrintable(a.target), static_cast<long long>(r.files), qPrintable(r.databaseAside),
                        qPrintable(r.picturesAside));
            return 0;
        }
        const QByteArray pw = password(a.passwordStdin);
        if (command == QLatin1String("list")) {
            QString id;
            try {
                id = Backup::installationId(source);
            } catch (const AppError &) {
                // No records here (yet): every snapshot is another installation's.
            }
            const QVector<Backup::Snapshot> all = Backup::list(a.target, pw, id);
            for (const Backup::Snapshot &s : all)
                std::printf("%s\n", qPrintable(describe(s)));
            std::printf("list: %s: %lld backups\n", qPrintable(Backup::rootFolder(a.target)),
                        static_cast<long long>(all.size()));
            return 0;
        }
        if (command == QLatin1String("verify")) {
            const Backup::Checked c = Backup::verify(a.target, pw, a.snapshot, progressPrinter("verify"));
            for (const QString &problem : c.problems)
                std::fprintf(stderr, "verify: %s\n", qPrintable(problem));
            for (const QString &photo : c.lostPhotos)
                std::fprintf(stderr, "verify: damaged: %s\n", qPrintable(photo));
            if (!c.ok()) {
                std::printf("verify: %s: %lld problems, %lld files damaged\n",
                            qPrintable(Backup::repositoryPath(a.target)), static_cast<long long>(c.problems.size()),
                            static_cast<long long>(c.lostPhotos.size()));
                return 1;
            }
            std::printf("verify: %s: all data read back and intact\n", qPrintable(Backup::repositoryPath(a.target)));
            return 0;
        }
        if (command == QLatin1String("backup")) {
            openRecords(source);
            const Backup::Made m = Backup::make(source, a.target, pw, a.keep, true, progressPrinter("backup"));
            for (const QString &item : m.leftOut)
                std::fprintf(stderr, "backup: left out (it disappeared or could not be read): %s\n", qPrintable(item));
            for (const QString &w : m.warnings)
                std::fprintf(stderr, "backup: %s\n", qPrintable(w));
            if (!m.rotationNote.isEmpty())
                std::fprintf(stderr, "backup: %s\n", qPrintable(m.rotationNote));
            std::printf("backup: %s: snapshot %s, %lld files, %lld MB (%lld new or changed, %lld MB stored); "
                        "checked, %s of the data read back; %d older snapshots removed\n",
                        qPrintable(m.repository), qPrintable(m.snapshot), static_cast<long long>(m.files),
                        static_cast<long long>(m.bytes >> 20), static_cast<long long>(m.newFiles),
                        static_cast<long long>(m.addedBytes >> 20), qPrintable(m.checked), m.removed);
            return 0;
        }
        // restore
        const Backup::Restored r = a.customer.isEmpty()
                                       ? Backup::restore(source, a.target, pw, a.snapshot, progressPrinter("restore"))
                                       : Backup::restoreCustomer(source, a.target, pw, a.snapshot, a.customer,
                                                                 progressPrinter("restore"));
        for (const QString &photo : r.lost)
            std::fprintf(stderr, "restore: could not be restored (damaged in the backup): %s\n", qPrintable(photo));
        std::printf("restore: %s: %lld pictures restored, %lld could not be; what was replaced is in %s\n",
                    qPrintable(Backup::repositoryPath(a.target)), static_cast<long long>(r.files),
                    static_cast<long long>(r.lost.size()), qPrintable(r.asideFolder));
        return r.lost.isEmpty() ? 0 : 1;
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
    } catch (const Backup::WrongPassword &) {
        std::fprintf(stderr, "belcara-admin: 备份密码不对：这个密码打不开 %s 的备份\n",
                     qPrintable(Backup::repositoryPath(a.target)));
    } catch (const Backup::Cancelled &) {
        std::fprintf(stderr, "belcara-admin: cancelled\n");
    }
    std::printf("%s: %s: failed\n", qPrintable(command), qPrintable(a.target));
    return 1;
}
