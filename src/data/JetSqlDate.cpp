// Jet date literals (the text between # signs) read into the stored form YYYY-MM-DD[ HH:MM:SS].

#include "data/JetSql.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

namespace JetSql {

namespace {

QDate readDate(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,4})([-/.])(\\d{1,2})\\2(\\d{1,4})$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return {};
    const QString first = m.captured(1);
    const QString last = m.captured(4);
    int year, month, day;
    if (first.size() == 4) {
        if (last.size() > 2)
            return {};
        year = first.toInt();
        month = m.captured(3).toInt();
        day = last.toInt();
    } else {
        if (first.size() > 2)
            return {};
        month = first.toInt();
        day = m.captured(3).toInt();
        year = last.toInt();
        if (last.size() <= 2)
            year += year < 30 ? 2000 : 1900;
    }
    if (year < 100)
        return {};
    return QDate(year, month, day); // invalid when the month or day is out of range
}

// The time of day; an invalid QTime when the text is not one.
QTime readTime(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,2}):(\\d{1,2})(?::(\\d{1,2}))?(?:\\s*([AaPp][Mm]))?$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return {};
    int hour = m.captured(1).toInt();
    const int minute = m.captured(2).toInt();
    const int second = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    const QString half = m.captured(4).toUpper();
    if (!half.isEmpty()) {
        if (hour < 1 || hour > 12)
            return {};
        hour = (hour % 12) + (half == QLatin1String("PM") ? 12 : 0);
    }
    return QTime(hour, minute, second);
}

} // namespace

QString dateLiteralToIso(const QString &literal)
{
    const QString text = literal.trimmed();
    const int blank = text.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QDate date = readDate(blank < 0 ? text : text.left(blank));
    if (!date.isValid())
        return {};
    QString iso = QStringLiteral("%1-%2-%3")
                      .arg(date.year(), 4, 10, QLatin1Char('0'))
                      .arg(date.month(), 2, 10, QLatin1Char('0'))
                      .arg(date.day(), 2, 10, QLatin1Char('0'));
    if (blank < 0)
        return iso;
    const QTime time = readTime(text.mid(blank).trimmed());
    if (!time.isValid())
        return {};
    if (time != QTime(0, 0))
        iso += QLatin1Char(' ') + time.toString(QStringLiteral("HH:mm:ss"));
    return iso;
}

} // namespace JetSql
