// belcara-admin: sets up a PostgreSQL server for several workstations, and upgrades one.
//
//   belcara-admin [connection] init [--force]
//   belcara-admin [connection] migrate <installation folder | Data.mdb> [--force]
//   belcara-admin [connection] upgrade
//   belcara-admin set-connection KEY=VALUE... [--config PATH]
//   belcara-admin [--installation DIR] [connection] backup [TARGET] [--keep N] [--password-stdin]
//   belcara-admin [--installation DIR] verify TARGET [SNAPSHOT] [--password-stdin]
//   belcara-admin [--installation DIR] [connection] restore TARGET [SNAPSHOT] [--customer NO] [--password-stdin]
//   belcara-admin [--installation DIR] list TARGET [--password-stdin]
//   belcara-admin set-backup-password [--password-stdin]
//
// connection: --service NAME (pg_service.conf), --conninfo "host=... dbname=...", or by default
// section [Database] of the connection file (--config PATH, default /etc/belcara/database.conf).
// Passwords come from ~/.pgpass as for every libpq program.
//
// set-connection writes keys of section [Database] into the connection file, which only root
// may change (the program refuses it otherwise), and shows the connection string that results.
#include "AdminBackup.h"
#include "data/AuditLog.h"
#include "backup/Backup.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/SchemaUpgrade.h"
#include "data/ServerDb.h"

#include "data/ProfileFile.h"
#include "data/Settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>
#include <optional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

static const char Help[]
    = "usage: belcara-admin [CONNECTION] init [--force]\n"
      "       belcara-admin [CONNECTION] migrate <INSTALLATION FOLDER | Data.mdb> [--force]\n"
      "       belcara-admin [CONNECTION] upgrade\n"
      "       belcara-admin set-connection KEY=VALUE... [--config PATH]\n"
      "       belcara-admin [--installation DIR] [CONNECTION] backup [TARGET] [--keep N] [--password-stdin]\n"
      "       belcara-admin [--installation DIR] verify TARGET [SNAPSHOT] [--password-stdin]\n"
      "       belcara-admin [--installation DIR] [CONNECTION] restore TARGET [SNAPSHOT] [--customer NO]\n"
      "                     [--password-stdin]\n"
      "       belcara-admin [--installation DIR] list TARGET [--password-stdin]\n"
      "       belcara-admin set-backup-password [--password-stdin]\n"
      "       belcara-admin [--installation DIR] [CONNECTION] verify-audit\n"
      "\n"
      "Sets up and upgrades the PostgreSQL database that several workstations share.\n"
      "\n"
      "Commands:\n"
      "  init      makes the tables of the newest database version on an empty server\n"
      "            database, with the Param row (no login required) and the account\n"
      "            Admin (password admin; change it at once in the program).\n"
      "  migrate   makes the newest tables and copies every row of an installation's\n"
      "            SQLite database (the folder's Data/Data.mdb, or the file) into them,\n"
      "            keys included; the row counts are compared before anything is kept.\n"
      "            Copy the installation's pic/ folder to the shared picture folder too.\n"
      "  upgrade   brings a server database made by an earlier release to the version\n"
      "            this program uses, step by step, each step in a transaction of its\n"
      "            own, and reports what it did. Workstations upgrade by themselves when\n"
      "            they start; this does it beforehand, e.g. for a user who may not\n"
      "            change tables. A database newer than this program is left alone.\n"
      "  backup    backs the records and photos up into the encrypted restic repository\n"
      "            TARGET/Belcara备份/restic (made on the first backup), checks it and keeps the\n"
      "            newest N backups of this installation. TARGET defaults to the folder last\n"
      "            used in the program's menu.\n"
      "  verify    reads every stored byte back (or checks an older backup's folder).\n"
      "  restore   restores SNAPSHOT (default: this installation's newest); with --customer\n"
      "            only that customer's rows and photos. What it replaces is kept in\n"
      "            INSTALLATION/恢复前的数据-<date>/.\n"
      "  list      lists the backups at TARGET, this installation's first.\n"
      "  set-backup-password  writes the password of the backups into\n"
      "            /etc/belcara/backup-password (root's alone), which the other commands and\n"
      "            the nightly backup read; --password-stdin reads it from standard input.\n"
      "  verify-audit  checks that the audit log is whole: every event against the one\n"
      "            before it and the last one recorded outside the database; says from\n"
      "            which event it was changed, removed or forged (exit status 1), and\n"
      "            puts back its append-only guards where they are missing.\n"
      "  set-connection  writes keys of section [Database] into the connection file that\n"
      "            every workstation's program reads (as root; the file stays root's, mode\n"
      "            644), e.g. Engine=PostgreSQL Service=clinic. Keys: Engine Service Host\n"
      "            Port Database User Options ConnectTimeout; KEY= empties a key. Passwords\n"
      "            are refused: they belong in each user's ~/.pgpass.\n"
      "\n"
      "Options:\n"
      "  --force            init: drops the program's tables first (and every row in them);\n"
      "                     migrate: replaces data the server already holds\n"
      "  --service NAME     connect to the service NAME of pg_service.conf\n"
      "  --conninfo \"...\"  connect with libpq keywords, e.g. \"host=db1 dbname=clinic user=belcara\"\n"
      "  --installation DIR the installation folder (default /opt/belcara)\n"
      "  --password-stdin   read the backup password from standard input instead of\n"
      "                     /etc/belcara/backup-password (it is never given as an argument)\n"
      "  --customer NO      restore: only this customer\n"
      "  --config PATH      read (or, with set-connection, write) section [Database] of this\n"
      "                     connection file (default: /etc/belcara/database.conf)\n"
      "  -h, --help         shows this text\n"
      "\n"
      "Without --service or --conninfo the server is the one the connection file names\n"
      "(Engine=PostgreSQL with Service= or Host=/Port=/Database=/User=). Passwords are never\n"
      "given on the command line: libpq reads them from ~/.pgpass (or PGPASSFILE), and the\n"
      "PG* environment variables work as for psql.\n"
      "\n"
      "Progress goes to standard error, one line of results to standard output.\n"
      "\n"
      "Exit status: 0 done, 1 refused or failed (the reason is printed; nothing was changed\n"
      "by the failing step), 2 wrong usage.\n";

