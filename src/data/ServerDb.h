#pragma once
// Setting up a PostgreSQL server for the program: the tables with their initial rows, and the
// copy of an installation's SQLite database into it. Used by belcara-admin and by tests.
//
// Everything is done in one transaction (PostgreSQL's DDL is transactional): a failure leaves
// the server as it was. Errors raise AppError with the server's text.

#include <QSqlDatabase>
#include <QStringList>
#include <QVector>

namespace ServerDb {

// The five tables as the statements name them, in the order they are made and copied.
const QStringList &tables();

// The newest schema's statements in PostgreSQL's dialect (the five tables, then what later
// versions added); the two initial rows (a Param row with MustLogin false, the account
// Admin/admin with IsSYS true) only when asked for.
QStringList schemaStatements(bool withInitialRows);

// Which of the five tables the server's search path holds (as the server names them).
QStringList existingTables(const QSqlDatabase &db);

// What the server holds beyond a fresh init ("tuserinfo: 3 rows; class: 2 rows"), empty when
// it holds nothing or only the initial rows.
QString dataBeyondInit(const QSqlDatabase &db);

// Creates the tables and the initial rows. When any of the five tables exists already it
// refuses, unless force, which drops the five tables first (and every row in them).
void init(const QSqlDatabase &db, bool force);

// The role that owns the audit log on the server, so that the program's role (the one
// connected) may only read it and add to it: no change, delete, truncation or removal of its
// guards. Needs a connection that may create roles; returns an empty text when done, otherwise
// what stopped it and the statements for the server's administrator (as postgres) to run.
extern const char AuditOwnerRole[];
QStringList auditOwnerStatements(const QString &programRole);
QString giveAuditLogItsOwner(const QSqlDatabase &db);

struct TableCount {
    QString table;
    qint64 source = 0;
    qint64 copied = 0;
};

// The SQLite database of an installation: the folder's Data/Data.mdb, or the file itself.
QString sqlitePathFor(const QString &folderOrFile);

// Copies every row of the five tables of the SQLite database (and of its audit log, when it has
// one) into the server, keeping each row's key, after making the newest tables afresh. A file
// newer than this program is refused. Refuses when the server holds data beyond a fresh
// init, unless force. The rows are counted on both sides before the transaction commits; a
// difference raises AppError and nothing is kept. Columns the server lacks are an error.
QVector<TableCount> migrate(const QString &sqlitePath, const QSqlDatabase &db, bool force);

} // namespace ServerDb
