#pragma once
// The supplied database: its tables, made from the schema kept in the resources.

#include <QString>
#include <QStringList>

namespace Schema {

// Creates a new database file of the newest version: the five tables and the initial rows (one
// Param row with MustLogin false, the account Admin), then every later version's tables.
// Raises AppError when the file exists or cannot be made.
void createDatabase(const QString &path);

// The newest schema's statements, one per entry, in SQLite's dialect.
QStringList statements();

// The statements of a schema script kept in the resources (";" ends one; "--" lines are
// comments); reading stops at a line equal to stopAt when one is given.
QStringList scriptStatements(const QString &resource, const QString &stopAt = QString());

} // namespace Schema
