#include "export/SheetExport.h"

#include "data/AuditLog.h"
#include "consent/Consent.h"
#include "data/AppError.h"
#include "data/Settings.h"
#include "data/Transaction.h"
#include "pictures/PictureBudget.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace SheetExport {

namespace {

const QString WatermarkSection = QStringLiteral("Watermark");

QVector<CasePicture> picturesOf(const Sheet::Request &r)
{
    QVector<CasePicture> pictures;
    for (const Sheet::Pair &p : r.pairs)
        pictures << p.before << p.after;
    return pictures;
}

// What a purpose needs of every picture's consent. The internal archive and the customer's own
// copy of her photos need none; publicity needs the customer's agreement to it.
Consent::Level neededFor(Sheet::Purpose purpose)
{
    return purpose == Sheet::Purpose::Publicity ? Consent::Level::Publicity : Consent::Level::RecordOnly;
}

// One event for each case whose pictures are on the sheet, naming that case's pictures, in one
// transaction.
void recordFor(const QSqlDatabase &db, AuditLog::Action action, const Sheet::Request &r, const QString &where)
{
    const QVector<CasePicture> pictures = picturesOf(r);
    Transaction t(db);
    for (qint64 caseId : CasePictures::caseIds(pictures)) {
        QStringList names;
        QString customerNo;
        for (const CasePicture &p : pictures) {
            if (p.caseId != caseId)
                continue;
            names << p.stored;
            if (customerNo.isEmpty())
                customerNo = p.customerNo;
        }
        names.removeDuplicates();
        AuditLog::Event e;
        e.action = action;
        e.customerNo = customerNo.isEmpty() ? r.customerNo : customerNo;
        if (caseId > 0)
            e.caseId = caseId;
        e.detail = QStringLiteral("用途=%1；图片=%2；%3")
                       .arg(Sheet::purposeLabel(r.purpose), names.join(QLatin1Char(',')), where);
        AuditLog::record(db, e);
    }
    t.commit();
}

QString pageFileName(const QString &path, int page)
{
    if (page == 0)
        return path;
    const QFileInfo fi(path);
    return fi.path() + QLatin1Char('/') + fi.completeBaseName() + QStringLiteral("-%1.").arg(page + 1) + fi.suffix();
}

QString pageFileName(const Output &output, int page)
{
    return output.format == Format::Pdf ? output.path : pageFileName(output.path, page);
}

void paintAll(QPainter &painter, QPagedPaintDevice &device, const Sheet::Request &r)
{
    const int pages = Sheet::pageCount(r);
    for (int page = 0; page < pages; ++page) {
        if (page > 0 && !device.newPage())
            throw AppError(QStringLiteral("无法开始新的一页"));
        const QRect rect = device.pageLayout().paintRectPixels(device.logicalDpiX());
        Sheet::paintPage(painter, QRectF(QPointF(0, 0), QSizeF(rect.size())), r, page);
    }
}

} // namespace

QStringList filesOf(const Sheet::Request &request, const Output &output)
{
    QStringList files;
    const int pages = output.format == Format::Pdf ? 1 : std::max(1, Sheet::pageCount(request));
    for (int page = 0; page < pages; ++page)
        files << pageFileName(output, page);
    return files;
}

QStringList earlierPages(const Sheet::Request &request, const Output &output)
{
    QStringList files;
    if (output.format == Format::Pdf)
        return files;
    // An earlier export numbered its pages without gaps: they end at the first one missing.
    for (int page = std::max(1, Sheet::pageCount(request));; ++page) {
        const QString f = pageFileName(output, page);
        if (!QFileInfo::exists(f))
            break;
        files << f;
    }
    return files;
}

Sheet::Request forPurpose(Sheet::Request request)
{
    if (request.purpose != Sheet::Purpose::Internal) {
        request.customerName.clear();
        // The number stays for the audit event only: the painting draws no footer for these.
    }
    return request;
}

