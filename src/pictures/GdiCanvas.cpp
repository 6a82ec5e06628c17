#include "pictures/GdiCanvas.h"
#include "pictures/PictureBudget.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QImageReader>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace Metafile {

Bytes Bytes::sub(std::size_t offset, std::size_t length) const
{
    if (offset > size)
        return Bytes{};
    return Bytes{data + offset, std::min(length, size - offset)};
}

uint16_t Bytes::u16(std::size_t at) const
{
    return has(at, 2) ? qFromLittleEndian<quint16>(data + at) : 0;
}

uint32_t Bytes::u32(std::size_t at) const
{
    return has(at, 4) ? qFromLittleEndian<quint32>(data + at) : 0;
}

float Bytes::f32(std::size_t at) const
{
    const uint32_t bits = u32(at);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return std::isfinite(f) ? f : 0.0f;
}

QColor colorRef(uint32_t value)
{
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

QImage decodeDib(Bytes info, Bytes bits, bool *bottomUp)
{
    const uint32_t headerSize = info.u32(0);
    if (headerSize < 12 || !info.has(0, headerSize))
        return QImage();
    if (bottomUp)
        *bottomUp = headerSize == 12 ? true : info.i32(8) > 0;
    // A bitmap inside a metafile is drawn onto the canvas: one larger than the canvas budget is
    // skipped before the bitmap reader allocates it.
    const qint64 width = headerSize == 12 ? info.u16(4) : std::abs(qint64(info.i32(4)));
    const qint64 height = headerSize == 12 ? info.u16(6) : std::abs(qint64(info.i32(8)));
    if (!PictureBudget::fits(width, height) || width * height > PictureBudget::MaxCanvasPixels)
        return QImage();
    PictureBudget::applyQtLimit();
    // Put a file header in front and let the bitmap reader do the rest.
    QByteArray file(14, '\0');
    file[0] = 'B';
    file[1] = 'M';
    qToLittleEndian<quint32>(quint32(14 + info.size + bits.size), file.data() + 2);
    qToLittleEndian<quint32>(quint32(14 + info.size), file.data() + 10);
    file.append(reinterpret_cast<const char *>(info.data), qsizetype(info.size));
    file.append(reinterpret_cast<const char *>(bits.data), qsizetype(bits.size));
    QBuffer buffer(&file);
    QImageReader reader(&buffer, "bmp");
    reader.setAutoDetectImageFormat(false);
    QImage image;
    reader.read(&image);
    return image;
}

QImage decodePackedDib(Bytes dib, bool *bottomUp)
{
    const uint32_t headerSize = dib.u32(0);
    std::size_t table = 0;
    if (headerSize == 12) {
        const unsigned bitCount = dib.u16(10);
        table = bitCount <= 8 ? (std::size_t(1) << bitCount) * 3 : 0;
    } else if (headerSize >= 40) {
        const unsigned bitCount = dib.u16(14);
        const uint32_t compression = dib.u32(16);
        const uint32_t used = dib.u32(32);
        std::size_t colours = used ? used : (bitCount <= 8 ? std::size_t(1) << bitCount : 0);
        table = std::min<std::size_t>(colours, 256) * 4;
        if (headerSize == 40 && (compression == 3 || compression == 6))
            table += compression == 3 ? 12 : 16;
    } else {
        return QImage();
    }
    const std::size_t infoSize = headerSize + table;
    if (!dib.has(0, infoSize))
        return QImage();
    return decodeDib(dib.sub(0, infoSize), dib.sub(infoSize, dib.size - infoSize), bottomUp);
}

// About thirty fills of the largest canvas.
constexpr qint64 PaintingWork = 32 * PictureBudget::MaxCanvasPixels;

GdiCanvas::GdiCanvas(QImage *target) : m_target(target), m_workLeft(PaintingWork)
{
    m_painter.begin(target);
    m_painter.setRenderHint(QPainter::SmoothPixmapTransform);
    s.pen = QPen(Qt::black, 0);
    s.brush = QBrush(Qt::white);
    pictureRect = QRectF(0, 0, target->width(), target->height());
}

GdiCanvas::~GdiCanvas()
{
    m_painter.end();
}

void GdiCanvas::select(const GdiObject &object)
{
    switch (object.type) {
    case GdiObject::Pen: s.pen = object.pen; break;
    case GdiObject::Brush: s.brush = object.brush; break;
    case GdiObject::Font: s.font = object.font; break;
    default: break;
    }
}

void GdiCanvas::selectStock(uint32_t index)
{
    static const int greys[] = {255, 192, 128, 64, 0};
    if (index <= 4)
        s.brush = QBrush(QColor(greys[index], greys[index], greys[index]));
    else if (index == 5)
        s.brush = Qt::NoBrush;
    else if (index == 6)
        s.pen = QPen(Qt::white, 0);
    else if (index == 7)
        s.pen = QPen(Qt::black, 0);
    else if (index == 8)
        s.pen = Qt::NoPen;
    else if (index >= 10 && index <= 17 && index != 15)
        s.font = GdiFont();
}

int GdiCanvas::firstFreeSlot()
{
    for (int i = 0; i < objects.size(); ++i) {
        if (objects[i].type == GdiObject::Empty)
            return i;
    }
    objects.append(GdiObject());
    return objects.size() - 1;
}

void GdiCanvas::saveDC()
{
    m_saved.append(s);
    m_painter.save();
}

void GdiCanvas::restoreDC(int relative)
{
    int pops = relative < 0 ? -relative : m_saved.size() - relative + 1;
    while (pops-- > 0 && !m_saved.isEmpty()) {
        s = m_saved.takeLast();
        m_painter.restore();
    }
}

void GdiCanvas::intersectClip(const QRectF &logical)
{
    m_painter.setTransform(logicalToPicture());
    m_painter.setClipRect(logical.normalized(), m_painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
}

QTransform GdiCanvas::logicalToPicture() const
{
    auto ratio = [](double num, double den) { return den == 0 ? 1.0 : num / den; };
    if (windowToPicture) {
        const double sx = ratio(pictureRect.width(), s.windowExt.width());
        const double sy = ratio(pictureRect.height(), s.windowExt.height());
        return s.world
               * QTransform(sx, 0, 0, sy, pictureRect.x() - s.windowOrg.x() * sx,
                            pictureRect.y() - s.windowOrg.y() * sy);
    }
    double sx = 1, sy = 1;
    switch (s.mapMode) {
    case MM_ISOTROPIC:
    case MM_ANISOTROPIC:
        sx = ratio(s.viewportExt.width(), s.windowExt.width());
        sy = ratio(s.viewportExt.height(), s.windowExt.height());
        if (s.mapMode == MM_ISOTROPIC) {
            const double m = std::min(std::abs(sx), std::abs(sy));
            sx = std::copysign(m, sx);
            sy = std::copysign(m, sy);
        }
        break;
    case MM_LOMETRIC: sx = devicePixelsPerMm * 0.1; break;
    case MM_HIMETRIC: sx = devicePixelsPerMm * 0.01; break;
    case MM_LOENGLISH: sx = devicePixelsPerMm * 0.254; break;
    case MM_HIENGLISH: sx = devicePixelsPerMm * 0.0254; break;
    case MM_TWIPS: sx = devicePixelsPerMm * 25.4 / 1440; break;
    default: break;
    }
    if (s.mapMode >= MM_LOMETRIC && s.mapMode <= MM_TWIPS)
        sy = -sx;
    const QTransform map(sx, 0, 0, sy, s.viewportOrg.x() - s.windowOrg.x() * sx,
                         s.viewportOrg.y() - s.windowOrg.y() * sy);
    return s.world * map * deviceToPicture;
}

QPen GdiCanvas::effectivePen(const QTransform &t) const
{
    QPen pen = s.pen;
    // Windows draws a pen at least one pixel wide, whatever the mapping.
    if (pen.style() != Qt::NoPen && pen.widthF() * std::sqrt(std::abs(t.determinant())) < 1.5)
        pen.setWidthF(0);
    return pen;
}

bool GdiCanvas::spend(const QRectF &pictureArea)
{
    return spendPixels(coveredPixels(pictureArea));
}

double GdiCanvas::coveredPixels(const QRectF &pictureArea) const
{
    const QRectF covered = pictureArea.normalized().intersected(QRectF(0, 0, m_target->width(), m_target->height()));
    return covered.isValid() ? covered.width() * covered.height() : 0.0;
}

bool GdiCanvas::spendPixels(double pixels)
{
    m_workLeft -= 64 + qint64(std::min(pixels, double(PaintingWork)));
    return m_workLeft > 0;
}

void GdiCanvas::draw(const QPainterPath &path, bool fill, bool stroke)
{
    if (m_inPath) {
        m_path.addPath(path);
        return;
    }
    const QTransform t = logicalToPicture();
    // A fill costs the area it covers in the picture; a line its length times its width, at
    // most the area around it.
    const QRectF bounds = t.mapRect(path.controlPointRect());
    double cost = 0;
    if (fill && s.brush.style() != Qt::NoBrush)
        cost += coveredPixels(bounds);
    if (stroke && s.pen.style() != Qt::NoPen) {
        const double scale = std::sqrt(std::abs(t.determinant()));
        const double width = std::min(s.pen.widthF() * scale, 1e6) + 2;
        cost += std::min(path.length() * scale * width, coveredPixels(bounds.adjusted(-width, -width, width, width)));
    }
    if (!spendPixels(cost))
        return;
    m_painter.setTransform(t);
    QPainterPath p = path;
    p.setFillRule(s.fillRule);
    if (fill && s.brush.style() != Qt::NoBrush) {
        QBrush brush = s.brush;
        if (brush.style() >= Qt::HorPattern && brush.style() <= Qt::DiagCrossPattern) {
            // Hatches are laid out in pixels, on the background colour when it is opaque.
            brush.setTransform(t.inverted());
            if (s.opaqueBackground)
                m_painter.fillPath(p, s.bkColor);
        }
        m_painter.fillPath(p, brush);
    }
    if (stroke && s.pen.style() != Qt::NoPen) {
        m_painter.setPen(effectivePen(t));
        m_painter.setBrush(Qt::NoBrush);
        m_painter.drawPath(p);
    }
}

void GdiCanvas::moveTo(QPointF p)
{
    s.position = p;
    if (m_inPath)
        m_path.moveTo(p);
}

void GdiCanvas::lineTo(QPointF p)
{
    if (m_inPath) {
        if (m_path.elementCount() == 0)
            m_path.moveTo(s.position);
        m_path.lineTo(p);
    } else {
        QPainterPath path(s.position);
        path.lineTo(p);
        draw(path, false, true);
    }
    s.position = p;
}

void GdiCanvas::polyline(const QPolygonF &points, bool fromCurrent)
{
    if (points.isEmpty())
        return;
    if (fromCurrent) {
        for (const QPointF &p : points)
            lineTo(p);
        return;
    }
    if (m_inPath) {
        m_path.moveTo(points.first());
        for (int i = 1; i < points.size(); ++i)
            m_path.lineTo(points[i]);
        return;
    }
    QPainterPath path;
    path.addPolygon(points);
    draw(path, false, true);
}

void GdiCanvas::polygon(const QPolygonF &points)
{
    if (points.size() < 2)
        return;
    QPainterPath path;
    path.addPolygon(points);
    path.closeSubpath();
    draw(path, true, true);
}

void GdiCanvas::polyPolygon(const QVector<QPolygonF> &polygons)
{
    QPainterPath path;
    for (const QPolygonF &poly : polygons) {
        path.addPolygon(poly);
        path.closeSubpath();
    }
    draw(path, true, true);
}

void GdiCanvas::polyPolyline(const QVector<QPolygonF> &lines)
{
    for (const QPolygonF &line : lines)
        polyline(line, false);
}

void GdiCanvas::polyBezier(const QPolygonF &points, bool fromCurrent)
{
    int i = 0;
    QPointF start = s.position;
    if (!fromCurrent) {
        if (points.isEmpty())
            return;
        start = points[0];
        i = 1;
    }
    QPainterPath path(start);
    for (; i + 2 < points.size(); i += 3)
        path.cubicTo(points[i], points[i + 1], points[i + 2]);
    if (fromCurrent)
        s.position = path.currentPosition();
    if (m_inPath) {
        if (m_path.elementCount() == 0 || !fromCurrent)
            m_path.moveTo(start);
        m_path.connectPath(path);
    } else {
        draw(path, false, true);
    }
}

void GdiCanvas::rectangle(const QRectF &r)
{
    QPainterPath path;
    path.addRect(r.normalized());
    draw(path, true, true);
}

void GdiCanvas::roundRect(const QRectF &r, QSizeF corner)
{
    QPainterPath path;
    path.addRoundedRect(r.normalized(), std::abs(corner.width()) / 2, std::abs(corner.height()) / 2);
    draw(path, true, true);
}

void GdiCanvas::ellipse(const QRectF &r)
{
    QPainterPath path;
    path.addEllipse(r.normalized());
    draw(path, true, true);
}

void GdiCanvas::text(QPointF at, const QString &str, const QRectF *opaque, const QRectF *clip, bool useCurrent)
{
    if (m_inPath || !workLeft())
        return;
    const QTransform t = logicalToPicture();
    m_painter.save();
    m_painter.setTransform(t);
    if (opaque)
        m_painter.fillRect(opaque->normalized(), s.bkColor);
    if (clip)
        m_painter.setClipRect(clip->normalized(), Qt::IntersectClip);

    const bool updateCp = useCurrent || (s.textAlign & 1);
    const QPointF ref = updateCp ? s.position : at;
    const QPointF device = t.map(ref);
    const double yScale = std::hypot(t.m21(), t.m22());

    QFont font;
    if (!s.font.face.isEmpty())
        font.setFamily(s.font.face);
    double px = std::abs(s.font.height) * yScale;
    if (px < 0.5)
        px = 12;
    if (s.font.height > 0) {
        // A positive height is the whole cell; Qt sizes fonts by their em.
        QFont probe = font;
        probe.setPixelSize(100);
        const QFontMetricsF m(probe);
        px = px * 100 / std::max(1.0, m.ascent() + m.descent());
    }
    // Text much larger than the picture shows nothing of itself but would cost its full size.
    px = std::min(px, 2.0 * std::max(m_target->width(), m_target->height()) + 16);
    font.setPixelSize(std::max(1, int(std::lround(px))));
    font.setWeight(QFont::Weight(qBound(100, s.font.weight ? s.font.weight : 400, 900)));
    font.setItalic(s.font.italic);
    font.setUnderline(s.font.underline);
    font.setStrikeOut(s.font.strikeOut);
    const QFontMetricsF metrics(font);
    const double width = metrics.horizontalAdvance(str);
    if (!spend(QRectF(device.x() - width, device.y() - metrics.height(), 2 * width, 2 * metrics.height()))) {
        m_painter.restore();
        return;
    }

    const unsigned horizontal = s.textAlign & 6;
    const unsigned vertical = s.textAlign & 24;
    const double x = horizontal == 6 ? -width / 2 : horizontal == 2 ? -width : 0;
    const double baseline = vertical == 24 ? 0 : vertical == 8 ? -metrics.descent() : metrics.ascent();

    m_painter.setTransform(QTransform());
    m_painter.translate(device);
    m_painter.rotate(-s.font.escapement / 10.0);
    if (s.opaqueBackground && !opaque)
        m_painter.fillRect(QRectF(x, baseline - metrics.ascent(), width, metrics.height()), s.bkColor);
    m_painter.setFont(font);
    m_painter.setPen(s.textColor);
    m_painter.drawText(QPointF(x, baseline), str);
    m_painter.restore();

    if (updateCp && horizontal == 0) {
        bool invertible = false;
        const QTransform back = t.inverted(&invertible);
        if (invertible)
            s.position = back.map(device + QPointF(width, 0));
    }
}

void GdiCanvas::image(const QRectF &dest, const QImage &picture, const QRectF &source)
{
    if (picture.isNull() || m_inPath)
        return;
    QImage pic = picture;
    QRectF src = source;
    double x = dest.x(), y = dest.y(), w = dest.width(), h = dest.height();
    if (w < 0) {
        pic = pic.mirrored(true, false);
        src.moveLeft(pic.width() - src.x() - src.width());
        x += w;
        w = -w;
    }
    if (h < 0) {
        pic = pic.mirrored(false, true);
        src.moveTop(pic.height() - src.y() - src.height());
        y += h;
        h = -h;
    }
    if (!spend(logicalToPicture().mapRect(QRectF(x, y, w, h))))
        return;
    m_painter.setTransform(logicalToPicture());
    m_painter.drawImage(QRectF(x, y, w, h), pic, src);
}

void GdiCanvas::fillWithBrush(const QRectF &dest, const QBrush &brush)
{
    if (!spend(logicalToPicture().mapRect(dest)))
        return;
    m_painter.setTransform(logicalToPicture());
    m_painter.fillRect(dest.normalized(), brush);
}

void GdiCanvas::beginPath()
{
    m_inPath = true;
    m_path = QPainterPath();
}

void GdiCanvas::abortPath()
{
    m_inPath = false;
    m_path = QPainterPath();
}

void GdiCanvas::drawPath(bool fill, bool stroke)
{
    m_inPath = false;
    const QPainterPath path = m_path;
    m_path = QPainterPath();
    draw(path, fill, stroke);
}

GdiFont decodeLogFont(Bytes f, bool wide)
{
    const std::size_t n = wide ? 4 : 2;
    const auto number = [&](std::size_t index) { return wide ? f.i32(index * n) : int32_t(f.i16(index * n)); };
    const std::size_t flags = 5 * n; // italic, underline, strike-out, character set
    const std::size_t face = flags + 8;
    GdiFont font;
    font.height = number(0);
    font.escapement = number(2);
    font.weight = number(4);
    font.italic = f.has(flags, 1) && f.data[flags];
    font.underline = f.has(flags + 1, 1) && f.data[flags + 1];
    font.strikeOut = f.has(flags + 2, 1) && f.data[flags + 2];
    font.charset = f.has(flags + 3, 1) ? f.data[flags + 3] : 1;
    if (wide) {
        for (std::size_t i = 0; i < 32; ++i) {
            const uint16_t ch = f.u16(face + i * 2);
            if (!ch)
                break;
            font.face.append(QChar(ch));
        }
    } else {
        const Bytes name = f.sub(face, 32);
        const QByteArray bytes(reinterpret_cast<const char *>(name.data), qsizetype(name.size));
        const qsizetype end = bytes.indexOf('\0');
        font.face = decodeAnsi(end < 0 ? bytes : bytes.left(end), font.charset);
    }
    return font;
}

QBrush gdiBrush(unsigned style, QColor colour, unsigned hatch)
{
    static const Qt::BrushStyle hatches[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                             Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
    if (style == 1)
        return Qt::NoBrush;
    if (style == 2)
        return QBrush(colour, hatch < 6 ? hatches[hatch] : Qt::SolidPattern);
    return QBrush(colour);
}

} // namespace Metafile
