#include "align/AlignmentStore.h"

#include "data/AuditLog.h"
#include "data/Db.h"
#include "data/Transaction.h"

#include <QSqlQuery>
#include <QVariant>

namespace Align {

namespace {

void recordEvent(const QSqlDatabase &db, AuditLog::Action action, const QString &beforePicture,
                 const QString &afterPicture, const QString &detail, const QString &customerNo, qint64 caseId)
{
    AuditLog::Event e;
    e.action = action;
    e.customerNo = customerNo;
    if (caseId > 0)
        e.caseId = caseId;
    e.detail = QStringLiteral("%1 | %2").arg(beforePicture, afterPicture);
    if (!detail.isEmpty())
        e.detail += QStringLiteral(" | ") + detail;
    AuditLog::record(db, e);
}

} // namespace

std::optional<StoredAlignment> loadAlignment(const QSqlDatabase &db, const QString &beforePicture,
                                             const QString &afterPicture)
{
    QSqlQuery q = Db::
        runPrepared(db,
                    QStringLiteral(
                        "SELECT Transform, Method FROM PictureAlignment WHERE BeforePicture = ? AND AfterPicture = ?"),
                    {beforePicture, afterPicture});
    if (!q.next())
        return std::nullopt;
    const std::optional<Similarity> t = Similarity::parse(q.value(0).toString());
    if (!t)
        return std::nullopt;
    StoredAlignment a;
    a.transform = *t;
    a.automatic = q.value(1).toString() == QLatin1String("auto");
    return a;
}

void saveAlignment(const QSqlDatabase &db, const QString &beforePicture, const QString &afterPicture,
                   const StoredAlignment &alignment, const QString &customerNo, qint64 caseId)
{
    Transaction t(db);
    const QString method = alignment.automatic ? QStringLiteral("auto") : QStringLiteral("manual");
    Db::runPrepared(db, QStringLiteral("DELETE FROM PictureAlignment WHERE BeforePicture = ? AND AfterPicture = ?"),
                    {beforePicture, afterPicture});
    Db::runPrepared(db,
                    QStringLiteral("INSERT INTO PictureAlignment (BeforePicture, AfterPicture, Transform, Method, "
                                   "ChangedAt, ChangedBy) VALUES (?, ?, ?, ?, ?, ?)"),
                    {beforePicture, afterPicture, alignment.transform.toText(), method, AuditLog::now(),
                     AuditLog::currentUser()});
    // The log is read by the staff: the method in words, not as the table stores it.
    recordEvent(db, AuditLog::Action::AlignmentSaved, beforePicture, afterPicture,
                alignment.automatic ? QStringLiteral("自动对齐") : QStringLiteral("手动对齐"), customerNo, caseId);
    t.commit();
}

bool resetAlignment(const QSqlDatabase &db, const QString &beforePicture, const QString &afterPicture,
                    const QString &customerNo, qint64 caseId)
{
    Transaction t(db);
    QSqlQuery q = Db::runPrepared(db,
                                  QStringLiteral(
                                      "DELETE FROM PictureAlignment WHERE BeforePicture = ? AND AfterPicture = ?"),
                                  {beforePicture, afterPicture});
    const bool had = q.numRowsAffected() > 0;
    if (had)
        recordEvent(db, AuditLog::Action::AlignmentReset, beforePicture, afterPicture, QString(), customerNo, caseId);
    t.commit();
    return had;
}

} // namespace Align
