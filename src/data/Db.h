#pragma once
// Running statements on a connection: Jet text in, the engine's dialect out, errors as AppError
// with the engine's text. Every statement sent is offered to an optional observer (tests count
// the statements a window sends).

#include "JetSql.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <functional>

namespace Db {

JetSql::Dialect dialect(const QSqlDatabase &db);

// Translates and runs a statement; raises AppError with the engine's text when it fails.
QSqlQuery run(const QSqlDatabase &db, const QString &jet);

// Runs an already translated statement with bound values (used by table data sets).
QSqlQuery runPrepared(const QSqlDatabase &db, const QString &sql, const QVariantList &values);

// The engine's text for a failed statement or connection.
QString errorText(const QSqlError &error);

// Observer of every Jet statement sent through run(); nullptr for none.
void setObserver(std::function<void(const QString &jet)> observer);

} // namespace Db
