#include "consent/Consent.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Db.h"
#include "data/Transaction.h"

#include <QSqlQuery>
#include <QVariant>

namespace Consent {

namespace {

const char *const Labels[] = {"仅存档", "可向顾客展示", "可用于宣传"};

QVariant dateValue(const QDate &d)
{
    return d.isValid() ? QVariant(d.toString(QStringLiteral("yyyy-MM-dd"))) : QVariant(QString());
}

QString levelDetail(Level from, Level to)
{
    return QStringLiteral("%1 -> %2").arg(static_cast<int>(from)).arg(static_cast<int>(to));
}

} // namespace

QString label(Level level)
{
    return QString::fromUtf8(Labels[static_cast<int>(level)]);
}

QStringList labels()
{
    return {label(Level::RecordOnly), label(Level::MayShow), label(Level::Publicity)};
}

Level fromInt(int value)
{
    return value == 1 ? Level::MayShow : value == 2 ? Level::Publicity : Level::RecordOnly;
}

Record read(const QSqlDatabase &db, qint64 caseId)
{
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT Level, SignedOn, Note FROM CaseConsent WHERE CaseId = ?"),
                                  {caseId});
    Record r;
    if (q.next()) {
        r.level = fromInt(q.value(0).toInt());
        r.signedOn = QDate::fromString(q.value(1).toString(), QStringLiteral("yyyy-MM-dd"));
        r.note = q.value(2).toString();
    }
    return r;
}

void write(const QSqlDatabase &db, qint64 caseId, const QString &customerNo, const Record &record)
{
    Transaction t(db);
    if (!Db::runPrepared(db, QStringLiteral("SELECT id FROM Surgery WHERE id = ?"), {caseId}).next())
        throw AppError(QStringLiteral("案例 %1 不存在，授权未保存。").arg(caseId));
    const Record before = read(db, caseId);
    if (before == record) {
        t.commit();
        return;
    }
    Db::runPrepared(db, QStringLiteral("DELETE FROM CaseConsent WHERE CaseId = ?"), {caseId});
    Db::runPrepared(db,
                    QStringLiteral("INSERT INTO CaseConsent (CaseId, Level, SignedOn, Note, ChangedAt, ChangedBy) "
                                   "VALUES (?, ?, ?, ?, ?, ?)"),
                    {caseId, static_cast<int>(record.level), dateValue(record.signedOn), record.note, AuditLog::now(),
                     AuditLog::currentUser()});
    AuditLog::Event e;
    e.action = AuditLog::Action::ConsentChanged;
    e.customerNo = customerNo;
    e.caseId = caseId;
    // Level numbers only: the note may hold personal text and stays out of the log.
    e.detail = levelDetail(before.level, record.level);
    AuditLog::record(db, e);
    t.commit();
}

QString photoLabel(Level level)
{
    return level == Level::RecordOnly ? QStringLiteral("此图不公开") : QStringLiteral("此图仅向顾客展示");
}

QHash<QString, Level> photoLevels(const QSqlDatabase &db, qint64 caseId)
{
    QHash<QString, Level> out;
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT Slot, Level FROM PictureConsent WHERE CaseId = ?"),
                                  {caseId});
    while (q.next())
        out.insert(q.value(0).toString(), qMin(fromInt(q.value(1).toInt()), Level::MayShow));
    return out;
}

QHash<qint64, QHash<QString, Level>> allPhotoLevels(const QSqlDatabase &db)
{
    QHash<qint64, QHash<QString, Level>> out;
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT CaseId, Slot, Level FROM PictureConsent"), {});
    while (q.next())
        out[q.value(0).toLongLong()].insert(q.value(1).toString(), qMin(fromInt(q.value(2).toInt()), Level::MayShow));
    return out;
}

void writePhoto(const QSqlDatabase &db, qint64 caseId, const QString &customerNo, const QString &column,
                std::optional<Level> level)
{
    if (level && *level > Level::MayShow)
        throw AppError(QStringLiteral("一张图片的授权只能比案例的更窄。"));
    Transaction t(db);
    if (!Db::runPrepared(db, QStringLiteral("SELECT id FROM Surgery WHERE id = ?"), {caseId}).next())
        throw AppError(QStringLiteral("案例 %1 不存在，授权未保存。").arg(caseId));
    // -1: none of its own, the photo follows its case.
    const QHash<QString, Level> before = photoLevels(db, caseId);
    const int was = before.contains(column) ? static_cast<int>(before.value(column)) : -1;
    const int now = level ? static_cast<int>(*level) : -1;
    if (was == now) {
        t.commit();
        return;
    }
    Db::runPrepared(db, QStringLiteral("DELETE FROM PictureConsent WHERE CaseId = ? AND Slot = ?"), {caseId, column});
    if (level)
        Db::runPrepared(db,
                        QStringLiteral("INSERT INTO PictureConsent (CaseId, Slot, Level, ChangedAt, ChangedBy) "
                                       "VALUES (?, ?, ?, ?, ?)"),
                        {caseId, column, static_cast<int>(*level), AuditLog::now(), AuditLog::currentUser()});
    AuditLog::Event e;
    e.action = AuditLog::Action::ConsentChanged;
    e.customerNo = customerNo;
    e.caseId = caseId;
    e.detail = QStringLiteral("%1：%2 -> %3")
                   .arg(column, was < 0 ? QStringLiteral("按案例") : photoLabel(fromInt(was)),
                        now < 0 ? QStringLiteral("按案例") : photoLabel(fromInt(now)));
    AuditLog::record(db, e);
    t.commit();
}

int casesAtOtherLevel(const QSqlDatabase &db, const QString &customerNo, Level level)
{
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT id FROM Surgery WHERE 客户编号 = ?"), {customerNo});
    QList<qint64> cases;
    while (q.next())
        cases << q.value(0).toLongLong();
    q.finish();
    int n = 0;
    for (qint64 id : cases)
        n += read(db, id).level != level;
    return n;
}

int setForCustomer(const QSqlDatabase &db, const QString &customerNo, Level level, const QDate &signedOn)
{
    Transaction t(db);
    QList<qint64> cases;
    {
        QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT id FROM Surgery WHERE 客户编号 = ? ORDER BY id"),
                                      {customerNo});
        while (q.next())
            cases << q.value(0).toLongLong();
    }
    int changed = 0;
    for (qint64 id : cases) {
        const Record before = read(db, id);
        // A case already at that level keeps the date it was signed on.
        if (before.level == level)
            continue;
        Record after = before;
        after.level = level;
        after.signedOn = signedOn;
        write(db, id, customerNo, after);
        ++changed;
    }
    t.commit();
    return changed;
}

} // namespace Consent
