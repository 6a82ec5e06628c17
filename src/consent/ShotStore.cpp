#include "consent/ShotStore.h"

#include "data/AuditLog.h"
#include "consent/CasePictures.h"
#include "data/AppError.h"
#include "data/Db.h"
#include "data/PictureStore.h"
#include "data/Transaction.h"

#include <QSqlQuery>

namespace ShotStore {

QString store(const QSqlDatabase &db, const QString &programFolder, const Shot &shot)
{
    const QString column = CasePictures::column(shot.after, shot.slot);
    PictureStore::Added added;
    try {
        Transaction t(db);
        QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT 客户编号, %1 FROM Surgery WHERE id = ?").arg(column),
                                      {shot.caseId});
        if (!q.next())
            throw AppError(QStringLiteral("找不到这个案例，它可能已被删除。照片未保存。"));
        const QString customerNo = q.value(0).toString().trimmed();
        const QString current = q.value(1).toString().trimmed();
        q.finish();
        if (!current.isEmpty())
            throw AppError(QStringLiteral("案例的“%1”已有图片，照片未保存。").arg(column));
        QString whyNot;
        const QString stored = PictureStore::ImportPicture(PictureStore::storeRoot(programFolder), shot.file,
                                                           customerNo, &whyNot, {}, &added);
        if (stored.isEmpty())
            throw AppError(QStringLiteral("照片未能存入图片库：%1").arg(whyNot));
        Db::runPrepared(db, QStringLiteral("UPDATE Surgery SET %1 = ? WHERE id = ?").arg(column),
                        {stored, shot.caseId});
        AuditLog::Event e;
        e.action = AuditLog::Action::PictureTaken;
        e.customerNo = customerNo;
        e.caseId = shot.caseId;
        e.detail = column + QStringLiteral(" ") + shot.sourceName;
        AuditLog::record(db, e);
        t.commit();
        return stored;
    } catch (...) {
        added.undo();
        throw;
    }
}

} // namespace ShotStore
