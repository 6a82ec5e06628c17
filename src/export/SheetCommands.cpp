// The ways into the comparison-sheet window: the main window's file menu for its current case,
// and the comparison window for the pair it shows.

#include "export/ExportDialog.h"

#include "align/AlignmentStore.h"
#include "browser/Unit_Main.h"
#include "compare/CompareWindow.h"
#include "consent/CasePictures.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "data/Unit_DataMod.h"
#include "pictures/PictureLoader.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QMenu>
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

namespace {

void openFor(TfrmMain *w, bool print)
{
    DataSet *cases = w->adq_Surgery;
    if (!cases || !cases->isActive() || cases->recNo() < 0) {
        Prompter::instance().showMessage(w, QStringLiteral("请先选择一个病例。"));
        return;
    }
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
    const qint64 caseId = cases->value(QStringLiteral("id")).toLongLong();
    const Sheet::Request request = requestForCase(db, w->programFolder(), caseId);
    if (request.pairs.isEmpty()) {
        Prompter::instance().showMessage(w, QStringLiteral("当前病例没有成对的术前、术后图片。"));
        return;
    }
    ExportDialog dialog(db, request, w);
    if (print)
        dialog.preferPrinting();
    Prompter::instance().execModal(&dialog);
}

// The pair the comparison window shows, each picture with its own case (the strip offers the
// customer's other cases too), laid over as it is aligned there and cut to what the view shows.
void openFor(CompareWindow *w, bool print)
{
    const ComparePicture &before = w->left(), &after = w->right();
    if (before.isEmpty() || after.isEmpty()) {
        Prompter::instance().showMessage(w, QStringLiteral("请先在两边各放一张图片。"));
        return;
    }
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
    Sheet::Request request;
    request.customerNo = before.customerNo;
    request.customerName = customerName(db, request.customerNo);
    Sheet::Pair pair;
    pair.before = before;
    pair.after = after;
    pair.alignment = w->pairAlignment();
    // What the view shows of the before picture: its zoom and position are the sheet's crop.
    const QSize size = w->view()->pictureSize(CompareView::Side::Before);
    const QRectF whole(QPointF(0, 0), QSizeF(size));
    const QRectF shown = w->view()->visibleRegion().intersected(whole);
    if (shown.width() >= 8 && shown.height() >= 8 && shown != whole) {
        pair.crop = shown;
        // Unaligned, the after picture is cut to the same share of itself.
        QSize own = w->view()->pictureSize(CompareView::Side::After);
        if (!own.isValid())
            own = PictureLoader::readNaturalSize(after.path);
        if (!pair.alignment && own.isValid() && !whole.isEmpty()) {
            const double sx = own.width() / whole.width(), sy = own.height() / whole.height();
            pair.afterCrop = QRectF(shown.x() * sx, shown.y() * sy, shown.width() * sx, shown.height() * sy);
        }
    }
    request.pairs = {pair};
    request.layout = Sheet::Layout::SideBySide;
    ExportDialog dialog(db, request, w);
    if (print)
        dialog.preferPrinting();
    Prompter::instance().execModal(&dialog);
}

} // namespace

QList<QAction *> addCompareSheetCommands(CompareWindow *w)
{
    auto *exportAction = new QAction(QStringLiteral("导出对比图(&E)…"), w);
    exportAction->setObjectName(QStringLiteral("ac_ExportSheet"));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    auto *printAction = new QAction(QStringLiteral("打印(&P)…"), w);
    printAction->setObjectName(QStringLiteral("ac_PrintSheet"));
    printAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    for (QAction *a : {exportAction, printAction}) {
        a->setShortcutContext(Qt::WindowShortcut);
        w->addAction(a);
    }
    connectGuarded(exportAction, &QAction::triggered, w, [w](auto...) { openFor(w, false); });
    connectGuarded(printAction, &QAction::triggered, w, [w](auto...) { openFor(w, true); });
    return {exportAction, printAction};
}

void addSheetCommands(TfrmMain *w)
{
    QMenu *menu = w->menuFile;
    QAction *before = w->N3; // above 退出
    auto *exportAction = new QAction(QStringLiteral("导出对比图(&E)…"), w);
    exportAction->setObjectName(QStringLiteral("ac_ExportSheet"));
    auto *printAction = new QAction(QStringLiteral("打印(&P)…"), w);
    printAction->setObjectName(QStringLiteral("ac_PrintSheet"));
    menu->insertAction(before, exportAction);
    menu->insertAction(before, printAction);
    menu->insertSeparator(before);
    connectGuarded(exportAction, &QAction::triggered, w, [w](auto...) { openFor(w, false); });
    connectGuarded(printAction, &QAction::triggered, w, [w](auto...) { openFor(w, true); });
}

} // namespace Export
