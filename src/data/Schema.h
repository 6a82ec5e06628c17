#pragma once
// The supplied database: its tables, made from the schema kept in the resources.

#include <QString>

namespace Schema {

// Creates a new database file with the five tables and the initial rows (one Param row with
// MustLogin false, the account Admin). Raises AppError when the file exists or cannot be made.
void createDatabase(const QString &path);

// The schema's statements, one per entry, in SQLite's dialect.
QStringList statements();

} // namespace Schema
