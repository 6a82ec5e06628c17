// belcara-admin: sets up a PostgreSQL server for several workstations, and upgrades one.
//
//   belcara-admin [connection] init [--force]
//   belcara-admin [connection] migrate <installation folder | Data.mdb> [--force]
//   belcara-admin [connection] upgrade
//
// connection: --service NAME (pg_service.conf), --conninfo "host=... dbname=...", or by default
// section [Database] of the settings file (--settings PATH, default the machine's file).
// Passwords come from ~/.pgpass as for every libpq program.
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/SchemaUpgrade.h"
#include "data/ServerDb.h"
#include "data/Settings.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <cstdio>

static const char Help[] =
    "usage: belcara-admin [CONNECTION] init [--force]\n"
    "       belcara-admin [CONNECTION] migrate <INSTALLATION FOLDER | Data.mdb> [--force]\n"
    "       belcara-admin [CONNECTION] upgrade\n"
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
    "\n"
    "Options:\n"
    "  --force            init: drops the program's tables first (and every row in them);\n"
    "                     migrate: replaces data the server already holds\n"
    "  --service NAME     connect to the service NAME of pg_service.conf\n"
    "  --conninfo \"...\"  connect with libpq keywords, e.g. \"host=db1 dbname=clinic user=belcara\"\n"
    "  --settings PATH    read section [Database] of this settings file (default: the\n"
    "                     machine's file, /var/lib/belcara/Belcara.ini)\n"
    "  -h, --help         shows this text\n"
    "\n"
    "Without --service or --conninfo the server is the one the settings file names\n"
    "(Engine=PostgreSQL with Service= or Host=/Port=/Database=/User=). Passwords are never\n"
    "given on the command line: libpq reads them from ~/.pgpass (or PGPASSFILE), and the\n"
    "PG* environment variables work as for psql.\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed (the reason is printed; nothing was changed\n"
    "by the failing step), 2 wrong usage.\n";

static int usage(bool asked = false)
{
    std::fputs(Help, asked ? stdout : stderr);
    return asked ? 0 : 2;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool force = false;
    QString service, conninfo, settings, command, source;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        auto value = [&]() -> QString { return i + 1 < args.size() ? args.at(++i) : QString(); };
        if (a == QLatin1String("--force"))
            force = true;
        else if (a == QLatin1String("--service"))
            service = value();
        else if (a == QLatin1String("--conninfo"))
            conninfo = value();
        else if (a == QLatin1String("--settings"))
            settings = value();
        else if (a == QLatin1String("-h") || a == QLatin1String("--help"))
            return usage(true);
        else if (command.isEmpty())
            command = a;
        else if (source.isEmpty())
            source = a;
        else
            return usage();
    }
    if (command != QLatin1String("init") && command != QLatin1String("migrate")
        && command != QLatin1String("upgrade"))
        return usage();
    if (command == QLatin1String("upgrade") && force)
        return usage();
    if ((command == QLatin1String("migrate")) == source.isEmpty())
        return usage();

    try {
        if (!settings.isEmpty())
            Settings::setPath(settings);
        DbEngine::ServerSettings server;
        if (!service.isEmpty())
            server.service = service;
        else if (!conninfo.isEmpty())
            server.options = conninfo;
        else {
            const DbEngine::Choice c = DbEngine::fromSettings();
            if (c.engine != DbEngine::Engine::PostgreSQL)
                throw AppError(QStringLiteral("%1 does not choose a server (section [Database], Engine=PostgreSQL); "
                                              "give --service or --conninfo")
                                   .arg(Settings::path()));
            server = c.server;
        }
        const QString name = QStringLiteral("admin");
        DbEngine::openServer(name, DbEngine::conninfo(server));
        const QSqlDatabase db = QSqlDatabase::database(name, false);
        if (command == QLatin1String("init")) {
            ServerDb::init(db, force);
            std::printf("init: the tables of database version %d, the Param row and the account Admin "
                        "are on the server\n",
                        SchemaUpgrade::newestVersion());
        } else if (command == QLatin1String("upgrade")) {
            const SchemaUpgrade::Report r = SchemaUpgrade::upgrade(db, QString());
            if (r.from == r.to)
                std::printf("upgrade: the database is at version %d already; nothing to do\n", r.to);
            else if (r.done.isEmpty())
                std::printf("upgrade: another program upgraded the database from version %d to %d meanwhile\n",
                            r.from, r.to);
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
