// belcara-admin: sets up a PostgreSQL server for several workstations.
//
//   belcara-admin [connection] init [--force]
//   belcara-admin [connection] migrate <installation folder | Data.mdb> [--force]
//
// connection: --service NAME (pg_service.conf), --conninfo "host=... dbname=...", or by default
// section [Database] of the settings file (--settings PATH, default the machine's file).
// Passwords come from ~/.pgpass as for every libpq program.
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/ServerDb.h"
#include "data/Settings.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <cstdio>

static int usage()
{
    std::fprintf(stderr,
                 "usage: belcara-admin [--service NAME | --conninfo \"KEY=VALUE ...\" | --settings PATH]\n"
                 "                     init [--force]\n"
                 "       belcara-admin [connection options] migrate <installation folder | Data.mdb> [--force]\n"
                 "  init     creates the tables, the Param row (no login) and the account Admin/admin\n"
                 "  migrate  copies an installation's SQLite database into the server\n"
                 "  --force  replaces tables that are already there (and every row in them)\n");
    return 2;
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
            return usage();
        else if (command.isEmpty())
            command = a;
        else if (source.isEmpty())
            source = a;
        else
            return usage();
    }
    if (command != QLatin1String("init") && command != QLatin1String("migrate"))
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
            std::printf("init: the five tables, the Param row and the account Admin are on the server\n");
        } else {
            const QString path = ServerDb::sqlitePathFor(source);
            const auto counts = ServerDb::migrate(path, db, force);
            std::printf("migrate: %s\n", qPrintable(path));
            for (const auto &c : counts)
                std::printf("  %-10s %8lld rows in the file, %8lld on the server\n", qPrintable(c.table),
                            static_cast<long long>(c.source), static_cast<long long>(c.copied));
            std::printf("the row counts agree; put the pic/ folder on the shared folder as well\n");
        }
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-admin: %s\n", qPrintable(e.text()));
        return 1;
    }
    return 0;
}
