#include "data/AuditQuery.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Db.h"

#include <QDateTime>
#include <QHash>
#include <QSqlQuery>
#include <QTimeZone>

namespace AuditQuery {

namespace {

QString stamp(const QDate &day)
{
    return QDateTime(day, QTime(0, 0), Qt::LocalTime).toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

// The WHERE clause of a filter (and a position), with its values to bind in order.
QString where(const Filter &f, const Event *after, QVariantList &binds)
{
    QStringList conds;
    if (f.from.isValid()) {
        conds << QStringLiteral("At >= ?");
        binds << stamp(f.from);
    }
    if (f.to.isValid()) {
        conds << QStringLiteral("At < ?");
        binds << stamp(f.to.addDays(1));
    }
    if (!f.user.isEmpty()) {
        conds << QStringLiteral("UserName = ?");
        binds << f.user;
    }
    if (!f.action.isEmpty()) {
        conds << QStringLiteral("Action = ?");
        binds << f.action;
    }
    if (!f.customerNo.isEmpty()) {
        conds << QStringLiteral("CustomerNo = ?");
        binds << f.customerNo;
    }
    if (after) {
        // The first condition is a range of the time index; the second drops the events of
        // the same moment already shown.
        conds << QStringLiteral("At <= ? AND (At < ? OR id < ?)");
        binds << after->at << after->at << after->id;
    }
    return conds.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conds.join(QStringLiteral(" AND "));
}

const char Columns[] = "SELECT id, At, UserName, Host, Action, CustomerNo, CaseId, Detail FROM AuditLog";

Event read(const QSqlQuery &q)
{
    Event e;
    e.id = q.value(0).toLongLong();
    e.at = q.value(1).toString();
    e.user = q.value(2).toString();
    e.host = q.value(3).toString();
    e.action = q.value(4).toString();
    e.customerNo = q.value(5).toString();
    e.caseId = q.value(6);
    e.detail = q.value(7).toString();
    return e;
}

} // namespace

QVector<Event> page(const QSqlDatabase &db, const Filter &filter, int size, const Event *after)
{
    QVariantList binds;
    const QString sql = QLatin1String(Columns) + where(filter, after, binds)
                        + QStringLiteral(" ORDER BY At DESC, id DESC LIMIT %1").arg(qMax(1, size));
    QSqlQuery q = Db::runPrepared(db, sql, binds);
    QVector<Event> out;
    while (q.next())
        out << read(q);
    return out;
}

QString detailText(const QString &storedDetail)
{
    static const QHash<QString, QString> words{{QStringLiteral("tile"), QStringLiteral("缩略图")},
                                               {QStringLiteral("compare"), QStringLiteral("对比")},
                                               {QStringLiteral("manual"), QStringLiteral("手动对齐")},
                                               {QStringLiteral("auto"), QStringLiteral("自动对齐")}};
    return words.value(storedDetail, storedDetail);
}

QString localTime(const QString &storedAt)
{
    QDateTime t = QDateTime::fromString(storedAt, Qt::ISODateWithMs);
    if (!t.isValid())
        return storedAt;
    return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString csvField(const QString &text)
{
    QString t = text;
    if (!t.isEmpty() && QStringLiteral("=+-@").contains(t.at(0)))
        t.prepend(QLatin1Char('\''));
    const bool quote = t.contains(QLatin1Char(',')) || t.contains(QLatin1Char('"')) || t.contains(QLatin1Char('\n'))
                       || t.contains(QLatin1Char('\r')) || t.startsWith(QLatin1Char(' '));
    if (!quote)
        return t;
    t.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + t + QLatin1Char('"');
}

qint64 exportCsv(const QSqlDatabase &db, const Filter &filter, QIODevice &out)
{
    auto write = [&](const QByteArray &bytes) {
        if (out.write(bytes) != bytes.size())
            throw AppError(QStringLiteral("无法写入导出文件：%1").arg(out.errorString()));
    };
    write(QByteArray("\xEF\xBB\xBF"));
    const QStringList header{QStringLiteral("时间"), QStringLiteral("使用人"),   QStringLiteral("计算机"),
                             QStringLiteral("操作"), QStringLiteral("客户编号"), QStringLiteral("案例"),
                             QStringLiteral("说明")};
    write(header.join(QLatin1Char(',')).toUtf8() + "\r\n");
    QVariantList binds;
    const QString sql = QLatin1String(Columns) + where(filter, nullptr, binds)
                        + QStringLiteral(" ORDER BY At DESC, id DESC");
    QSqlQuery q = Db::runPrepared(db, sql, binds);
    qint64 n = 0;
    while (q.next()) {
        const Event e = read(q);
        const QStringList fields{localTime(e.at),
                                 e.user,
                                 e.host,
                                 AuditLog::labelOfCode(e.action),
                                 e.customerNo,
                                 e.caseId.isNull() ? QString() : e.caseId.toString(),
                                 detailText(e.detail)};
        QStringList quoted;
        for (const QString &f : fields)
            quoted << csvField(f);
        write(quoted.join(QLatin1Char(',')).toUtf8() + "\r\n");
        ++n;
    }
    return n;
}

} // namespace AuditQuery
