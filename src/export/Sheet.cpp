#include "export/Sheet.h"

#include "data/AppError.h"
#include "pictures/PictureLoader.h"

#include <QFont>
#include <QImageReader>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace Sheet {

namespace {

// Bands of the page, in hundredths of its width.
constexpr double Margin = 4, Title = 7, RowTitle = 4.5, Label = 5, Gap = 2, Footer = 4.5;

int columnsOf(Layout layout)
{
    return layout == Layout::Stacked ? 1 : 2;
}

QVector<int> pairsOn(const Request &r, int page)
{
    QVector<int> out;
    const int per = pairsPerPage(r.layout);
    for (int i = page * per; i < std::min<int>(r.pairs.size(), (page + 1) * per); ++i)
        out.append(i);
    return out;
}

double aspectOf(const Pair &pair)
{
    const QRectF f = frameOf(pair);
    return f.width() > 0 ? f.height() / f.width() : 1.0;
}

// Everything but the pictures, in page-width hundredths, and the pictures' heights per unit of
// cell width.
struct Shape {
    double fixed = 0;    // hundredths of the width
    double pictures = 0; // sum of picture heights divided by the cell width
    int columns = 2;
};

Shape shapeOf(const Request &r, int page)
{
    Shape s;
    s.columns = columnsOf(r.layout);
    const QVector<int> on = pairsOn(r, page);
    s.fixed = 2 * Margin + (r.purpose == Purpose::Internal ? Footer : 0);
    if (r.layout == Layout::Grid) {
        for (int i : on)
            s.pictures += aspectOf(r.pairs[i]);
        s.fixed += on.size() * (RowTitle + Label) + std::max<int>(0, int(on.size()) - 1) * Gap;
    } else if (!on.isEmpty()) {
        const double a = aspectOf(r.pairs[on.first()]);
        s.fixed += Title;
        if (r.layout == Layout::Stacked) {
            s.pictures = 2 * a;
            s.fixed += 2 * Label + Gap;
        } else {
            s.pictures = a;
            s.fixed += Label;
        }
    }
    return s;
}

// The cell width at a page width, when nothing has to shrink.
double naturalCellWidth(int columns, double width)
{
    const double u = width / 100;
    return (width - 2 * Margin * u - (columns - 1) * Gap * u) / columns;
}

QString dateText(const QDate &d)
{
    return d.toString(QStringLiteral("yyyy-MM-dd"));
}

QString labelOf(const Request &r, const Pair &p, bool after)
{
    QString text = after ? QStringLiteral("术后") : QStringLiteral("术前");
    if (r.showDates) {
        const CasePicture &picture = after ? p.after : p.before;
        const QDate d = picture.dateTaken();
        if (d.isValid())
            text += QLatin1Char(' ') + dateText(d);
        // The time since the surgery of the after picture's own case.
        const QString since = after ? picture.sinceSurgery() : QString();
        if (!since.isEmpty())
            text += QStringLiteral("（") + since + QStringLiteral("）");
    }
    return text;
}

// The cell width at which a frame fitted into a cell of the given shape (height / width) is
// shown at its own resolution.
double ownWidth(const QRectF &frame, double cellAspect)
{
    return cellAspect > 0 ? std::max(frame.width(), frame.height() / cellAspect) : frame.width();
}

QFont fontOf(double pixels, bool bold = false)
{
    QFont f(QStringLiteral("宋体"));
    f.setPixelSize(std::max(1, int(std::lround(pixels))));
    f.setBold(bold);
    return f;
}

// The watermark in a corner of one photo: on the pixels someone might reuse, never on the
// margin or the labels beside them. u: the page's unit; the mark shrinks with a small photo.
void drawWatermark(QPainter &painter, const QRectF &photo, const Watermark &w, double u)
{
    if (w.isEmpty() || photo.isEmpty())
        return;
    u = std::min(u, photo.width() / 40);
    QImage logo;
    if (!w.logoPath.isEmpty()) {
        QImageReader reader(w.logoPath);
        reader.setAutoTransform(true);
        logo = reader.read();
    }
    const QFont font = fontOf(3.2 * u, true);
    const QFontMetricsF fm(font, painter.device());
    const double logoH = logo.isNull() ? 0 : 9 * u;
    const double logoW = logo.isNull() ? 0 : logoH * logo.width() / std::max(1, logo.height());
    const double textW = w.text.isEmpty() ? 0 : fm.horizontalAdvance(w.text);
    const double textH = w.text.isEmpty() ? 0 : fm.height();
    const double boxW = std::max(logoW, textW), boxH = logoH + textH + (logoH > 0 && textH > 0 ? u : 0);
    const QRectF inner = photo.adjusted(Margin * u * 0.5, Margin * u * 0.5, -Margin * u * 0.5, -Margin * u * 0.5);
    QPointF at;
    switch (w.corner) {
    case Corner::TopLeft: at = inner.topLeft(); break;
    case Corner::TopRight: at = QPointF(inner.right() - boxW, inner.top()); break;
    case Corner::BottomLeft: at = QPointF(inner.left(), inner.bottom() - boxH); break;
    case Corner::BottomRight: at = QPointF(inner.right() - boxW, inner.bottom() - boxH); break;
    case Corner::Centre: at = inner.center() - QPointF(boxW / 2, boxH / 2); break;
    }
    painter.save();
    painter.setClipRect(photo);
    painter.setOpacity(std::clamp(w.opacity, 0.0, 1.0));
    if (!logo.isNull())
        painter.drawImage(QRectF(at.x() + (boxW - logoW) / 2, at.y(), logoW, logoH), logo);
    if (textW > 0) {
        painter.setFont(font);
        painter.setPen(QColor(255, 255, 255));
        const QRectF tr(at.x(), at.y() + boxH - textH, boxW, textH);
        // A dark outline under light letters reads on any picture.
        painter.setPen(QColor(0, 0, 0));
        painter.drawText(tr.translated(u * 0.15, u * 0.15), Qt::AlignCenter, w.text);
        painter.setPen(QColor(255, 255, 255));
        painter.drawText(tr, Qt::AlignCenter, w.text);
    }
    painter.restore();
}

} // namespace

