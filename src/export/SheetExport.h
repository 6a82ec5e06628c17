#pragma once
// Making comparison sheets leave the program: as a PDF file, as picture files or on a printer.
// Every way out checks the cases' consent first, strips personal data from anything but the
// internal archive, writes pixels without any metadata, and records itself in the audit log.

#include "export/Sheet.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class QPrinter;

namespace SheetExport {

enum class Format { Pdf, Jpeg, Png };
enum class Paper { A4, Letter };

struct Output {
    Format format = Format::Pdf;
    Paper paper = Paper::A4;
    bool landscape = false;
    int width = 2048; // picture files: 1080, 2048, or 0 for the pictures' own size
    QString path;     // the file chosen; picture files of later pages get "-2", "-3", ...
};

// The request as it may leave for its purpose: without the customer's number and name unless
// it is for the internal archive.
Sheet::Request forPurpose(Sheet::Request request);

// Raises AppError naming the consent level when a picture of the request does not allow its
// purpose, each picture judged by its own case's consent as the database holds it now. The
// internal archive and the customer's own copy need no consent; the customer's copy holds her
// own photos only. A refusal is recorded (SheetRefused).
void checkConsent(const QSqlDatabase &db, const Sheet::Request &request);

// The purpose a new sheet starts with: publicity, which carries no personal data, when every
// picture of the request allows it; otherwise the internal archive, the only purpose left.
Sheet::Purpose defaultPurpose(const QSqlDatabase &db, const Sheet::Request &request);

// The files an export to output.path writes, in page order: the path itself, then "-2", "-3",
// ... beside it for the later pages of picture files.
QStringList filesOf(const Sheet::Request &request, const Output &output);
// Later pages of an earlier picture export under the same name that this export does not write
// again ("big-3.jpg" beside a new two-page "big.jpg"): exportSheet removes them with its own
// pages written, so no page of another sheet is ever left under the new name.
QStringList earlierPages(const Sheet::Request &request, const Output &output);

// Writes the sheet and records it (SheetExported, one event for each case whose pictures are
// on it); returns the files written. Existing files of filesOf are replaced and earlierPages
// removed: the caller asks first.
// Raises AppError when refused or when a file cannot be written (nothing is then recorded).
QStringList exportSheet(const QSqlDatabase &db, const Sheet::Request &request, const Output &output);

// Prints the sheet on a printer already set up (by the print dialog) and records it
// (SheetPrinted). Raises AppError when refused or when printing cannot start.
void printSheet(const QSqlDatabase &db, const Sheet::Request &request, QPrinter &printer);

// One page as a picture `width` pixels wide (0: the pictures' own size), height after the
// pictures' shape. The image carries no text keys, no colour profile: pixels only.
QImage renderPageImage(const Sheet::Request &request, int page, int width);

// The pictures of a cropped pair (cut to what the comparison window showed) carry fewer pixels:
// the lowest resolution, in pixels per inch on that paper, at which a cropped picture of the
// request is printed; 0 when none is cropped. Under MinPrintPpi the print looks coarse.
constexpr double MinPrintPpi = 200;
double lowestCropPpi(const Sheet::Request &request, Paper paper, bool landscape);

// The watermark kept in the settings file, section Watermark (Text, Logo, Corner, Opacity).
Sheet::Watermark readWatermark();
void writeWatermark(const Sheet::Watermark &watermark);

} // namespace SheetExport
