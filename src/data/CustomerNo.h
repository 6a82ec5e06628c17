#pragma once
// Customer numbers: the hospital number, the day as YYYYMMDD and a four-digit running number
// that starts at "0001" for every hospital number and day, e.g. A1200612070003.

#include <QDate>
#include <QString>

class SharedQuery;

namespace CustomerNo {

// The date as eight digits: year, month and day, month and day with a leading zero below 10.
QString DateStamp(const QDate &date);

// Reads text as the platform's string-to-integer conversion does (leading blanks, a sign,
// decimal digits, or hexadecimal after "$" or "0x"); raises AppError
// "'<text>' is not a valid integer value" otherwise.
int toInteger(const QString &text);

// The running number that follows maxId, the last four characters of the greatest saved number
// of the prefix: one more, at least four digits with leading zeros. Raises as toInteger does.
QString nextRunningNumber(const QString &maxId);

// The statement that reads the last four characters of the saved numbers beginning with prefix,
// greatest first. A prefix of another length than the usual ten (a hospital number of one or
// three characters) is compared over its own length.
QString maxIdStatement(const QString &prefix);

// Makes the number of a new customer: hospitalNo + DateStamp(today) + the running number read
// on the shared query ("0001" when no saved number has that prefix).
QString MakeCustomerNo(SharedQuery &query, const QString &hospitalNo, const QDate &today);

} // namespace CustomerNo
