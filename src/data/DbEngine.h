#pragma once
// Which database engine holds the records, from section Database of the settings file:
//
//   [Database]
//   Engine=PostgreSQL          absent or SQLite: the file Data/Data.mdb beside the program
//   Service=clinic             a service of pg_service.conf (host, port, database, user)
//   Host=, Port=, Database=, User=    single libpq settings, when no service file is used
//   Options=                   further libpq keywords, e.g. "sslmode=require"
//   ConnectTimeout=5           seconds before an unreachable server is given up
//
// Passwords are never read from the settings file: libpq finds them in ~/.pgpass (or the file
// named by PGPASSFILE), as it finds PGSERVICE, PGHOST and the rest of its environment.

#include <QString>

namespace DbEngine {

enum class Engine { SQLite, PostgreSQL };

struct ServerSettings {
    QString service;
    QString host;
    QString port;
    QString database;
    QString user;
    QString options;        // libpq keywords as "key=value key=value"
    int connectTimeout = 5;
};

struct Choice {
    Engine engine = Engine::SQLite;
    ServerSettings server;
};

// Reads section Database of the settings file. An Engine that is neither SQLite nor
// PostgreSQL raises AppError naming it.
Choice fromSettings();

// The libpq connection string for the settings: connect_timeout first, then the given keys in
// the order service, host, port, dbname, user, then the options (a later key wins in libpq).
QString conninfo(const ServerSettings &server);

// A value quoted for a libpq connection string when it needs to be ('' for empty, \ and '
// escaped).
QString conninfoValue(const QString &value);

// Opens a QPSQL connection under the name (added if missing) with the connection string;
// raises AppError with libpq's text when the server cannot be reached or refuses.
void openServer(const QString &connectionName, const QString &conninfo);

} // namespace DbEngine
