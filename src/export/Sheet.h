#pragma once
// A comparison sheet: before and after pictures laid out on a page with their labels, an optional
// watermark, and black bars burnt into the pixels over the eyes. The same painting serves the PDF
// file, the picture files and the printer; what goes out is only what is painted here.

#include "align/Similarity.h"
#include "consent/CasePictures.h"

#include <QDate>
#include <QPolygonF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QVector>

#include <optional>

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
    // Each picture carries its own case: its labels, its dates and its consent are its own.
    CasePicture before, after;
    // Lays the after picture over the before picture's frame; none: each picture is fitted to
    // its own cell, keeping its shape.
    std::optional<Align::Similarity> alignment;
    QRectF crop;      // in before-picture pixels; empty: the whole picture
    QRectF afterCrop; // an unaligned after picture's, in its own pixels; empty: the whole picture
    // Eye bars, in the pixels of the frame each cell shows (see frameOf): the before picture's
    // for the before cell and for an aligned after cell, the after picture's own otherwise.
    QVector<QPolygonF> beforeBars, afterBars;

    // The title of the pair: its category, or both when the two pictures' cases differ.
    QString category() const;
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
// The region a cell shows, in the coordinates its bars are kept in: the before picture's frame
// for the before cell and an aligned after cell; an unaligned after picture's crop or whole
// picture for its cell.
QRectF frameOf(const Pair &pair, bool after);
// Frame coordinates to the cell rectangle: the frame fitted into the cell, keeping its shape,
// centred.
QTransform frameToCell(const Pair &pair, bool after, const QRectF &cell);

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

// The part of a pair's picture shown in a cell of `target` pixels: read at the needed scale,
// fitted into the cell (an aligned after picture laid through the alignment into the before
// picture's frame, the background where it does not cover), eye bars burnt in. The image has
// the cell's shape, and fewer pixels than target where the picture has fewer.
QImage renderCell(const Pair &pair, bool after, QSize target);

} // namespace Sheet
