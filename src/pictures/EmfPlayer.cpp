// Playback of enhanced metafiles (EMF).

#include "data/AppError.h"
#include "pictures/GdiCanvas.h"

#include <cmath>

namespace Metafile {

namespace {

constexpr uint32_t EmfSignature = 0x464D4520; // " EMF"
constexpr int MaxObjects = 65536;

// Edges as read, held as doubles: a header may carry any 32-bit values, and their differences
// must not overflow.
struct Header {
    QRectF bounds; // device units, inclusive edges
    QRectF frame;  // 0.01 mm, inclusive edges
    QSize device;  // reference device in pixels
    QSize millimetres;
    bool hasFrame() const { return frame.width() >= 0 && frame.height() >= 0; }
};

[[noreturn]] void invalid()
{
    throw AppError(QStringLiteral("Metafile is not valid"));
}

QRectF rectFAt(Bytes r, std::size_t at)
{
    return QRectF(QPointF(r.i32(at), r.i32(at + 4)), QPointF(r.i32(at + 8), r.i32(at + 12)));
}

Header headerOf(Bytes data)
{
    if (data.u32(0) != 1 || data.u32(40) != EmfSignature || data.u32(4) < 88 || !data.has(0, data.u32(4)))
        invalid();
    Header h;
    h.bounds = rectFAt(data, 8);
    h.frame = rectFAt(data, 24);
    h.device = QSize(data.i32(72), data.i32(76));
    h.millimetres = QSize(data.i32(80), data.i32(84));
    return h;
}

QSize sizeOf(const Header &h)
{
    double width, height;
    if (h.hasFrame()) {
        width = h.frame.width() * 96 / 2540.0;
        height = h.frame.height() * 96 / 2540.0;
    } else {
        width = h.bounds.width() + 1;
        height = h.bounds.height() + 1;
    }
    // Anything larger than the picture budget is refused by the caller; here it only has to
    // stay a number that fits in the size.
    if (!(width >= 0.5 && height >= 0.5 && width < 1e9 && height < 1e9))
        invalid();
    return QSize(int(std::lround(width)), int(std::lround(height)));
}

QPolygonF points(Bytes r, std::size_t at, std::size_t count, bool small)
{
    const std::size_t each = small ? 4 : 8;
    count = std::min(count, r.has(at, 0) ? (r.size - at) / each : 0);
    QPolygonF poly;
    poly.reserve(int(count));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t p = at + i * each;
        poly.append(small ? QPointF(r.i16(p), r.i16(p + 2)) : QPointF(r.i32(p), r.i32(p + 4)));
    }
    return poly;
}

QVector<QPolygonF> polyPoints(Bytes r, bool small)
{
    const std::size_t n = std::min<std::size_t>(r.u32(24), r.size / 4);
    std::size_t at = 32 + n * 4;
    QVector<QPolygonF> polys;
    for (std::size_t i = 0; i < n && r.has(at, 0); ++i) {
        const std::size_t count = r.u32(32 + i * 4);
        polys.append(points(r, at, count, small));
        at += count * (small ? 4 : 8);
    }
    return polys;
}

QPen makePen(uint32_t style, double width, QColor colour)
{
    static const Qt::PenStyle styles[] = {Qt::SolidLine,      Qt::DashLine, Qt::DotLine,  Qt::DashDotLine,
                                          Qt::DashDotDotLine, Qt::NoPen,    Qt::SolidLine};
    const unsigned s = style & 0xF;
    const Qt::PenCapStyle cap = (style & 0xF00) == 0x100   ? Qt::SquareCap
                                : (style & 0xF00) == 0x200 ? Qt::FlatCap
                                                           : Qt::RoundCap;
    const Qt::PenJoinStyle join = (style & 0xF000) == 0x1000   ? Qt::BevelJoin
                                  : (style & 0xF000) == 0x2000 ? Qt::MiterJoin
                                                               : Qt::RoundJoin;
    return QPen(colour, std::abs(width), s < 7 ? styles[s] : Qt::SolidLine, cap, join);
}

class EmfPlayer {
public:
    explicit EmfPlayer(GdiCanvas &canvas) : c(canvas) {}
    void play(uint32_t type, Bytes r);

private:
    void store(uint32_t index, const GdiObject &object);
    void stretchDibBits(Bytes r);
    void blit(Bytes r, bool stretch);
    void extTextOut(Bytes r, bool wide);

