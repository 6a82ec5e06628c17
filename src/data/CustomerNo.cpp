#include "data/CustomerNo.h"

#include "data/AppError.h"
#include "data/JetSql.h"
#include "data/Statements.h"
#include "data/Unit_DataMod.h"

namespace CustomerNo {

QString DateStamp(const QDate &date)
{
    return QString::number(date.year()) + QStringLiteral("%1").arg(date.month(), 2, 10, QLatin1Char('0'))
           + QStringLiteral("%1").arg(date.day(), 2, 10, QLatin1Char('0'));
}

int toInteger(const QString &text)
{
    auto fail = [&text]() -> int { throw AppError(QStringLiteral("'%1' is not a valid integer value").arg(text)); };
    int i = 0;
    const int n = text.size();
    while (i < n && text.at(i) == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < n && (text.at(i) == QLatin1Char('$') || text.at(i) == QLatin1Char('x') || text.at(i) == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text.at(i) == QLatin1Char('0')
               && (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return fail();
    qint64 value = 0;
    for (; i < n; ++i) {
        const QChar c = text.at(i);
        int digit = -1;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digit = c.unicode() - '0';
        else if (base == 16 && c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            digit = c.unicode() - 'a' + 10;
        else if (base == 16 && c >= QLatin1Char('A') && c <= QLatin1Char('F'))
            digit = c.unicode() - 'A' + 10;
        if (digit < 0)
            return fail();
        value = value * base + digit;
        if (value > qint64(INT_MAX) + 1)
            return fail();
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return fail();
    return int(value);
}

QString nextRunningNumber(const QString &maxId)
{
    QString number = QString::number(qint64(toInteger(maxId)) + 1);
    if (number.size() < 4)
        number = QString(4 - number.size(), QLatin1Char('0')) + number;
    return number;
}

QString maxIdStatement(const QString &prefix)
{
    if (prefix.size() == 10)
        return Statements::maxCustomerNo(prefix);
    return QStringLiteral("SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo WHERE LEFT(客户编号,%1) = '")
               .arg(prefix.size())
           + JetSql::quoted(prefix) + QStringLiteral("' ORDER BY 客户编号 DESC");
}

QString MakeCustomerNo(SharedQuery &query, const QString &hospitalNo, const QDate &today)
{
    const QString prefix = hospitalNo + DateStamp(today);
    query.close();
    query.setSql(QString());
    query.setSql(maxIdStatement(prefix));
    query.open();
    if (query.isEmpty())
        return prefix + QStringLiteral("0001");
    const QVariant maxId = query.value(0, 0);
    return prefix + nextRunningNumber(maxId.isNull() ? QString() : maxId.toString());
}

} // namespace CustomerNo