static int usage(bool asked = false)
{
    std::fputs(Help, asked ? stdout : stderr);
    return asked ? 0 : 2;
}

// ---- set-connection ----------------------------------------------------------------------

// The key as the connection file spells it, or empty when it is none of its keys.
static QString connectionKey(const QString &key)
{
    for (const QString &k : DbEngine::keys())
        if (k.compare(key, Qt::CaseInsensitive) == 0)
            return k;
    return QString();
}

// Checks the KEY=VALUE pairs; raises AppError naming the first one that cannot be written.
static QList<QPair<QString, QString>> connectionEntries(const QStringList &pairs)
{
    QList<QPair<QString, QString>> entries;
    for (const QString &pair : pairs) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        const QString key = equals > 0 ? connectionKey(pair.left(equals).trimmed()) : QString();
        const QString value = pair.mid(equals + 1).trimmed();
        if (equals > 0 && pair.left(equals).trimmed().compare(QLatin1String("Password"), Qt::CaseInsensitive) == 0)
            throw AppError(QStringLiteral("密码不写入连接文件：请把它放在每个用户的 ~/.pgpass 中（权限 600）"));
        if (key.isEmpty())
            throw AppError(QStringLiteral("无法识别的设置“%1”：应为 键=值，键是 %2 之一")
                               .arg(pair, DbEngine::keys().join(QLatin1Char(' '))));
        if (value.contains(QLatin1Char(';')))
            throw AppError(QStringLiteral("“%1”中不能有分号").arg(pair));
        entries.append({key, value});
    }
    if (entries.isEmpty())
        throw AppError(QStringLiteral("没有给出要写入的设置，例如 Engine=PostgreSQL Service=clinic"));
    return entries;
}

// Writes the entries into section [Database] of the connection file, leaving it owned by root
// (when run as root) and writable by its owner only, then reads it back as the program would.
static int setConnection(const QStringList &pairs, const QString &configPath)
{
    const QString path = configPath.isEmpty() ? DbEngine::defaultConfigPath() : configPath;
    try {
        const auto entries = connectionEntries(pairs);
        if (configPath.isEmpty() && ::geteuid() != 0)
            throw AppError(QStringLiteral("只有 root 能修改 %1：请用 root 身份（例如 sudo）运行").arg(path));
        const QString folder = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(folder))
            throw AppError(QStringLiteral("无法建立文件夹 %1").arg(folder));
        const ProfileFile file(path, 0644);
        for (const auto &e : entries)
            file.writeString(QString::fromLatin1(DbEngine::Section), e.first, e.second);
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        if (::geteuid() == 0 && ::chown(name.constData(), 0, 0) != 0)
            throw AppError(QStringLiteral("无法把 %1 交给 root").arg(path));
        if (::stat(name.constData(), &st) != 0 || ::chmod(name.constData(), st.st_mode & 0755) != 0)
            throw AppError(QStringLiteral("无法修改 %1 的权限").arg(path));
        DbEngine::setConfigPath(path);
        const DbEngine::Choice c = DbEngine::fromConfig();
        if (c.engine == DbEngine::Engine::PostgreSQL)
            std::printf("%s: PostgreSQL, %s\n", qPrintable(path), qPrintable(DbEngine::conninfo(c.server)));
        else
            std::printf("%s: SQLite, the Data/Data.mdb of each installation\n", qPrintable(path));
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
        return 1;
    }
    return 0;
}

