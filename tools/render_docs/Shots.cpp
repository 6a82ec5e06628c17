#include "Shots.h"

#include "admin/Unit_About.h"
#include "admin/Unit_LoginCheck.h"
#include "browser/MainCompareSource.h"
#include "browser/Unit_Main.h"
#include "compare/CompareCases.h"
#include "compare/CompareWindow.h"
#include "records/Unit_Manager.h"
#include "browser/Unit_PanelImage.h"
#include "browser/Unit_Search.h"
#include "admin/Unit_SetNo.h"
#include "widgets/Unit_ShowLarImage.h"
#include "admin/AuditViewer.h"
#include "admin/UnitUserManager.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "export/ExportDialog.h"
#include "export/SheetCommands.h"
#include "export/SheetExport.h"
#include "pictures/PictureLoader.h"
#include "ui_Unit_Main.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QTabWidget>
#include <QWidget>
#include <functional>
#include <stdexcept>

namespace {

const QStringList PictureColumns = {QStringLiteral("手术前"), QStringLiteral("手术前1"), QStringLiteral("手术前2"),
                                    QStringLiteral("手术后"), QStringLiteral("手术后1"), QStringLiteral("手术后2")};

// Lets layouts, timers (the picture frames' re-decode) and paint events run.
void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

QString pictureFile(const QString &programFolder, const QString &reference)
{
    if (reference.isEmpty())
        return {};
    QString path = programFolder + QStringLiteral("pic/") + reference;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QFileInfo(path).isFile() ? path : QString();
}

// The case with the most existing pictures, before and after both present; -1 when none has.
int richestCase(const DataSet &cases, const QString &programFolder)
{
    int best = -1, bestCount = 0;
    for (int row = 0; row < cases.recordCount(); ++row) {
        int before = 0, after = 0;
        for (int i = 0; i < PictureColumns.size(); ++i) {
            const bool has = !pictureFile(programFolder, cases.valueAt(row, PictureColumns[i]).toString()).isEmpty();
            (i < 3 ? before : after) += has ? 1 : 0;
        }
        if (before > 0 && after > 0 && before + after > bestCount) {
            best = row;
            bestCount = before + after;
        }
    }
    return best;
}

// Every picture frame of the window has its pixels (they are decoded on workers).
bool picturesArrived(const QWidget &window)
{
    const QList<TPanelImage *> frames = window.findChildren<TPanelImage *>();
    for (const TPanelImage *frame : frames) {
        if (frame->hasPicture() && !frame->Image->hasPicture())
            return false;
    }
    return !frames.isEmpty();
}

// A photo reduced to fit maxSize, upright as its EXIF orientation says.
QImage reducedPhoto(const QString &path, QSize maxSize)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QSize shown = reader.size();
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        shown.transpose();
    shown.scale(maxSize, Qt::KeepAspectRatio);
    QSize stored = shown;
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        stored.transpose(); // the scaled size applies before the rotation
    reader.setScaledSize(stored);
    QImage image = reader.read();
    if (image.isNull())
        throw std::runtime_error(
            (QStringLiteral("cannot read ") + path + QStringLiteral(": ") + reader.errorString()).toStdString());
    return image;
}

class Writer {
public:
    explicit Writer(const QString &folder) : m_folder(folder) {}
    QStringList written;

    // ready: what must be true before the window is drawn (given up on after 20 s).
    void shoot(QWidget &w, const QString &name, int settleMs = 300, const std::function<bool()> &ready = {})
    {
        w.show();
        settle(settleMs);
        QElapsedTimer waited;
        waited.start();
        while (ready && !ready()) {
            if (waited.elapsed() > 20000)
                throw std::runtime_error(
                    (QStringLiteral("the window for ") + name + QStringLiteral(" did not finish drawing"))
                        .toStdString());
            settle(50);
        }
        if (ready)
            settle(300); // the frames' re-decode at their final size
        const QImage image = w.grab().toImage();
        if (image.isNull() || isUniform(image))
            throw std::runtime_error(
                (QStringLiteral("the window for ") + name + QStringLiteral(" drew nothing")).toStdString());
        const QString path = m_folder + QLatin1Char('/') + name + QStringLiteral(".png");
        // Shallow colour depth keeps the files small; the windows are mostly flat colours.
        const QImage small = image.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither);
        if (!small.save(path, "PNG", 0))
            throw std::runtime_error((QStringLiteral("cannot write ") + path).toStdString());
        written << path;
        w.hide();
    }

private:
    QString m_folder;
};

} // namespace

