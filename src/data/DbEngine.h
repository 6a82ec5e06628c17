#pragma once
// Which database engine holds the records, from the machine's connection file (by default
// /etc/belcara/database.conf), which only root may change:
//
//   [Database]
//   Engine=PostgreSQL          absent or SQLite: the file Data/Data.mdb beside the program
//   Service=clinic             a service of pg_service.conf (host, port, database, user)
//   Host=, Port=, Database=, User=    single libpq settings, when no service file is used
//   Options=                   further libpq keywords, e.g. "sslmode=verify-full sslrootcert=..."
//   ConnectTimeout=5           seconds before an unreachable server is given up
//
// The file follows the settings file's rules (sections and keys without regard to case, GBK or
// UTF-8). A missing file means the local database. The file is refused, and the program does
// not start, when it is a symbolic link, not a regular file, unreadable, owned by anyone but
// root (or the user running the program), or writable by group or others: whoever can change
// it decides which server receives every login and which records are shown.
//
// Server connections are encrypted: sslmode=require unless Options names another sslmode,
// which is how an administrator allows an unencrypted connection (sslmode=disable) or asks for
// the server's certificate to be checked (verify-full). A sslmode in a service file or in the
// PG* environment does not weaken it.
//
// Passwords are never read from this file: libpq finds them in ~/.pgpass (or the file named by
// PGPASSFILE), as it finds PGSERVICE, PGHOST and the rest of its environment.
//
// The shared settings file once held this section; a [Database] section there is refused at
// start-up (see refuseServerInSettings).

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace DbEngine {

enum class Engine { SQLite, PostgreSQL };

struct ServerSettings {
    QString service;
    QString host;
    QString port;
    QString database;
    QString user;
    QString options; // libpq keywords as "key=value key=value"
    int connectTimeout = 5;
};

struct Choice {
    Engine engine = Engine::SQLite;
    ServerSettings server;
};

// The section and its keys.
extern const char *const Section;
QStringList keys();

// Where the connection file lives unless start-up says otherwise.
QString defaultConfigPath();
// The connection file used by fromConfig; set once at start-up (tests use a temporary file).
void setConfigPath(const QString &path);
QString configPath();

// The connection file's content; empty when there is none. Raises AppError naming the file and
// the problem when the file must not be trusted (see above) or cannot be read.
QByteArray readConfig(const QString &path);

// Reads section Database of the connection file. An Engine that is neither SQLite nor
// PostgreSQL raises AppError naming it.
Choice fromConfig();

// Raises AppError when the shared settings file (Settings::path()) has a [Database] section:
// whoever wrote it could be any user, and starting on the local database instead would show an
// empty clinic. The message names both files.
void refuseServerInSettings();

// What start-up does: refuseServerInSettings, then fromConfig.
Choice choose();

// The libpq connection string for the settings: connect_timeout and sslmode=require first,
// then the given keys in the order service, host, port, dbname, user, then the options (a
// later key wins in libpq, so Options may choose another sslmode).
QString conninfo(const ServerSettings &server);

// A value quoted for a libpq connection string when it needs to be ('' for empty, \ and '
// escaped).
QString conninfoValue(const QString &value);

// Opens a QPSQL connection under the name (added if missing) with the connection string;
// raises AppError with libpq's text when the server cannot be reached or refuses.
void openServer(const QString &connectionName, const QString &conninfo);

} // namespace DbEngine