    GdiCanvas &c;
};

void EmfPlayer::store(uint32_t index, const GdiObject &object)
{
    if (index >= uint32_t(MaxObjects))
        return;
    if (int(index) >= c.objects.size())
        c.objects.resize(int(index) + 1);
    c.objects[int(index)] = object;
}

void EmfPlayer::play(uint32_t type, Bytes r)
{
    const QPointF at(r.i32(8), r.i32(12));
    switch (type) {
    case 2: c.polyBezier(points(r, 28, r.u32(24), false), false); break;
    case 3: c.polygon(points(r, 28, r.u32(24), false)); break;
    case 4: c.polyline(points(r, 28, r.u32(24), false), false); break;
    case 5: c.polyBezier(points(r, 28, r.u32(24), false), true); break;
    case 6: c.polyline(points(r, 28, r.u32(24), false), true); break;
    case 7: c.polyPolyline(polyPoints(r, false)); break;
    case 8: c.polyPolygon(polyPoints(r, false)); break;
    case 85: c.polyBezier(points(r, 28, r.u32(24), true), false); break;
    case 86: c.polygon(points(r, 28, r.u32(24), true)); break;
    case 87: c.polyline(points(r, 28, r.u32(24), true), false); break;
    case 88: c.polyBezier(points(r, 28, r.u32(24), true), true); break;
    case 89: c.polyline(points(r, 28, r.u32(24), true), true); break;
    case 90: c.polyPolyline(polyPoints(r, true)); break;
    case 91: c.polyPolygon(polyPoints(r, true)); break;
    case 9: c.s.windowExt = QSizeF(at.x(), at.y()); break;
    case 10: c.s.windowOrg = at; break;
    case 11: c.s.viewportExt = QSizeF(at.x(), at.y()); break;
    case 12: c.s.viewportOrg = at; break;
    case 17: c.s.mapMode = int(r.u32(8)); break;
    case 18: c.s.opaqueBackground = r.u32(8) == 2; break;
    case 19: c.s.fillRule = r.u32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill; break;
    case 22: c.s.textAlign = r.u32(8); break;
    case 24: c.s.textColor = colorRef(r.u32(8)); break;
    case 25: c.s.bkColor = colorRef(r.u32(8)); break;
    case 27: c.moveTo(at); break;
    case 54: c.lineTo(at); break;
    case 30: c.intersectClip(rectFAt(r, 8)); break;
    case 33: c.saveDC(); break;
    case 34: c.restoreDC(r.i32(8)); break;
    case 35:   // SETWORLDTRANSFORM
    case 36: { // MODIFYWORLDTRANSFORM
        const QTransform x(r.f32(8), r.f32(12), r.f32(16), r.f32(20), r.f32(24), r.f32(28));
        const uint32_t mode = type == 35 ? 4 : r.u32(32);
        if (mode == 1)
            c.s.world = QTransform();
        else if (mode == 2)
            c.s.world = x * c.s.world;
        else if (mode == 3)
            c.s.world = c.s.world * x;
        else if (mode == 4)
            c.s.world = x;
        break;
    }
    case 37: { // SELECTOBJECT
        const uint32_t index = r.u32(8);
        if (index & 0x80000000u)
            c.selectStock(index & 0x7FFFFFFFu);
        else if (int(index) < c.objects.size())
            c.select(c.objects[int(index)]);
        break;
    }
    case 40: { // DELETEOBJECT
        const uint32_t index = r.u32(8);
        if (index < uint32_t(c.objects.size()))
            c.objects[int(index)] = GdiObject();
        break;
    }
    case 38: { // CREATEPEN
        GdiObject o;
        o.type = GdiObject::Pen;
        o.pen = makePen(r.u32(12), r.i32(16), colorRef(r.u32(24)));
        store(r.u32(8), o);
        break;
    }
    case 95: { // EXTCREATEPEN
        GdiObject o;
        o.type = GdiObject::Pen;
        o.pen = makePen(r.u32(28), r.u32(32), colorRef(r.u32(40)));
        if (r.u32(36) == 1) // a null brush draws nothing
            o.pen = Qt::NoPen;
        store(r.u32(8), o);
        break;
    }
    case 39: { // CREATEBRUSHINDIRECT
        GdiObject o;
        o.type = GdiObject::Brush;
        o.brush = gdiBrush(r.u32(12), colorRef(r.u32(16)), r.u32(20));
        store(r.u32(8), o);
        break;
    }
    case 94: { // CREATEDIBPATTERNBRUSHPT: ih, usage, offBmi, cbBmi, offBits, cbBits
        GdiObject o;
        o.type = GdiObject::Brush;
        const QImage pattern = decodeDib(r.sub(r.u32(16), r.u32(20)), r.sub(r.u32(24), r.u32(28)));
        o.brush = pattern.isNull() ? QBrush(Qt::gray) : QBrush(pattern);
        store(r.u32(8), o);
        break;
    }
    case 82: { // EXTCREATEFONTINDIRECTW
        GdiObject o;
        o.type = GdiObject::Font;
        o.font = decodeLogFont(r.sub(12, r.size), true);
        store(r.u32(8), o);
        break;
    }
    case 42: c.ellipse(rectFAt(r, 8)); break;
    case 43: c.rectangle(rectFAt(r, 8)); break;
    case 44: c.roundRect(rectFAt(r, 8), QSizeF(r.i32(24), r.i32(28))); break;
    case 59: c.beginPath(); break;
    case 60: c.endPath(); break;
    case 61: c.closeFigure(); break;
    case 62: c.drawPath(true, false); break;
    case 63: c.drawPath(true, true); break;
    case 64: c.drawPath(false, true); break;
    case 68: c.abortPath(); break;
    case 76: blit(r, false); break;
    case 77: blit(r, true); break;
    case 81: stretchDibBits(r); break;
    case 83: extTextOut(r, false); break;
    case 84: extTextOut(r, true); break;
    default: break;
    }
}

void EmfPlayer::stretchDibBits(Bytes r)
{
    bool bottomUp = true;
    const QImage image = decodeDib(r.sub(r.u32(48), r.u32(52)), r.sub(r.u32(56), r.u32(60)), &bottomUp);
    if (image.isNull())
        return;
    QRectF source(r.i32(32), r.i32(36), r.i32(40), r.i32(44));
    if (bottomUp)
        source.moveTop(image.height() - source.y() - source.height());
    c.image(QRectF(r.i32(24), r.i32(28), r.i32(72), r.i32(76)), image, source);
}

void EmfPlayer::blit(Bytes r, bool stretch)
{
    // bounds, xDest, yDest, cxDest, cyDest, rop, xSrc, ySrc, xform, bk colour, usage, bitmap
    const QRectF dest(r.i32(24), r.i32(28), r.i32(32), r.i32(36));
    const uint32_t rop = r.u32(40);
    const uint32_t cbBmi = r.u32(88);
    if (cbBmi == 0) {
        if (rop == 0x00F00021)
            c.fillWithBrush(dest, c.s.brush);
        else if (rop == 0x00000042 || rop == 0x00FF0062)
            c.fillWithBrush(dest, rop == 0x42 ? Qt::black : Qt::white);
        return;
    }
    bool bottomUp = true;
    const QImage image = decodeDib(r.sub(r.u32(84), cbBmi), r.sub(r.u32(92), r.u32(96)), &bottomUp);
    if (image.isNull())
        return;
    const QSizeF size = stretch ? QSizeF(r.i32(100), r.i32(104)) : dest.size();
    c.image(dest, image, QRectF(QPointF(r.i32(44), r.i32(48)), size));
}

void EmfPlayer::extTextOut(Bytes r, bool wide)
{
    // bounds, graphics mode, x/y scale, then the text: reference point, count, offset, options,
    // rectangle, offset of the advances.
    const QPointF at(r.i32(36), r.i32(40));
    const std::size_t count = std::min<std::size_t>(r.u32(44), 1 << 16);
    const std::size_t offset = r.u32(48);
    const uint32_t options = r.u32(52);
    const QRectF rect = rectFAt(r, 56);
    QString text;
    if (wide) {
        for (std::size_t i = 0; i < count && r.has(offset + i * 2, 2); ++i)
            text.append(QChar(r.u16(offset + i * 2)));
    } else {
        const Bytes s = r.sub(offset, count);
        text = decodeAnsi(QByteArray(reinterpret_cast<const char *>(s.data), qsizetype(s.size)), c.s.font.charset);
    }
    c.text(at, text, (options & 2) ? &rect : nullptr, (options & 4) ? &rect : nullptr, false);
}

} // namespace

