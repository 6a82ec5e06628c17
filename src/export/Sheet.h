#pragma once
// A comparison sheet: before and after pictures laid out on a page with their labels, an optional
// watermark, and black bars burnt into the pixels over the eyes. The same painting serves the PDF
// file, the picture files and the printer; what goes out is only what is painted here.

#include "align/Similarity.h"

#include <QDate>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QVector>

class QPainter;

namespace Sheet {

// Why the sheet is made. Only the internal archive may carry who the customer is.
enum class Purpose { Internal, Customer, Publicity };
QString purposeLabel(Purpose purpose); // "内部存档", "发给顾客本人", "宣传发布"
QStringList purposeLabels();           // in enum order

enum class Layout { SideBySide, Stacked, Grid };
QStringList layoutLabels(); // in enum order

enum class Corner { TopLeft, TopRight, BottomLeft, BottomRight, Centre };
QStringList cornerLabels(); // in enum order

struct Pair {
    QString beforePath, afterPath; // files to read
    QString beforeRef, afterRef;   // as the case row names them (for the audit log)
    Align::Similarity alignment;   // lays the after picture over the before picture
    QRectF crop;                   // in before-picture pixels; empty: the whole picture
    qint64 caseId = 0;
    QString category;            // "大类 / 小类"
    QDate beforeDate, afterDate; // invalid: not known
    QString interval;            // "术后 3 个月"; empty: not known
    // Eye bars, in before-picture pixels (the after picture is laid over that frame).
    QVector<QRectF> beforeBars, afterBars;
};

struct Watermark {
    QString text;     // the clinic's name; empty: none
    QString logoPath; // a picture file; empty: none
    Corner corner = Corner::BottomRight;
    double opacity = 0.35; // 0..1
    bool isEmpty() const { return text.isEmpty() && logoPath.isEmpty(); }
};

struct Request {
    Purpose purpose = Purpose::Publicity;
    Layout layout = Layout::SideBySide;
    QVector<Pair> pairs;
    bool showDates = false; // dates and interval under the pictures
    Watermark watermark;
    // Only drawn for the internal archive, in the footer.
    QString customerNo, customerName;
};

// How many pairs share one page, and how many pages the request fills.
int pairsPerPage(Layout layout);
int pageCount(const Request &request);

// The region of the before picture a pair shows: its crop, or the whole picture.
QRectF frameOf(const Pair &pair);

// The natural height of a page `width` device pixels wide (for picture files, whose height
// follows the pictures' shape), and the width at which the pictures of the page are shown at
// their own resolution.
double heightForWidth(const Request &request, int page, double width);
double fullWidth(const Request &request, int page);

// Where each picture of a page goes (device coordinates of the page rectangle): for each pair of
// the page, the before and the after rectangle.
struct PlacedPair {
    int pairIndex = 0;
    QRectF before, after;
};
QVector<PlacedPair> placePage(const Request &request, int page, const QRectF &pageRect);

// Paints one page into pageRect. Pictures are drawn at the device's pixels, never above their own
// resolution; text is painted as text. Raises AppError when a picture cannot be read.
void paintPage(QPainter &painter, const QRectF &pageRect, const Request &request, int page);

// The part of a pair's picture shown in `target` pixels: read at the needed scale, laid into the
// pair's frame, eye bars burnt in. after: the after picture (through the alignment).
QImage renderCell(const Pair &pair, bool after, QSize target);

} // namespace Sheet
