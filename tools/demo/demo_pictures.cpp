#include "demo_pictures.h"

#include "demo_jpeg.h"

#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>

#include <algorithm>
#include <cstdint>
#include <cmath>

namespace DemoPictures {

namespace {

const char *const FontFamily = "AR PL UMing CN";

struct Look {
    QColor backgroundTop, backgroundBottom, skin, hair, clothes;
};

Look lookOf(int subject)
{
    static const Look looks[] = {
        {QColor(214, 228, 240), QColor(120, 150, 190), QColor(241, 205, 180), QColor(40, 30, 25), QColor(70, 90, 140)},
        {QColor(238, 226, 214), QColor(180, 140, 120), QColor(236, 196, 168), QColor(60, 40, 30), QColor(150, 60, 70)},
        {QColor(222, 236, 222), QColor(120, 160, 130), QColor(245, 212, 190), QColor(25, 20, 20), QColor(60, 110, 90)},
        {QColor(236, 222, 238), QColor(160, 120, 170), QColor(230, 190, 160), QColor(90, 60, 40), QColor(110, 70, 130)},
        {QColor(245, 240, 220), QColor(190, 170, 110), QColor(240, 200, 175), QColor(30, 25, 30), QColor(170, 120, 50)},
        {QColor(220, 232, 236), QColor(100, 140, 150), QColor(235, 200, 178), QColor(70, 45, 35), QColor(50, 80, 100)},
        {QColor(240, 224, 224), QColor(170, 110, 110), QColor(244, 208, 186), QColor(20, 20, 25), QColor(120, 40, 50)},
        {QColor(228, 228, 240), QColor(110, 110, 160), QColor(238, 204, 182), QColor(50, 35, 30), QColor(60, 60, 110)},
    };
    return looks[subject % int(sizeof looks / sizeof looks[0])];
}

QFont labelFont(int pixelSize, bool bold = true)
{
    QFont f(QString::fromLatin1(FontFamily));
    f.setPixelSize(std::max(pixelSize, 1));
    f.setBold(bold);
    return f;
}

// Picture coordinates of the scene as the camera framed it.
QTransform framed(const QSize &size, const Framing &f)
{
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    QTransform t;
    t.translate(c.x() + f.shift.x() * size.width(), c.y() + f.shift.y() * size.height());
    t.rotate(f.tiltDegrees);
    t.scale(f.scale, f.scale);
    t.translate(-c.x(), -c.y());
    return t;
}

// A small deterministic hash of a motif's place, for its shape, size and shade.
std::uint32_t mix(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    std::uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 13;
    return h;
}

// The wall behind the subject: small motifs on a grid in the scene's own units (the picture's
// shorter side, from its centre), so that one wall appears in every picture of the subject
// wherever the camera framed it, and gives an alignment by picture features something to hold.
void drawWallpaper(QPainter &g, const QSize &size, const Look &look, int subject)
{
    const double unit = std::min(size.width(), size.height());
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    const double step = unit * 0.04;
    const int reach = int(std::ceil(1.6 * std::max(size.width(), size.height()) / step));
    const QColor dark = look.backgroundBottom.darker(220), light = look.backgroundTop.lighter(125);
    g.setPen(Qt::NoPen);
    for (int j = -reach; j <= reach; ++j)
        for (int i = -reach; i <= reach; ++i) {
            const std::uint32_t h = mix(std::uint32_t(i), std::uint32_t(j), std::uint32_t(subject));
            const QPointF at = c + QPointF(i + (h & 255) / 400.0, j + ((h >> 8) & 255) / 400.0) * step;
            const double r = step * (0.12 + ((h >> 16) & 63) / 300.0);
            g.setBrush((h >> 22) & 1 ? dark : light);
            const double turn = ((h >> 23) & 127) * 0.05;
            const int corners = 3 + int((h >> 30) & 1);
            QPolygonF shape;
            for (int k = 0; k < corners; ++k) {
                const double a = turn + k * 2 * 3.14159265 / corners;
                shape << at + QPointF(std::cos(a), std::sin(a)) * r;
            }
            g.drawPolygon(shape);
        }
}

// Soft out-of-focus discs behind the portrait, on the wall when there is one.
void drawBackground(QPainter &g, const QSize &size, const Look &look, int subject, const Framing &framing,
                    bool patterned)
{
    QLinearGradient bg(0, 0, 0, size.height());
    bg.setColorAt(0, look.backgroundTop);
    bg.setColorAt(1, look.backgroundBottom);
    g.fillRect(QRect(QPoint(0, 0), size), bg);
    g.save();
    g.setTransform(framed(size, framing), true);
    const double unit = std::min(size.width(), size.height());
    if (patterned)
        drawWallpaper(g, size, look, subject);
    for (int i = 0; i < 5; ++i) {
        const double x = size.width() * (0.1 + 0.2 * ((i * 37 + subject * 11) % 5));
        const double y = size.height() * (0.12 + 0.17 * ((i * 23 + subject * 7) % 4));
        const double r = unit * (0.06 + 0.03 * (i % 3));
        QRadialGradient disc(QPointF(x, y), r);
        disc.setColorAt(0, QColor(255, 255, 255, 90));
        disc.setColorAt(1, QColor(255, 255, 255, 0));
        g.setPen(Qt::NoPen);
        g.setBrush(disc);
        g.drawEllipse(QPointF(x, y), r, r);
    }
    g.restore();
}

// A front view of a head and shoulders. What the surgery changed depends on the subject:
// eyes, nose, jaw line or skin.
void drawPortrait(QPainter &g, const QSize &size, const Look &look, int subject, bool after, const Framing &framing)
{
    g.save();
    g.setTransform(framed(size, framing), true);
    const double unit = std::min(size.width(), size.height());
    const QPointF c(size.width() / 2.0, size.height() * 0.45);
    const double rx = unit * 0.17, ry = rx * 1.3;
    const int focus = subject % 4;
    g.setPen(Qt::NoPen);

    g.setBrush(look.clothes);
    g.drawEllipse(QPointF(c.x(), size.height() * 1.0), unit * 0.48, unit * 0.3);
    g.setBrush(look.hair);
    g.drawEllipse(QPointF(c.x(), c.y() - ry * 0.12), rx * 1.22, ry * 1.12);
    g.setBrush(look.skin.darker(108));
    g.drawRoundedRect(QRectF(c.x() - rx * 0.42, c.y() + ry * 0.6, rx * 0.84, ry * 0.75), rx * 0.2, rx * 0.2);

    QRadialGradient skin(QPointF(c.x() - rx * 0.25, c.y() - ry * 0.3), ry * 1.4);
    const QColor face = after && focus == 3 ? look.skin.lighter(106) : look.skin;
    skin.setColorAt(0, face.lighter(112));
    skin.setColorAt(1, face.darker(112));
    g.setBrush(skin);
    QPainterPath head;
    const double jaw = focus == 2 ? (after ? 0.55 : 1.0) : 0.75; // width of the chin line
    head.moveTo(c.x() - rx, c.y() - ry * 0.1);
    head.cubicTo(c.x() - rx, c.y() - ry * 1.25, c.x() + rx, c.y() - ry * 1.25, c.x() + rx, c.y() - ry * 0.1);
    head.cubicTo(c.x() + rx, c.y() + ry * 0.5, c.x() + rx * jaw, c.y() + ry, c.x(), c.y() + ry);
    head.cubicTo(c.x() - rx * jaw, c.y() + ry, c.x() - rx, c.y() + ry * 0.5, c.x() - rx, c.y() - ry * 0.1);
    g.drawPath(head);

    if (focus == 3 && !after) { // pigment spots that the treatment removed
        g.setBrush(QColor(150, 100, 70, 120));
        for (int i = 0; i < 40; ++i) {
            const double a = (i * 137.5) * 3.14159265 / 180.0;
            const double d = 0.25 + 0.5 * ((i * 29) % 17) / 17.0;
            g.drawEllipse(QPointF(c.x() + std::cos(a) * rx * d, c.y() + ry * 0.15 + std::sin(a) * ry * d * 0.5),
                          unit * 0.006, unit * 0.006);
        }
    }

    const double eyeY = c.y() - ry * 0.08, eyeDx = rx * 0.42;
    const double eyeW = rx * (focus == 0 && after ? 0.27 : 0.22);
    const double eyeH = rx * (focus == 0 && after ? 0.14 : 0.09);
    for (int side : {-1, 1}) {
        const QPointF e(c.x() + side * eyeDx, eyeY);
        g.setPen(Qt::NoPen);
        g.setBrush(QColor(250, 250, 250));
        g.drawEllipse(e, eyeW, eyeH);
        g.setBrush(QColor(60, 40, 30));
        g.drawEllipse(e, eyeH * 0.9, eyeH * 0.9);
        g.setPen(QPen(look.hair, unit * 0.012, Qt::SolidLine, Qt::RoundCap));
        g.setBrush(Qt::NoBrush);
        g.drawArc(QRectF(e.x() - eyeW, e.y() - rx * 0.42, eyeW * 2, rx * 0.3), 20 * 16, 140 * 16);
        if (focus == 0 && after) { // the new eyelid crease
            g.setPen(QPen(look.skin.darker(140), unit * 0.005));
            g.drawArc(QRectF(e.x() - eyeW, e.y() - eyeH * 1.6, eyeW * 2, eyeH * 2.4), 15 * 16, 150 * 16);
        }
    }

    const double noseW = rx * (focus == 1 ? (after ? 0.14 : 0.3) : 0.2);
    g.setPen(QPen(look.skin.darker(135), unit * (focus == 1 && after ? 0.009 : 0.006), Qt::SolidLine, Qt::RoundCap));
    g.drawLine(QPointF(c.x() - rx * 0.05, eyeY + rx * 0.1), QPointF(c.x() - rx * 0.08, c.y() + ry * 0.3));
    g.setBrush(look.skin.darker(118));
    g.setPen(Qt::NoPen);
    g.drawEllipse(QPointF(c.x(), c.y() + ry * 0.33), noseW, rx * 0.08);

    g.setPen(QPen(QColor(170, 70, 80), unit * 0.014, Qt::SolidLine, Qt::RoundCap));
    g.setBrush(Qt::NoBrush);
    const double smile = after ? 0.2 : 0.1;
    g.drawArc(QRectF(c.x() - rx * 0.32, c.y() + ry * 0.5 - rx * smile, rx * 0.64, rx * smile * 2), 200 * 16, 140 * 16);
    g.restore();
}

void drawBigLabel(QPainter &g, const QSize &size, bool after)
{
    const double unit = std::min(size.width(), size.height());
    const QString text = after ? QStringLiteral("手术后") : QStringLiteral("手术前");
    const QFont font = labelFont(int(unit * 0.1));
    g.setFont(font);
    const QRectF box(unit * 0.05, unit * 0.05, unit * 0.42, unit * 0.16);
    g.setPen(Qt::NoPen);
    g.setBrush(after ? QColor(40, 130, 90, 230) : QColor(60, 90, 160, 230));
    g.drawRoundedRect(box, unit * 0.03, unit * 0.03);
    g.setPen(Qt::white);
    g.drawText(box, Qt::AlignCenter, text);
}

} // namespace

QList<PoolPicture> poolLayout(const QSize &storedSize)
{
    // Per subject: the before picture's stored size (empty: storedSize), the after picture's, and
    // how the after picture framed the face. Sizes are as stored: the sideways subjects 2 and 5
    // are shown upright as portraits, and so is subject 3's, stored upright.
    struct Cameras {
        QSize before, after;
        Framing framing;
    };
    static const Cameras cameras[SubjectCount] = {
        {{}, {3000, 2250}, {1.12, 3.0, {0.03, -0.02}}},
        {{}, {2048, 1536}, {0.9, -4.0, {-0.04, 0.02}}},
        {{}, {2000, 1600}, {1.15, -2.5, {0.02, 0.03}}},
        {{900, 1200}, {1600, 2000}, {0.88, 5.0, {-0.03, -0.03}}},
        {{3264, 2448}, {}, {1.08, 2.0, {0.05, 0.0}}},
        {{}, {3000, 2000}, {0.92, -5.0, {0.0, 0.04}}},
        {{}, {}, {1.2, 6.0, {-0.05, 0.03}}},
        {{2592, 1944}, {1280, 960}, {1.0, -3.0, {0.04, -0.03}}},
    };
    QList<PoolPicture> pool;
    for (int s = 0; s < SubjectCount; ++s) {
        int orientation = s % 2 == 0 ? 1 : 0;
        if (s == 2)
            orientation = 6;
        if (s == 5)
            orientation = 8;
        for (bool after : {false, true}) {
            PoolPicture p;
            p.subject = s;
            p.after = after;
            p.orientation = orientation;
            const QSize own = after ? cameras[s].after : cameras[s].before;
            // A pool made smaller than usual scales these sizes down with it.
            const int edge = std::max(storedSize.width(), storedSize.height());
            p.storedSize = own.isEmpty() ? storedSize : own.scaled(edge, edge, Qt::KeepAspectRatio).boundedTo(own);
            if (after)
                p.framing = cameras[s].framing;
            p.wallpaper = true;
            p.fileName = QStringLiteral("sample%1-%2.jpg")
                             .arg(s + 1)
                             .arg(after ? QStringLiteral("after") : QStringLiteral("before"));
            pool << p;
        }
    }
    return pool;
}

QSize uprightSize(const QSize &storedSize, int orientation)
{
    return orientation == 6 || orientation == 8 ? storedSize.transposed() : storedSize;
}

QImage toStored(const QImage &upright, int orientation)
{
    if (orientation == 6) // shown turned a quarter clockwise, so stored a quarter anticlockwise
        return upright.transformed(QTransform().rotate(-90));
    if (orientation == 8)
        return upright.transformed(QTransform().rotate(90));
    return upright;
}

QImage toUpright(const QImage &stored, int orientation)
{
    if (orientation == 6)
        return stored.transformed(QTransform().rotate(90));
    if (orientation == 8)
        return stored.transformed(QTransform().rotate(-90));
    return stored;
}

QRect uprightToStored(const QRect &r, const QSize &storedSize, int orientation)
{
    if (orientation == 6) // stored (x, y) is shown at (H - 1 - y, x)
        return QRect(r.y(), storedSize.height() - r.x() - r.width(), r.height(), r.width());
    if (orientation == 8) // stored (x, y) is shown at (y, W - 1 - x)
        return QRect(storedSize.width() - r.y() - r.height(), r.x(), r.height(), r.width());
    return r;
}

QRect storedToUpright(const QRect &r, const QSize &storedSize, int orientation)
{
    if (orientation == 6)
        return QRect(storedSize.height() - r.y() - r.height(), r.x(), r.height(), r.width());
    if (orientation == 8)
        return QRect(r.y(), storedSize.width() - r.x() - r.width(), r.height(), r.width());
    return r;
}

QRect captionBand(const QSize &size)
{
    const int unit = std::min(size.width(), size.height());
    const int h = unit * 9 / 100;
    const int w = std::min(size.width() - unit / 10, unit * 12 / 10);
    return QRect((size.width() - w) / 2, size.height() - h - unit / 25, w, h);
}

void drawCaption(QImage &upright, const QRect &band, const QString &caption)
{
    QPainter g(&upright);
    g.setRenderHint(QPainter::Antialiasing);
    g.setRenderHint(QPainter::TextAntialiasing);
    g.fillRect(band, QColor(35, 40, 50));
    g.setPen(QColor(250, 250, 250));
    g.setFont(labelFont(band.height() * 55 / 100));
    g.drawText(band, Qt::AlignCenter, caption);
}

QImage drawUpright(const PoolPicture &picture, const QSize &size, const QString &caption)
{
    QImage image(size, QImage::Format_RGB32);
    const Look look = lookOf(picture.subject);
    {
        QPainter g(&image);
        g.setRenderHint(QPainter::Antialiasing);
        g.setRenderHint(QPainter::TextAntialiasing);
        drawBackground(g, size, look, picture.subject, picture.framing, picture.wallpaper);
        drawPortrait(g, size, look, picture.subject, picture.after, picture.framing);
        drawBigLabel(g, size, picture.after);
        const int unit = std::min(size.width(), size.height());
        g.setFont(labelFont(unit / 40, false));
        g.setPen(QColor(255, 255, 255, 200));
        g.drawText(QRect(0, unit / 25, size.width() - unit / 25, unit / 20), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("合成演示图片 · 非真实病例"));
    }
    drawCaption(image, captionBand(size), caption);
    return image;
}

QString poolCaption(const PoolPicture &picture)
{
    return QStringLiteral("演示图片 · 样例 %1").arg(picture.subject + 1);
}

PoolImage::PoolImage(const PoolPicture &picture, const QSize &defaultSize) : m_picture(picture)
{
    const QSize storedSize = picture.storedSize.isEmpty() ? defaultSize : picture.storedSize;
    const QSize upright = uprightSize(storedSize, picture.orientation);
    m_stored = toStored(drawUpright(picture, upright, poolCaption(picture)), picture.orientation);
    m_jpeg = DemoJpeg::encode(m_stored, picture.orientation);
    m_coefficients = std::make_unique<DemoJpeg::CoefficientImage>(m_jpeg);
    m_patch = m_coefficients->mcuAligned(uprightToStored(captionBand(upright), storedSize, picture.orientation));
}

PoolImage::~PoolImage() = default;

QByteArray PoolImage::withCaption(const QString &caption)
{
    const QSize storedSize = m_stored.size();
    QImage patch = toUpright(m_stored.copy(m_patch), m_picture.orientation);
    const QRect patchUpright = storedToUpright(m_patch, storedSize, m_picture.orientation);
    const QRect band = captionBand(uprightSize(storedSize, m_picture.orientation)).translated(-patchUpright.topLeft());
    drawCaption(patch, band, caption);
    m_coefficients->paste(DemoJpeg::encode(toStored(patch, m_picture.orientation), 0), m_patch.topLeft());
    return m_coefficients->write(m_picture.orientation);
}

} // namespace DemoPictures
