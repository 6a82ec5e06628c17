#pragma once
// What a database holds, by version, and the upgrade of an older one.
//
// Version 1 is the database of the first release: the five original tables and nothing else.
// From version 2 on, the one-row table BelcaraSchema(Version) says which version a database
// is. The original tables are never altered; each later version only adds tables.
//
// An upgrade runs the missing steps in order, each in a transaction of its own that also
// writes the new version number (and, once the audit log exists, its event), so a failing step
// leaves the database as the previous step left it. An SQLite file is first copied aside,
// whole, to Data-v<N>-<yyyyMMdd-HHmmss>.mdb beside it. Programs starting at once on one old
// database queue on the write lock (SQLite) or an advisory lock (PostgreSQL); whoever comes
// second finds the work done and goes on.

#include "data/AppError.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

namespace SchemaUpgrade {

// A database this program cannot use as it is: newer than the program, or in need of an
// upgrade that cannot be written. The text is for the user; nothing has been changed.
class Refused : public AppError {
public:
    using AppError::AppError;
};

struct Step {
    int version = 0;     // the version the database has after this step
    QString description; // for reports and the audit log
    QStringList sqlite;  // the statements, one per entry, per engine
    QStringList postgres;
    // Work a statement cannot do, in the step's transaction: before its statements (a check
    // that may refuse the step) and after them.
    std::function<void(const QSqlDatabase &)> before, after;
};

// The program's steps, from version 2 up, in order.
const QVector<Step> &steps();

// The newest version the steps make (the program's version of the database).
int newestVersion(const QVector<Step> &steps = SchemaUpgrade::steps());

// The version a connection's database holds: 1 without BelcaraSchema.
int version(const QSqlDatabase &db);

// The statements that take a freshly made version-1 database to the newest version, the
// version row included; run inside the maker's own transaction (belcara-mkdb, init, migrate).
QStringList newestStatements(bool postgres);

struct Report {
    int from = 1;     // the version found
    int to = 1;       // the version left
    QString backup;   // the SQLite copy made aside, or empty
    QStringList done; // the steps this call ran (another program may have run them)
};

// Brings the database to the newest version of the steps. sqliteFile is the database file of
// an SQLite connection (its copy aside is made beside it); empty for a server. Raises Refused
// for a newer or read-only database, AppError when a step fails.
Report upgrade(const QSqlDatabase &db, const QString &sqliteFile, const QVector<Step> &steps = SchemaUpgrade::steps());

// The name of the copy made before upgrading from the version at the moment given.
QString backupName(const QString &sqliteFile, int fromVersion, const QDateTime &when);

} // namespace SchemaUpgrade
