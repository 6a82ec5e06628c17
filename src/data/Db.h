#pragma once
// Running statements on a connection: Jet text in, the engine's dialect out, errors as AppError
// with the engine's text. Every statement sent is offered to an optional observer (tests count
// the statements a window sends).

#include "data/AppError.h"
#include "data/JetSql.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <functional>

// A statement refused because it would repeat a value of a unique index (another workstation or
// copy of the program saved the same key first). The text is the engine's.
class DuplicateKey : public AppError {
public:
    using AppError::AppError;
};

namespace Db {

// True when the engine refused a statement for a repeated unique key.
bool isDuplicateKey(const QSqlError &error);

// True when the engine refused a write because the database is read-only for this user.
bool isReadOnly(const QSqlError &error, JetSql::Dialect engine);
// The one message every refused write then shows.
QString readOnlyText();

JetSql::Dialect dialect(const QSqlDatabase &db);
bool isPostgres(const QSqlDatabase &db);

// Runs a statement written for the connection's own engine (no translation), forward only;
// raises AppError with the engine's text when it fails. For schema and maintenance work.
QSqlQuery execNative(const QSqlDatabase &db, const QString &sql);

// Translates and runs a statement; raises AppError with the engine's text when it fails
// (DuplicateKey for a repeated unique key; readOnlyText() when the database may only be read).
QSqlQuery run(const QSqlDatabase &db, const QString &jet);

// Runs an already translated statement with bound values (used by table data sets).
QSqlQuery runPrepared(const QSqlDatabase &db, const QString &sql, const QVariantList &values);

// The engine's text for a failed statement or connection.
QString errorText(const QSqlError &error);

// Observer of every Jet statement sent through run(); nullptr for none.
void setObserver(std::function<void(const QString &jet)> observer);

} // namespace Db
