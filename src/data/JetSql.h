#pragma once
// Translates statements written in the Jet (Access) dialect into the dialect of the engine behind
// the connection. Works on tokens: the inside of a quoted string is never changed.

#include <QString>

namespace JetSql {

enum class Dialect { SQLite, PostgreSQL };

// The statement in the engine's dialect. Handles bracketed names, DELETE * FROM, #date# literals,
// LEFT(x,n)/RIGHT(x,n), true/false.
QString translate(const QString &jet, Dialect dialect = Dialect::SQLite);

// A value ready to stand between single quotes in a statement: every ' doubled.
QString quoted(const QString &value);

// A Jet date literal's text ("2003-1-15", "1/15/2003", "2003/01/15 10:30") as the stored form
// "YYYY-MM-DD" (with " HH:MM:SS" when a time is given). Empty when it is not a date.
QString dateLiteralToIso(const QString &literal);

} // namespace JetSql