void checkConsent(const QSqlDatabase &db, const Sheet::Request &request)
{
    QString refusal;
    if (request.purpose == Sheet::Purpose::Customer) {
        // Her own photos only: nothing of another customer goes to her.
        const QVector<CasePicture> pictures = picturesOf(request);
        if (std::any_of(pictures.begin(), pictures.end(),
                        [&](const CasePicture &p) { return p.customerNo != request.customerNo; }))
            refusal = QStringLiteral("“%1”的对比图只能含有该顾客本人的照片。").arg(Sheet::purposeLabel(request.purpose));
    }
    const Consent::Level needed = neededFor(request.purpose);
    if (refusal.isEmpty() && needed != Consent::Level::RecordOnly) {
        // Read again: the agreement may have changed since the sheet was put together.
        const QVector<CasePicture> pictures = CasePictures::withCurrentLevels(db, picturesOf(request));
        const CasePicture *least = CasePictures::narrowest(pictures);
        if (least && least->level < needed)
            refusal = QStringLiteral("该病例的同意级别为“%1”，只有“%2”的病例才能用于“%3”。")
                          .arg(Consent::label(least->level), Consent::label(needed),
                               Sheet::purposeLabel(request.purpose));
    }
    if (refusal.isEmpty())
        return;
    // A refusal is kept in the log too; a log that cannot take it does not change the answer.
    try {
        recordFor(db, AuditLog::Action::SheetRefused, request, refusal);
    } catch (const AppError &) {
    }
    throw AppError(refusal);
}

Sheet::Purpose defaultPurpose(const QSqlDatabase &db, const Sheet::Request &request)
{
    const QVector<CasePicture> pictures = CasePictures::withCurrentLevels(db, picturesOf(request));
    return CasePictures::allow(pictures, neededFor(Sheet::Purpose::Publicity)) ? Sheet::Purpose::Publicity
                                                                               : Sheet::Purpose::Internal;
}

QImage renderPageImage(const Sheet::Request &request, int page, int width)
{
    int w = width > 0 ? width : int(std::ceil(Sheet::fullWidth(request, page)));
    w = std::clamp(w, 1, 30000);
    // A page of several large photos at their own size would pass the pixel budget every
    // picture is held to: such a page is made as large as the budget allows.
    const double pixels = double(w) * Sheet::heightForWidth(request, page, w);
    if (pixels > double(PictureBudget::MaxPixels))
        w = std::max(1, int(w * std::sqrt(double(PictureBudget::MaxPixels) / pixels)));
    const int h = std::clamp(int(std::ceil(Sheet::heightForWidth(request, page, w))), 1, 60000);
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(255, 255, 255));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    Sheet::paintPage(painter, QRectF(0, 0, w, h), request, page);
    painter.end();
    return image;
}

QStringList exportSheet(const QSqlDatabase &db, const Sheet::Request &original, const Output &output)
{
    checkConsent(db, original);
    const Sheet::Request request = forPurpose(original);
    if (request.pairs.isEmpty())
        throw AppError(QStringLiteral("没有可导出的图片"));
    // The files and their events are kept together: when the events cannot be written, the
    // files written are taken back.
    QStringList written;
    const QStringList leftovers = earlierPages(request, output);
    Transaction t(db);
    try {
        if (output.format == Format::Pdf) {
            QSaveFile file(output.path);
            if (!file.open(QIODevice::WriteOnly))
                throw AppError(QStringLiteral("无法写入 %1").arg(output.path));
            {
                QPdfWriter pdf(&file);
                pdf.setResolution(300);
                pdf.setCreator(QStringLiteral("Belcara"));
                pdf.setTitle(QStringLiteral("对比图"));
                pdf.setPageSize(QPageSize(output.paper == Paper::Letter ? QPageSize::Letter : QPageSize::A4));
                pdf.setPageOrientation(output.landscape ? QPageLayout::Landscape : QPageLayout::Portrait);
                pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
                QPainter painter(&pdf);
                if (!painter.isActive())
                    throw AppError(QStringLiteral("无法写入 %1").arg(output.path));
                paintAll(painter, pdf, request);
            }
            if (!file.commit())
                throw AppError(QStringLiteral("无法写入 %1").arg(output.path));
            written << output.path;
        } else {
            const QByteArray kind = output.format == Format::Jpeg ? "jpeg" : "png";
            for (int page = 0; page < Sheet::pageCount(request); ++page) {
                const QImage image = renderPageImage(request, page, output.width);
                const QString path = pageFileName(output.path, page);
                QSaveFile file(path);
                if (!file.open(QIODevice::WriteOnly))
                    throw AppError(QStringLiteral("无法写入 %1").arg(path));
                // A fresh image without text keys or colour space: the writer puts out pixels only.
                QImageWriter writer(&file, kind);
                if (output.format == Format::Jpeg)
                    writer.setQuality(92);
                if (!writer.write(image) || !file.commit())
                    throw AppError(QStringLiteral("无法写入 %1").arg(path));
                written << path;
            }
            for (const QString &f : leftovers)
                if (!QFile::remove(f) && QFileInfo::exists(f))
                    throw AppError(QStringLiteral("无法删除上次导出的 %1").arg(QFileInfo(f).fileName()));
        }
        QStringList names;
        for (const QString &f : written)
            names << QFileInfo(f).fileName();
        recordFor(db, AuditLog::Action::SheetExported, original,
                  QStringLiteral("文件=") + names.join(QLatin1Char(',')));
        t.commit();
    } catch (...) {
        for (const QString &f : written)
            QFile::remove(f);
        throw;
    }
    return written;
}