QString purposeLabel(Purpose purpose)
{
    return purposeLabels().value(int(purpose));
}

QStringList purposeLabels()
{
    return {QStringLiteral("内部存档"), QStringLiteral("发给顾客本人"), QStringLiteral("宣传发布")};
}

QStringList layoutLabels()
{
    return {QStringLiteral("一组左右并排"), QStringLiteral("一组上下排列"), QStringLiteral("多组网格")};
}

QStringList cornerLabels()
{
    return {QStringLiteral("左上"), QStringLiteral("右上"), QStringLiteral("左下"), QStringLiteral("右下"),
            QStringLiteral("居中")};
}

int pairsPerPage(Layout layout)
{
    return layout == Layout::Grid ? 3 : 1;
}

int pageCount(const Request &request)
{
    const int per = pairsPerPage(request.layout);
    return (int(request.pairs.size()) + per - 1) / per;
}

QString Pair::category() const
{
    const QString b = before.category(), a = after.category();
    if (a == b || a.isEmpty())
        return b;
    if (b.isEmpty())
        return a;
    return QStringLiteral("术前：%1　术后：%2").arg(b, a);
}

QRectF frameOf(const Pair &pair)
{
    if (!pair.crop.isEmpty())
        return pair.crop;
    const QSize natural = PictureLoader::readNaturalSize(pair.before.path);
    return QRectF(QPointF(0, 0), QSizeF(natural));
}

QRectF frameOf(const Pair &pair, bool after)
{
    if (!after || pair.alignment)
        return frameOf(pair);
    if (!pair.afterCrop.isEmpty())
        return pair.afterCrop;
    const QSize natural = PictureLoader::readNaturalSize(pair.after.path);
    return QRectF(QPointF(0, 0), QSizeF(natural));
}

