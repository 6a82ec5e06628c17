// Playback of Windows metafiles (the 16-bit format), with or without the placeable header.

#include "data/AppError.h"
#include "pictures/GdiCanvas.h"

#include <QStringDecoder>

#include <cmath>

namespace Metafile {

namespace {

constexpr uint32_t PlaceableKey = 0x9AC6CDD7;

struct Layout {
    bool placeable = false;
    QRectF bounds; // logical units
    int unitsPerInch = 96;
    std::size_t records = 0;
    int objectCount = 0;
};

[[noreturn]] void invalid()
{
    throw AppError(QStringLiteral("Metafile is not valid"));
}

// Calls f(function, params, recordWords) for every record until EOF or the data ends.
template <typename F> void forEachRecord(Bytes data, std::size_t start, F f)
{
    std::size_t offset = start;
    while (data.has(offset, 6)) {
        const uint32_t words = data.u32(offset);
        const uint16_t function = data.u16(offset + 4);
        if (words < 3 || function == 0)
            break;
        const std::size_t bytes = std::size_t(words) * 2;
        if (!data.has(offset, bytes))
            break;
        f(function, data.sub(offset + 6, bytes - 6), words);
        offset += bytes;
    }
}

Layout layoutOf(Bytes data)
{
    Layout l;
    std::size_t header = 0;
    if (data.u32(0) == PlaceableKey) {
        l.placeable = true;
        const int left = data.i16(6), top = data.i16(8), right = data.i16(10), bottom = data.i16(12);
        l.unitsPerInch = data.u16(14) ? data.u16(14) : 1440;
        l.bounds = QRectF(QPointF(left, top), QPointF(right, bottom));
        header = 22;
    }
    const unsigned type = data.u16(header);
    if (!data.has(header, 18) || (type != 1 && type != 2) || data.u16(header + 2) != 9)
        invalid();
    l.objectCount = data.u16(header + 10);
    l.records = header + 18;
    if (!l.placeable) {
        // Without a placeable header the window set up by the records gives the size.
        QPointF org;
        QSizeF ext(0, 0);
        bool haveOrg = false, haveExt = false;
        forEachRecord(data, l.records, [&](uint16_t fn, Bytes p, uint32_t) {
            if (fn == 0x020B && !haveOrg) {
                org = QPointF(p.i16(2), p.i16(0));
                haveOrg = true;
            } else if (fn == 0x020C && !haveExt) {
                ext = QSizeF(p.i16(2), p.i16(0));
                haveExt = true;
            }
        });
        if (ext.width() == 0 || ext.height() == 0)
            invalid();
        l.bounds = QRectF(org, ext);
    }
    return l;
}

QPolygonF points16(Bytes p, std::size_t at, std::size_t count)
{
    count = std::min(count, p.has(at, 0) ? (p.size - at) / 4 : 0);
    QPolygonF poly;
    poly.reserve(int(count));
    for (std::size_t i = 0; i < count; ++i)
        poly.append(QPointF(p.i16(at + i * 4), p.i16(at + i * 4 + 2)));
    return poly;
}

QRectF ltrb(Bytes p, std::size_t bottomAt)
{
    // Records list the edges as bottom, right, top, left.
    const int bottom = p.i16(bottomAt), right = p.i16(bottomAt + 2), top = p.i16(bottomAt + 4),
              left = p.i16(bottomAt + 6);
    return QRectF(left, top, right - left, bottom - top);
}

QPen makePen(unsigned style, int width, QColor colour)
{
    static const Qt::PenStyle styles[] = {Qt::SolidLine,      Qt::DashLine, Qt::DotLine,  Qt::DashDotLine,
                                          Qt::DashDotDotLine, Qt::NoPen,    Qt::SolidLine};
    const unsigned s = style & 0xF;
    QPen pen(colour, std::abs(width), s < 7 ? styles[s] : Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

class WmfPlayer {
public:
    explicit WmfPlayer(GdiCanvas &canvas) : c(canvas) {}
    void play(uint16_t fn, Bytes p, uint32_t words);

private:
    void bitmap(uint16_t fn, Bytes p, uint32_t words);
    void text(Bytes p, bool extended);
    void addObject(const GdiObject &object) { c.objects[c.firstFreeSlot()] = object; }

    GdiCanvas &c;
};

void WmfPlayer::play(uint16_t fn, Bytes p, uint32_t words)
{
    auto pt = [&](std::size_t yAt) { return QPointF(p.i16(yAt + 2), p.i16(yAt)); };
    switch (fn) {
    case 0x020B: c.s.windowOrg = pt(0); break;                      // SETWINDOWORG
    case 0x020C: c.s.windowExt = QSizeF(p.i16(2), p.i16(0)); break; // SETWINDOWEXT
    case 0x020F: c.s.windowOrg += pt(0); break;                     // OFFSETWINDOWORG
    case 0x0410: {                                                  // SCALEWINDOWEXT
        const int yDen = p.i16(0), yNum = p.i16(2), xDen = p.i16(4), xNum = p.i16(6);
        if (xDen && yDen)
            c.s.windowExt = QSizeF(c.s.windowExt.width() * xNum / xDen, c.s.windowExt.height() * yNum / yDen);
        break;
    }
    case 0x0102: c.s.opaqueBackground = p.u16(0) == 2; break; // SETBKMODE
    case 0x0201: c.s.bkColor = colorRef(p.u32(0)); break;     // SETBKCOLOR
    case 0x0209: c.s.textColor = colorRef(p.u32(0)); break;   // SETTEXTCOLOR
    case 0x012E: c.s.textAlign = p.u16(0); break;             // SETTEXTALIGN
    case 0x0106: c.s.fillRule = p.u16(0) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
    case 0x001E: c.saveDC(); break;
    case 0x0127: c.restoreDC(p.i16(0)); break;
    case 0x0416: c.intersectClip(ltrb(p, 0)); break; // INTERSECTCLIPRECT
    case 0x0214: c.moveTo(pt(0)); break;
    case 0x0213: c.lineTo(pt(0)); break;
    case 0x041B: c.rectangle(ltrb(p, 0)); break;
    case 0x0418: c.ellipse(ltrb(p, 0)); break;
    case 0x061C: c.roundRect(ltrb(p, 4), QSizeF(p.i16(2), p.i16(0))); break;
    case 0x0324: c.polygon(points16(p, 2, p.u16(0))); break;
    case 0x0325: c.polyline(points16(p, 2, p.u16(0)), false); break;
    case 0x0538: { // POLYPOLYGON
        const unsigned n = p.u16(0);
        std::size_t at = 2 + std::size_t(n) * 2;
        QVector<QPolygonF> polys;
        for (unsigned i = 0; i < n && p.has(at, 0); ++i) {
            const unsigned count = p.u16(2 + i * 2);
            polys.append(points16(p, at, count));
            at += std::size_t(count) * 4;
        }
        c.polyPolygon(polys);
        break;
    }
    case 0x02FA: { // CREATEPENINDIRECT
        GdiObject o;
        o.type = GdiObject::Pen;
        o.pen = makePen(p.u16(0), p.i16(2), colorRef(p.u32(6)));
        addObject(o);
        break;
    }
    case 0x02FC: { // CREATEBRUSHINDIRECT
        GdiObject o;
        o.type = GdiObject::Brush;
        o.brush = gdiBrush(p.u16(0), colorRef(p.u32(2)), p.u16(6));
        addObject(o);
        break;
    }
    case 0x0142: { // DIBCREATEPATTERNBRUSH
        GdiObject o;
        o.type = GdiObject::Brush;
        const QImage pattern = decodePackedDib(p.sub(4, p.size));
        o.brush = pattern.isNull() ? QBrush(Qt::gray) : QBrush(pattern);
        addObject(o);
        break;
    }
    case 0x02FB: { // CREATEFONTINDIRECT
        GdiObject o;
        o.type = GdiObject::Font;
        o.font = decodeLogFont(p, false);
        addObject(o);
        break;
    }
    case 0x00F7:
    case 0x01F9:
    case 0x06FF: { // palette, pattern brush, region
        GdiObject o;
        o.type = GdiObject::Other;
        addObject(o);
        break;
    }
    case 0x012D: { // SELECTOBJECT
        const int index = p.u16(0);
        if (index < c.objects.size())
            c.select(c.objects[index]);
        break;
    }
    case 0x01F0: { // DELETEOBJECT
        const int index = p.u16(0);
        if (index < c.objects.size())
            c.objects[index] = GdiObject();
        break;
    }
    case 0x0521: text(p, false); break;
    case 0x0A32: text(p, true); break;
    case 0x0F43:
    case 0x0B41:
    case 0x0940: bitmap(fn, p, words); break;
    default: break;
    }
}

void WmfPlayer::text(Bytes p, bool extended)
{
    QRectF rect;
    bool opaque = false, clipped = false;
    QPointF at;
    std::size_t count;
    std::size_t stringAt;
    if (extended) {
        at = QPointF(p.i16(2), p.i16(0));
        count = p.u16(4);
        const unsigned options = p.u16(6);
        stringAt = 8;
        opaque = options & 2;
        clipped = options & 4;
        if (opaque || clipped) {
            rect = QRectF(QPointF(p.i16(8), p.i16(10)), QPointF(p.i16(12), p.i16(14)));
            stringAt = 16;
        }
    } else {
        count = p.u16(0);
        stringAt = 2;
        const std::size_t after = 2 + ((count + 1) & ~std::size_t(1));
        at = QPointF(p.i16(after + 2), p.i16(after));
    }
    const Bytes str = p.sub(stringAt, count);
    const QString s = decodeAnsi(QByteArray(reinterpret_cast<const char *>(str.data), qsizetype(str.size)),
                                 c.s.font.charset);
    c.text(at, s, opaque ? &rect : nullptr, clipped ? &rect : nullptr, false);
}

void WmfPlayer::bitmap(uint16_t fn, Bytes p, uint32_t words)
{
    const uint32_t rop = p.u32(0);
    // Records without a bitmap are one word shorter than the function number's high byte says.
    const bool withBitmap = words != uint32_t(fn >> 8) + 3;
    QRectF dest, source;
    std::size_t dibAt = 0;
    if (fn == 0x0F43) { // STRETCHDIB: rop, usage, srcH, srcW, srcY, srcX, destH, destW, destY, destX
        source = QRectF(p.i16(12), p.i16(10), p.i16(8), p.i16(6));
        dest = QRectF(p.i16(20), p.i16(18), p.i16(16), p.i16(14));
        dibAt = 22;
    } else if (fn == 0x0B41) { // DIBSTRETCHBLT: rop, srcH, srcW, srcY, srcX, [reserved], destH, destW, destY, destX
        source = QRectF(p.i16(10), p.i16(8), p.i16(6), p.i16(4));
        const std::size_t d = withBitmap ? 12 : 14;
        dest = QRectF(p.i16(d + 6), p.i16(d + 4), p.i16(d + 2), p.i16(d));
        dibAt = 20;
    } else { // DIBBITBLT: rop, srcY, srcX, [reserved], height, width, destY, destX
        const std::size_t d = withBitmap ? 8 : 10;
        dest = QRectF(p.i16(d + 6), p.i16(d + 4), p.i16(d + 2), p.i16(d));
        source = QRectF(p.i16(6), p.i16(4), dest.width(), dest.height());
        dibAt = 16;
    }
    if (fn == 0x0F43 || withBitmap) {
        bool bottomUp = true;
        const QImage image = decodePackedDib(p.sub(dibAt, p.size), &bottomUp);
        if (image.isNull())
            return;
        if (bottomUp) // source rows count from the bottom of the bitmap
            source.moveTop(image.height() - source.y() - source.height());
        c.image(dest, image, source);
    } else if (rop == 0x00F00021) { // PATCOPY
        c.fillWithBrush(dest, c.s.brush);
    } else if (rop == 0x00000042 || rop == 0x00FF0062) { // BLACKNESS, WHITENESS
        c.fillWithBrush(dest, rop == 0x42 ? Qt::black : Qt::white);
    }
}

} // namespace

QString decodeAnsi(const QByteArray &bytes, int charset)
{
    if (charset == 0 || charset == 2)
        return QString::fromLatin1(bytes);
    QStringDecoder decoder("GB18030");
    return decoder.isValid() ? QString(decoder(bytes)) : QString::fromLatin1(bytes);
}

QSize wmfNaturalSize(Bytes data)
{
    const Layout l = layoutOf(data);
    const double scale = l.placeable ? 96.0 / l.unitsPerInch : 1.0;
    const QSize size(int(std::lround(std::abs(l.bounds.width()) * scale)),
                     int(std::lround(std::abs(l.bounds.height()) * scale)));
    // Sizes beyond the picture budget are refused by the caller.
    if (size.width() < 1 || size.height() < 1)
        invalid();
    return size;
}

void playWmf(Bytes data, QImage *target)
{
    const Layout l = layoutOf(data);
    GdiCanvas canvas(target);
    canvas.windowToPicture = true;
    canvas.s.mapMode = MM_ANISOTROPIC;
    canvas.s.windowOrg = l.bounds.topLeft();
    canvas.s.windowExt = l.bounds.size();
    canvas.objects.resize(std::max(0, l.objectCount));
    WmfPlayer player(canvas);
    forEachRecord(data, l.records, [&](uint16_t fn, Bytes p, uint32_t words) { player.play(fn, p, words); });
}

} // namespace Metafile