QSize emfNaturalSize(Bytes data)
{
    return sizeOf(headerOf(data));
}

void playEmf(Bytes data, QImage *target)
{
    const Header h = headerOf(data);
    GdiCanvas canvas(target);
    // Device units of the reference device; the frame, converted to them, fills the picture.
    const double pxPerMmX = h.millimetres.width() > 0 ? double(h.device.width()) / h.millimetres.width() : 96 / 25.4;
    const double pxPerMmY = h.millimetres.height() > 0 ? double(h.device.height()) / h.millimetres.height() : 96 / 25.4;
    canvas.devicePixelsPerMm = pxPerMmX;
    QRectF frame;
    if (h.hasFrame())
        frame = QRectF(QPointF(h.frame.left() * pxPerMmX / 100, h.frame.top() * pxPerMmY / 100),
                       QPointF(h.frame.right() * pxPerMmX / 100, h.frame.bottom() * pxPerMmY / 100));
    else
        frame = h.bounds;
    if (frame.width() <= 0 || frame.height() <= 0)
        invalid();
    canvas.deviceToPicture = QTransform::fromTranslate(-frame.left(), -frame.top())
                             * QTransform::fromScale(target->width() / frame.width(),
                                                     target->height() / frame.height());

    EmfPlayer player(canvas);
    std::size_t offset = 0;
    while (data.has(offset, 8)) {
        const uint32_t type = data.u32(offset);
        const uint32_t size = data.u32(offset + 4);
        if (size < 8 || !data.has(offset, size))
            break;
        if (type == 14) // EOF
            break;
        player.play(type, data.sub(offset, size));
        offset += size;
    }
}

} // namespace Metafile