static void printAuditOwner(const QSqlDatabase &db)
{
    const QString left = ServerDb::giveAuditLogItsOwner(db);
    if (left.isEmpty())
        std::printf("init: the audit log belongs to the role %s; this role may only read it and add to it\n",
                    ServerDb::AuditOwnerRole);
    else
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(left));
}

// The server --service or --conninfo names, else the one the connection file chooses (--config,
// or the default file); nothing when that file chooses the installation's own database file.
static std::optional<DbEngine::ServerSettings> chosenServer(const QString &service, const QString &conninfo,
                                                            const QString &config)
{
    if (!config.isEmpty())
        DbEngine::setConfigPath(config);
    DbEngine::ServerSettings server;
    if (!service.isEmpty())
        server.service = service;
    else if (!conninfo.isEmpty())
        server.options = conninfo;
    else {
        const DbEngine::Choice c = DbEngine::fromConfig();
        if (c.engine != DbEngine::Engine::PostgreSQL)
            return std::nullopt;
        server = c.server;
    }
    return server;
}

// ---- verify-audit ------------------------------------------------------------------------

// The installation's own database file, or the server the options or the connection file name.
static int verifyAuditCommand(const QString &installation, const QString &service, const QString &conninfo,
                              const QString &config)
{
    const QString name = QStringLiteral("audit");
    try {
        const std::optional<DbEngine::ServerSettings> server = chosenServer(service, conninfo, config);
        QString headPath;
        if (server) {
            DbEngine::openServer(name, DbEngine::conninfo(*server));
            QSqlQuery id(QSqlDatabase::database(name, false));
            if (id.exec(QStringLiteral("SELECT Id FROM BelcaraInstallation")) && id.next())
                headPath = AuditLog::headFileForServer(QFileInfo(Settings::path()).absolutePath(),
                                                       id.value(0).toString());
        } else {
            const QString file = QDir(installation).filePath(QStringLiteral("Data/Data.mdb"));
            if (!QFileInfo::exists(file))
                throw AppError(QStringLiteral("%1 does not exist").arg(file));
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(file);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
            if (!db.open())
                throw AppError(db.lastError().text());
            headPath = AuditLog::headFileBeside(file);
        }
        const AuditLog::Verdict v = AuditLog::verify(QSqlDatabase::database(name, false), AuditLog::readHead(headPath));
        std::printf("%s\n", qPrintable(v.summary()));
        return v.whole ? 0 : 1;
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
        return 1;
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool force = false;
    QString service, conninfo, config, command, source, snapshot, customer,
        installation = QStringLiteral("/opt/belcara");
    int keep = -1;
    bool passwordStdin = false;
    if (args.value(0) == QLatin1String("set-connection")) {
        QStringList pairs;
        for (int i = 1; i < args.size(); ++i) {
            if (args.at(i) == QLatin1String("--config") && i + 1 < args.size())
                config = args.at(++i);
            else if (args.at(i).startsWith(QLatin1String("-")))
                return usage();
            else
                pairs << args.at(i);
        }
        return setConnection(pairs, config);
    }
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        auto value = [&]() -> QString { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--force"))
            force = true;
        else if (a == QLatin1String("--service"))
            service = value();
        else if (a == QLatin1String("--conninfo"))
            conninfo = value();
        else if (a == QLatin1String("--config"))
            config = value();
        else if (a == QLatin1String("--installation"))
            installation = value();
        else if (a == QLatin1String("--password-stdin"))
            passwordStdin = true;
        else if (a == QLatin1String("--customer"))
            customer = value();
        else if (a == QLatin1String("--keep")) {
            bool ok = false;
            keep = value().toInt(&ok);
            if (!ok || keep < 0)
                return usage();
        } else if (a == QLatin1String("-h") || a == QLatin1String("--help"))
            return usage(true);
        else if (command.isEmpty())
            command = a;
        else if (source.isEmpty())
            source = a;
        else if (snapshot.isEmpty())
            snapshot = a;
        else
            return usage();
    }
    if (command == QLatin1String("verify-audit")) {
        if (!source.isEmpty() || force || keep >= 0)
            return usage();
        return verifyAuditCommand(installation, service, conninfo, config);
    }
    const bool backupWork = command == QLatin1String("backup") || command == QLatin1String("verify")
                            || command == QLatin1String("restore") || command == QLatin1String("list")
                            || command == QLatin1String("set-backup-password");
    if (backupWork) {
        AdminBackupArgs b;
        b.command = command;
        b.installation = installation;
        b.target = source;
        b.snapshot = snapshot;
        b.customer = customer;
        b.passwordStdin = passwordStdin;
        // A backup without a folder goes where the program's menu last put one.
        if (command == QLatin1String("backup") && b.target.isEmpty())
            b.target = Settings::readString(QStringLiteral("Backup"), QStringLiteral("Folder"), QString()).trimmed();
        const bool needsTarget = command != QLatin1String("set-backup-password");
        if ((needsTarget && b.target.isEmpty()) || (!needsTarget && !b.target.isEmpty()) || force
            || installation.isEmpty()
            || (!snapshot.isEmpty() && command != QLatin1String("verify") && command != QLatin1String("restore"))
            || (!customer.isEmpty() && command != QLatin1String("restore")))
            return usage();
        b.keep = keep >= 0
                     ? keep
                     : Settings::readString(QStringLiteral("Backup"), QStringLiteral("Keep"), QStringLiteral("10"))
                           .toInt();
        if (command == QLatin1String("verify") || command == QLatin1String("list") || !needsTarget)
            return adminBackup(b);
        try {
            const std::optional<DbEngine::ServerSettings> server = chosenServer(service, conninfo, config);
            b.server = server ? &*server : nullptr;
            return adminBackup(b);
        } catch (const AppError &e) {
            std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
            return 1;
        }
    }
    if (keep >= 0 || installation != QLatin1String("/opt/belcara") || passwordStdin || !customer.isEmpty()
        || !snapshot.isEmpty())
        return usage();
    if (command != QLatin1String("init") && command != QLatin1String("migrate") && command != QLatin1String("upgrade"))
        return usage();
    if (command == QLatin1String("upgrade") && force)
        return usage();
    if ((command == QLatin1String("migrate")) == source.isEmpty())
        return usage();

    try {
        const std::optional<DbEngine::ServerSettings> server = chosenServer(service, conninfo, config);
        if (!server)
            throw AppError(QStringLiteral("%1 does not choose a server (section [Database], Engine=PostgreSQL); "
                                          "give --service or --conninfo")
                               .arg(DbEngine::configPath()));
        const QString name = QStringLiteral("admin");
        DbEngine::openServer(name, DbEngine::conninfo(*server));
        const QSqlDatabase db = QSqlDatabase::database(name, false);
        if (command == QLatin1String("init")) {
            ServerDb::init(db, force);
            std::printf("init: the tables of database version %d, the Param row and the account Admin "
                        "are on the server\n",
                        SchemaUpgrade::newestVersion());
            printAuditOwner(db);
        } else if (command == QLatin1String("upgrade")) {
            const SchemaUpgrade::Report r = SchemaUpgrade::upgrade(db, QString());
            if (r.from == r.to)
                std::printf("upgrade: the database is at version %d already; nothing to do\n", r.to);
            else if (r.done.isEmpty())
                std::printf("upgrade: another program upgraded the database from version %d to %d meanwhile\n", r.from,
                            r.to);
            else {
                std::printf("upgrade: from version %d to %d\n", r.from, r.to);
                for (const QString &step : r.done)
                    std::printf("  %s\n", qPrintable(step));
            }
        } else {
            const QString path = ServerDb::sqlitePathFor(source);
            const auto counts = ServerDb::migrate(path, db, force);
            std::printf("migrate: %s\n", qPrintable(path));
            for (const auto &c : counts)
                std::printf("  %-10s %8lld rows in the file, %8lld on the server\n", qPrintable(c.table),
                            static_cast<long long>(c.source), static_cast<long long>(c.copied));
            std::printf("the row counts agree; the server holds database version %d; put the pic/ folder on the "
                        "shared folder as well\n",
                        SchemaUpgrade::newestVersion());
        }
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
        return 1;
    }
    return 0;
}