QTransform frameToCell(const Pair &pair, bool after, const QRectF &cell)
{
    const QRectF frame = frameOf(pair, after);
    if (frame.isEmpty() || cell.isEmpty())
        return QTransform();
    const double k = std::min(cell.width() / frame.width(), cell.height() / frame.height());
    const QPointF offset = cell.center() - QPointF(frame.width() * k, frame.height() * k) / 2;
    return QTransform::fromTranslate(-frame.x(), -frame.y()) * QTransform::fromScale(k, k)
           * QTransform::fromTranslate(offset.x(), offset.y());
}

double heightForWidth(const Request &request, int page, double width)
{
    const Shape s = shapeOf(request, page);
    return s.fixed * width / 100 + s.pictures * naturalCellWidth(s.columns, width);
}

double fullWidth(const Request &request, int page)
{
    double widest = 0;
    for (int i : pairsOn(request, page)) {
        const Pair &pair = request.pairs[i];
        const double aspect = aspectOf(pair);
        widest = std::max({widest, ownWidth(frameOf(pair, false), aspect), ownWidth(frameOf(pair, true), aspect)});
    }
    const int c = columnsOf(request.layout);
    return c * widest / (1 - (2 * Margin + (c - 1) * Gap) / 100);
}

QVector<PlacedPair> placePage(const Request &request, int page, const QRectF &pageRect)
{
    QVector<PlacedPair> placed;
    const Shape s = shapeOf(request, page);
    const double u = pageRect.width() / 100;
    double cellW = naturalCellWidth(s.columns, pageRect.width());
    const double room = pageRect.height() - s.fixed * u;
    if (s.pictures > 0 && s.pictures * cellW > room)
        cellW = std::max(1.0, room / s.pictures);
    const double blockW = s.columns * cellW + (s.columns - 1) * Gap * u;
    const double left = pageRect.left() + (pageRect.width() - blockW) / 2;
    const double height = s.fixed * u + s.pictures * cellW;
    double y = pageRect.top() + std::max(0.0, (pageRect.height() - height) / 2) + Margin * u;
    const QVector<int> on = pairsOn(request, page);
    if (request.layout != Layout::Grid)
        y += Title * u;
    for (int i : on) {
        PlacedPair p;
        p.pairIndex = i;
        const double h = aspectOf(request.pairs[i]) * cellW;
        if (request.layout == Layout::Grid)
            y += RowTitle * u;
        if (request.layout == Layout::Stacked) {
            p.before = QRectF(left, y, cellW, h);
            p.after = QRectF(left, y + h + Label * u + Gap * u, cellW, h);
        } else {
            p.before = QRectF(left, y, cellW, h);
            p.after = QRectF(left + cellW + Gap * u, y, cellW, h);
        }
        y = p.after.bottom() + Label * u + Gap * u;
        placed.append(p);
    }
    return placed;
}

