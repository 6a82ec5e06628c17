#include "export/SheetCommands.h"

#include "export/ExportDialog.h"

#include "align/AlignmentStore.h"
#include "consent/CasePictures.h"
#include "data/Db.h"
#include "widgets/Prompter.h"

#include <QSqlQuery>
#include <QVariant>

namespace Export {

namespace {

QString customerName(const QSqlDatabase &db, const QString &customerNo)
{
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT 用户姓名 FROM tUserInfo WHERE 客户编号 = ?"),
                                  {customerNo});
    return q.next() ? q.value(0).toString() : QString();
}

} // namespace

Sheet::Request requestForCase(const QSqlDatabase &db, const QString &programFolder, qint64 caseId)
{
    Sheet::Request r;
    const QVector<CasePicture> pictures = CasePictures::read(db, programFolder, caseId);
    if (pictures.isEmpty())
        return r;
    r.customerNo = pictures.first().customerNo;
    r.customerName = customerName(db, r.customerNo);
    for (int slot = 0; slot < 3; ++slot) {
        const CasePicture *before = CasePictures::find(pictures, false, slot);
        const CasePicture *after = CasePictures::find(pictures, true, slot);
        if (!before || !after || before->isEmpty() || after->isEmpty())
            continue;
        Sheet::Pair p;
        p.before = *before;
        p.after = *after;
        if (const auto stored = Align::loadAlignment(db, p.before.stored, p.after.stored))
            p.alignment = stored->transform;
        r.pairs.append(p);
    }
    return r;
}

void openSheet(QWidget *parent, const QSqlDatabase &db, Sheet::Request request, bool print)
{
    if (request.customerName.isEmpty() && !request.customerNo.isEmpty())
        request.customerName = customerName(db, request.customerNo);
    ExportDialog dialog(db, request, parent);
    if (print)
        dialog.preferPrinting();
    Prompter::instance().execModal(&dialog);
}

void openForCase(QWidget *parent, const QSqlDatabase &db, const QString &programFolder, qint64 caseId, bool print)
{
    const Sheet::Request request = requestForCase(db, programFolder, caseId);
    if (request.pairs.isEmpty()) {
        Prompter::instance().showMessage(parent, QStringLiteral("当前病例没有成对的术前、术后图片。"));
        return;
    }
    openSheet(parent, db, request, print);
}

} // namespace Export
