#pragma once
// Translates statements written in the Jet (Access) dialect into the dialect of the engine behind
// the connection. Works on tokens: the inside of a quoted string is never changed.
//
// What changes, outside string literals:
//
//                      SQLite                          PostgreSQL
//   [Name]             "Name"                          name folded to lower case, as an unquoted
//                                                      CREATE TABLE made it; written in double
//                                                      quotes only when it is a reserved word or
//                                                      holds characters outside letters, digits,
//                                                      _ and $ ([Class] -> class, [User] -> "user")
//   DELETE * FROM      DELETE FROM                     DELETE FROM
//   #date#             'YYYY-MM-DD[ HH:MM:SS]'         the same text literal (dates are stored as
//                                                      this zero-padded text in both engines)
//   LEFT(x,n)          substr(x,1,n)                   left(x,n)
//   RIGHT(x,n)         substr(x,-n)                    right(x,n)
//   true / false       1 / 0                           unchanged
//   like               unchanged (folds ASCII case)    ILIKE (Jet's like ignores case)
//
// Names are identifier characters: letters, digits, _, $ and every non-ASCII character, so
// Chinese column names are plain names. A keyword is recognised only as a whole name (never
// inside Istrue or 手术true) and not right after ".", ":" or "@". Text in double quotes is passed
// on unchanged as a quoted name (our statements never use Jet's double-quoted strings).
//
// Errors raise AppError: a date literal that is not a valid date or lacks its closing #,
// a [ without ], LEFT or RIGHT without two arguments or without a closing parenthesis.

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
//
// Read as Jet reads it: year-month-day when the first number has four digits, otherwise
// month/day/year (a year of one or two digits is 2000-2029 for 0-29, 1930-1999 for 30-99);
// the separator is -, / or . (the same one twice). The time is H:MM or H:MM:SS, optionally
// followed by AM or PM. Years run from 100 to 9999. A time of exactly midnight is the date
// alone, since Jet holds the two as the same value.
QString dateLiteralToIso(const QString &literal);

} // namespace JetSql