QImage renderCell(const Pair &pair, bool after, QSize target)
{
    const QRectF frame = frameOf(pair, after);
    if (frame.isEmpty() || target.isEmpty())
        return QImage();
    // Never above the picture's own resolution: a cell that would enlarge the frame is made
    // smaller, keeping its shape (the page then scales it to its place).
    double k = std::min(target.width() / frame.width(), target.height() / frame.height());
    if (k > 1) {
        target = QSize(int(std::lround(target.width() / k)), int(std::lround(target.height() / k)));
        k = 1;
    }
    target = target.expandedTo(QSize(1, 1));

    const CasePicture &source = after ? pair.after : pair.before;
    const QSize natural = PictureLoader::readNaturalSize(source.path);
    const bool laidOver = after && pair.alignment;
    // Decode only as much as the cell shows (JPEG pictures decode at a reduced scale).
    const double need = k * (laidOver ? pair.alignment->scale() : 1.0);
    const QSize atLeast(std::min(natural.width(), int(std::ceil(natural.width() * need)) + 1),
                        std::min(natural.height(), int(std::ceil(natural.height() * need)) + 1));
    const QImage picture = PictureLoader::loadPreview(source.path, atLeast);
    if (picture.isNull())
        throw AppError(QStringLiteral("无法读取图片 %1").arg(source.path));

    QImage cell(target, QImage::Format_RGB32);
    // Where an aligned after picture does not cover the frame, the background shows.
    cell.fill(QColor(255, 255, 255));
    QPainter p(&cell);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::Antialiasing);
    const QTransform toCell = frameToCell(pair, after, QRectF(QPointF(0, 0), QSizeF(target)));
    QTransform t = QTransform::fromScale(double(natural.width()) / picture.width(),
                                         double(natural.height()) / picture.height());
    if (laidOver)
        t = t * pair.alignment->toTransform();
    p.setTransform(t * toCell);
    p.drawImage(QPointF(0, 0), picture);
    // The bars are part of the pixels: nothing under them leaves the program.
    p.setTransform(toCell);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0));
    for (const QPolygonF &bar : after ? pair.afterBars : pair.beforeBars)
        p.drawPolygon(bar);
    p.end();
    return cell;
}

void paintPage(QPainter &painter, const QRectF &pageRect, const Request &request, int page)
{
    const double u = pageRect.width() / 100;
    painter.save();
    painter.fillRect(pageRect, QColor(255, 255, 255));
    painter.setPen(QColor(0, 0, 0));
    const QVector<PlacedPair> placed = placePage(request, page, pageRect);
    const QFont labelFont = fontOf(2.6 * u);
    const QFont titleFont = fontOf(3.4 * u, true);
    for (const PlacedPair &pp : placed) {
        const Pair &pair = request.pairs[pp.pairIndex];
        for (bool after : {false, true}) {
            const QRectF r = after ? pp.after : pp.before;
            // One device pixel per cell pixel: the PDF holds 300 dpi, a file its own width.
            const QImage cell = renderCell(pair, after, r.size().toSize());
            painter.drawImage(r, cell);
            drawWatermark(painter, r, request.watermark, u);
            painter.setFont(labelFont);
            painter.drawText(QRectF(r.left(), r.bottom(), r.width(), Label * u), Qt::AlignCenter,
                             labelOf(request, pair, after));
        }
        const QString category = pair.category();
        if (!category.isEmpty()) {
            const bool grid = request.layout == Layout::Grid;
            const QRectF band = grid
                                    ? QRectF(pp.before.left(), pp.before.top() - RowTitle * u,
                                             pp.after.right() - pp.before.left(), RowTitle * u)
                                    : QRectF(pageRect.left(), pp.before.top() - Title * u, pageRect.width(), Title * u);
            // A long title is set smaller to fit its band, and wraps onto a second line when even
            // that is not enough.
            QFont font = grid ? labelFont : titleFont;
            const double wide = QFontMetricsF(font, painter.device()).horizontalAdvance(category);
            if (wide > band.width())
                font.setPixelSize(std::max(int(std::lround(1.6 * u)), int(font.pixelSize() * band.width() / wide)));
            painter.setFont(font);
            painter.drawText(band, Qt::AlignCenter | Qt::TextWordWrap, category);
        }
    }
    if (request.purpose == Purpose::Internal) {
        QString footer = QStringLiteral("内部存档");
        if (!request.customerNo.isEmpty())
            footer += QStringLiteral("　客户编号：") + request.customerNo;
        if (!request.customerName.isEmpty())
            footer += QStringLiteral("　姓名：") + request.customerName;
        painter.setFont(fontOf(2.2 * u));
        painter.drawText(QRectF(pageRect.left() + Margin * u, pageRect.bottom() - (Margin + Footer) * u,
                                pageRect.width() - 2 * Margin * u, Footer * u),
                         Qt::AlignLeft | Qt::AlignVCenter, footer);
    }
    painter.restore();
}

} // namespace Sheet
