#include "compare/CompareSheet.h"

#include "compare/CompareWindow.h"
#include "data/Unit_DataMod.h"
#include "export/SheetCommands.h"
#include "pictures/PictureLoader.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>

namespace {

// The pair the comparison window shows, each picture with its own case (the strip offers the
// customer's other cases too), laid over as it is aligned there and cut to what the view shows.
void openFor(CompareWindow *w, bool print)
{
    const ComparePicture &before = w->left(), &after = w->right();
    if (before.isEmpty() || after.isEmpty()) {
        Prompter::instance().showMessage(w, QStringLiteral("请先在两边各放一张图片。"));
        return;
    }
    Sheet::Request request;
    request.customerNo = before.customerNo;
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
    Export::openSheet(w, QSqlDatabase::database(DataMod->ADOConn), request, print);
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