bool isUniform(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    if (rgb.isNull())
        return true;
    const QRgb first = rgb.pixel(0, 0);
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            if (line[x] != first)
                return false;
        }
    }
    return true;
}

QStringList renderAllWindows(const QString &programFolder, const QString &outputFolder)
{
    Writer out(outputFolder);
    TfrmMain main(programFolder);
    main.resize(960, 660);
    const int row = richestCase(*main.adq_Surgery, programFolder);
    if (row < 0)
        throw std::runtime_error("no case of the installation has before and after pictures");
    main.adq_Surgery->moveTo(row);
    const QString customerNo = main.adq_Surgery->asString(QStringLiteral("客户编号"));
    const auto arrived = [&main] { return picturesArrived(main); };
    out.shoot(main, QStringLiteral("main"), 300, arrived);
    main.ui()->PageControl->setCurrentIndex(1);
    out.shoot(main, QStringLiteral("details"), 300, arrived);
    main.ui()->PageControl->setCurrentIndex(0);
    main.show();

    {
        Tfrm_Manager records(&main, customerNo);
        out.shoot(records, QStringLiteral("records"), 600);
    }
    {
        TfrmSearch search(&main);
        out.shoot(search, QStringLiteral("search"));
    }
    {
        TfrmLogin login(&main);
        out.shoot(login, QStringLiteral("login"));
    }
    {
        TfrmUserManager users(&main);
        out.shoot(users, QStringLiteral("users"));
    }
    {
        AuditViewer audit(&main, DataMod->ADOConn);
        out.shoot(audit, QStringLiteral("audit"));
    }
    {
        Tfrm_SetNo number(&main, QStringLiteral("A1"));
        out.shoot(number, QStringLiteral("hospital-number"));
    }
    {
        TfrmAbout about(&main);
        out.shoot(about, QStringLiteral("about"));
    }
    {
        QString photo;
        for (int i = 3; i < PictureColumns.size() && photo.isEmpty(); ++i)
            photo = pictureFile(programFolder, main.adq_Surgery->asString(PictureColumns[i]));
        TfrmLarImage large(reducedPhoto(photo, QSize(640, 480)));
        out.shoot(large, QStringLiteral("large-picture"));
    }
    {
        // The comparison of the same case in each of its modes, a little enlarged.
        MainWindowCompareSource source(&main);
        CompareWindow compare(&source, &main);
        compare.resize(1000, 640);
        CompareView *view = compare.view();
        const auto loaded = [view] {
            return !view->isLoading() && view->hasPicture(CompareView::Side::Before)
                   && view->hasPicture(CompareView::Side::After);
        };
        out.shoot(compare, QStringLiteral("compare-side"), 300, loaded);
        CompareView::State s = view->state();
        s.mode = CompareView::Mode::Wipe;
        s.wipePosition = 0.45;
        view->setState(s);
        out.shoot(compare, QStringLiteral("compare-wipe"), 300, loaded);
        s = view->state();
        s.mode = CompareView::Mode::Overlay;
        s.opacity = 0.5;
        view->setState(s);
        out.shoot(compare, QStringLiteral("compare-overlay"), 300, loaded);
    }
    {
        // The comparison-sheet window with its eye bars found, and the sheet it makes for
        // publishing, drawn by the export itself.
        const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
        Sheet::Request request = Export::requestForCase(db, programFolder,
                                                        main.adq_Surgery->value(QStringLiteral("id")).toLongLong());
        request.pairs.resize(1);
        // The demo photos carry a caption strip along their bottom: the sheet leaves it out.
        const QSize natural = PictureLoader::readNaturalSize(request.pairs[0].before.path);
        request.pairs[0].crop = QRectF(0, 0, natural.width(), natural.height() * 0.86);
        Export::ExportDialog dialog(db, request, &main);
        dialog.resize(980, 680);
        dialog.findChild<QCheckBox *>(QStringLiteral("chk_EyeBar"))->setChecked(true);
        out.shoot(dialog, QStringLiteral("export"), 600);
        Sheet::Request sheet = dialog.currentRequest();
        sheet.layout = Sheet::Layout::SideBySide;
        sheet.showDates = true;
        sheet.watermark.text = QStringLiteral("丽颜医疗美容");
        const QImage page = SheetExport::renderPageImage(SheetExport::forPurpose(sheet), 0, 1080);
        const QString path = outputFolder + QStringLiteral("/sheet.jpg");
        QImageWriter writer(path, "jpeg");
        writer.setQuality(85);
        if (isUniform(page) || !writer.write(page))
            throw std::runtime_error((QStringLiteral("cannot write ") + path).toStdString());
        out.written << path;
    }
    main.hide();
    return out.written;
}