void printSheet(const QSqlDatabase &db, const Sheet::Request &original, QPrinter &printer)
{
    checkConsent(db, original);
    const Sheet::Request request = forPurpose(original);
    if (request.pairs.isEmpty())
        throw AppError(QStringLiteral("没有可打印的图片"));
    const QString where = printer.outputFormat() == QPrinter::PdfFormat
                              ? QStringLiteral("文件=") + QFileInfo(printer.outputFileName()).fileName()
                              : QStringLiteral("打印机=") + printer.printerName();
    // The event is written first and kept only when the pages went out.
    Transaction t(db);
    recordFor(db, AuditLog::Action::SheetPrinted, original, where);
    {
        QPainter painter(&printer);
        if (!painter.isActive())
            throw AppError(QStringLiteral("无法开始打印"));
        paintAll(painter, printer, request);
        if (!painter.end())
            throw AppError(QStringLiteral("打印未能完成"));
    }
    t.commit();
}

double lowestCropPpi(const Sheet::Request &request, Paper paper, bool landscape)
{
    constexpr double Dpi = 300;
    QSizeF page = QPageSize(paper == Paper::Letter ? QPageSize::Letter : QPageSize::A4).size(QPageSize::Inch) * Dpi;
    if (landscape)
        page.transpose();
    double lowest = 0;
    for (int p = 0; p < Sheet::pageCount(request); ++p) {
        for (const Sheet::PlacedPair &placed : Sheet::placePage(request, p, QRectF(QPointF(0, 0), page))) {
            const Sheet::Pair &pair = request.pairs[placed.pairIndex];
            for (bool after : {false, true}) {
                const bool cropped = after ? !pair.afterCrop.isEmpty() || (pair.alignment && !pair.crop.isEmpty())
                                           : !pair.crop.isEmpty();
                const QRectF frame = Sheet::frameOf(pair, after);
                const QRectF cell = after ? placed.after : placed.before;
                if (!cropped || frame.isEmpty() || cell.isEmpty())
                    continue;
                // The frame fitted into its cell, keeping its shape: its pixels over its inches.
                const double shownWidth = std::min(cell.width(), cell.height() * frame.width() / frame.height());
                const double ppi = frame.width() / (shownWidth / Dpi);
                lowest = lowest == 0 ? ppi : std::min(lowest, ppi);
            }
        }
    }
    return lowest;
}

Sheet::Watermark readWatermark()
{
    Sheet::Watermark w;
    w.text = Settings::readString(WatermarkSection, QStringLiteral("Text"), QString());
    w.logoPath = Settings::readString(WatermarkSection, QStringLiteral("Logo"), QString());
    bool ok = false;
    const int corner = Settings::readString(WatermarkSection, QStringLiteral("Corner"), QString()).toInt(&ok);
    if (ok && corner >= 0 && corner <= int(Sheet::Corner::Centre))
        w.corner = Sheet::Corner(corner);
    const int opacity = Settings::readString(WatermarkSection, QStringLiteral("Opacity"), QString()).toInt(&ok);
    if (ok && opacity >= 0 && opacity <= 100)
        w.opacity = opacity / 100.0;
    return w;
}

void writeWatermark(const Sheet::Watermark &w)
{
    Settings::writeString(WatermarkSection, QStringLiteral("Text"), w.text);
    Settings::writeString(WatermarkSection, QStringLiteral("Logo"), w.logoPath);
    Settings::writeString(WatermarkSection, QStringLiteral("Corner"), QString::number(int(w.corner)));
    Settings::writeString(WatermarkSection, QStringLiteral("Opacity"),
                          QString::number(int(std::lround(std::clamp(w.opacity, 0.0, 1.0) * 100))));
}

} // namespace SheetExport
