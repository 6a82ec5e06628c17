#include "align/PoseGuide.h"

#include "align/Similarity.h"

#include <QLineF>
#include <QtMath>

#include <algorithm>
#include <optional>
#include <cmath>
#include <vector>

namespace PoseGuide {

namespace {
QPointF mid(const QPointF &a, const QPointF &b)
{
    return (a + b) / 2.0;
}
} // namespace

Pose poseOf(const Align::Face &face)
{
    Pose p;
    if (face.points.size() < Align::Landmark::Count)
        return p;
    p.found = true;
    p.roll = face.rollDegrees();
    p.width = face.eyeDistance();
    p.centre = mid(face.eyes[0], face.eyes[1]);
    const QVector<QPointF> &pt = face.points;
    const QPointF nose = pt[30];
    const QPointF jawL = pt[Align::Landmark::JawFirst], jawR = pt[Align::Landmark::JawLast];
    // Measured along and across the eye line, so that a tilted head does not read as a turn.
    const double a = qDegreesToRadians(p.roll);
    const QPointF along(std::cos(a), std::sin(a)), across(-std::sin(a), std::cos(a));
    auto dot = [](const QPointF &u, const QPointF &v) { return u.x() * v.x() + u.y() * v.y(); };
    const double jawWidth = dot(jawR - jawL, along);
    p.faceWidth = std::abs(jawWidth);
    p.points = pt;
    if (jawWidth > 1.0)
        p.yaw = dot(nose - mid(jawL, jawR), along) / jawWidth;
    const QPointF mouth = mid(pt[48], pt[54]);
    const double eyeToMouth = dot(mouth - p.centre, across);
    if (eyeToMouth > 1.0)
        p.pitch = dot(nose - p.centre, across) / eyeToMouth;
    return p;
}

Pose poseOf(const Align::FaceSearch &search)
{
    const int i = search.mainFace();
    return i < 0 ? Pose() : poseOf(search.faces.at(i));
}

Pose fitted(const Pose &before, QSize beforeSize, QSize liveSize)
{
    Pose p = before;
    if (!before.found || beforeSize.isEmpty() || liveSize.isEmpty())
        return p;
    const double s = std::min(double(liveSize.width()) / beforeSize.width(),
                              double(liveSize.height()) / beforeSize.height());
    const QPointF offset((liveSize.width() - beforeSize.width() * s) / 2.0,
                         (liveSize.height() - beforeSize.height() * s) / 2.0);
    p.width = before.width * s;
    p.faceWidth = before.faceWidth * s;
    p.centre = before.centre * s + offset;
    for (QPointF &q : p.points)
        q = q * s + offset;
    return p;
}

QString noBeforeFace()
{
    return QStringLiteral("术前照片上没有找到脸，无姿势提示，请对照虚影");
}

QString noLiveFace()
{
    return QStringLiteral("画面中没有找到脸");
}

QString Guidance::text() const
{
    if (!compared)
        return why;
    const QString pose = matched ? QStringLiteral("姿势一致") : hints.join(QStringLiteral("，"));
    return lightHints.isEmpty() ? pose : pose + QStringLiteral("　") + lightHints.join(QStringLiteral("，"));
}

Light lightOf(const QImage &picture, const Align::Face &face)
{
    Light light;
    if (picture.isNull() || face.points.size() < Align::Landmark::Count)
        return light;
    const QVector<QPointF> &pt = face.points;
    const double left = std::min(pt[36].x(), pt[45].x()), right = std::max(pt[36].x(), pt[45].x());
    const double top = (face.eyes[0].y() + face.eyes[1].y()) / 2.0 + 0.15 * face.eyeDistance();
    const double bottom = std::min(pt[48].y(), pt[54].y());
    const QRect area = QRectF(QPointF(left, top), QPointF(right, bottom)).toAlignedRect().intersected(picture.rect());
    if (area.width() < 4 || area.height() < 4)
        return light;
    const QImage rgb = picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32
                           ? picture
                           : picture.convertToFormat(QImage::Format_RGB32);
    // A grid of at most 48 by 48 points is plenty for a mean.
    const int stepX = std::max(1, area.width() / 48), stepY = std::max(1, area.height() / 48);
    double r = 0, g = 0, b = 0;
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); y += stepY) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = area.left(); x <= area.right(); x += stepX) {
            r += qRed(line[x]);
            g += qGreen(line[x]);
            b += qBlue(line[x]);
            ++n;
        }
    }
    r /= n;
    g /= n;
    b /= n;
    light.found = true;
    light.luma = 0.299 * r + 0.587 * g + 0.114 * b;
    light.warmth = std::log((r + 1.0) / (b + 1.0));
    return light;
}

void addLightHints(Guidance &g, const Light &before, const Light &live, const LightTolerances &tol)
{
    g.lightHints.clear();
    if (!g.compared || !before.found || !live.found || before.luma < 1.0)
        return;
    const double ratio = live.luma / before.luma;
    if (ratio < tol.darker)
        g.lightHints << QStringLiteral("光线偏暗");
    else if (ratio > tol.brighter)
        g.lightHints << QStringLiteral("光线偏亮");
    const double warmth = live.warmth - before.warmth;
    if (warmth > tol.warmth)
        g.lightHints << QStringLiteral("颜色偏暖");
    else if (warmth < -tol.warmth)
        g.lightHints << QStringLiteral("颜色偏冷");
}

namespace {
// The hints and 姿势一致 from the differences measured.
void tell(Guidance &g, const Tolerances &tolerances);

// The similarity laying one face's landmarks onto another's, fitted over the points that move
// with the skull: brows, nose and eyes (the jaw and the mouth change with expression).
std::optional<Align::Similarity> fitFaces(const QVector<QPointF> &from, const QVector<QPointF> &to)
{
    if (from.size() < Align::Landmark::Count || to.size() < Align::Landmark::Count)
        return std::nullopt;
    constexpr int First = 17, Last = 47; // brows 17-26, nose 27-35, eyes 36-47
    return Align::Similarity::fitPoints(from.mid(First, Last - First + 1), to.mid(First, Last - First + 1));
}
} // namespace

Guidance compare(const Pose &before, const Pose &live, const Tolerances &tol)
{
    Guidance g;
    if (!before.found) {
        g.why = noBeforeFace();
        return g;
    }
    if (!live.found || before.width <= 0.0) {
        g.why = noLiveFace();
        return g;
    }
    g.compared = true;
    if (const std::optional<Align::Similarity> fit = fitFaces(before.points, live.points)) {
        g.roll = fit->rotationDegrees();
        g.size = (fit->scale() - 1.0) * 100.0;
        const QPointF moved = fit->map(before.centre);
        g.dx = (moved.x() - before.centre.x()) / before.width * 100.0;
        g.dy = (moved.y() - before.centre.y()) / before.width * 100.0;
    } else {
        g.roll = live.roll - before.roll;
        g.size = (live.width / before.width - 1.0) * 100.0;
        g.dx = (live.centre.x() - before.centre.x()) / before.width * 100.0;
        g.dy = (live.centre.y() - before.centre.y()) / before.width * 100.0;
    }
    while (g.roll > 180.0)
        g.roll -= 360.0;
    while (g.roll < -180.0)
        g.roll += 360.0;
    g.yaw = live.yaw - before.yaw;
    g.pitch = live.pitch - before.pitch;
    tell(g, tol);
    return g;
}

Guidance steady(const QVector<Guidance> &recent, const Tolerances &tol)
{
    QVector<const Guidance *> made;
    for (const Guidance &g : recent)
        if (g.compared)
            made << &g;
    if (made.isEmpty())
        return recent.isEmpty() ? Guidance() : recent.last();
    auto median = [&made](double Guidance::*field) {
        std::vector<double> v;
        for (const Guidance *g : made)
            v.push_back(g->*field);
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
    };
    Guidance g = *made.last();
    g.hints.clear();
    for (double Guidance::*field :
         {&Guidance::roll, &Guidance::size, &Guidance::dx, &Guidance::dy, &Guidance::yaw, &Guidance::pitch})
        g.*field = median(field);
    tell(g, tol);
    return g;
}

namespace {
void tell(Guidance &g, const Tolerances &tol)
{
    // Each difference as a share of its tolerance, so that the hints come largest first.
    struct Hint {
        double weight;
        QString text;
    };
    std::vector<Hint> hints;
    auto add = [&hints](double value, double tolerance, const QString &ifMore, const QString &ifLess) {
        const double w = std::abs(value) / tolerance;
        if (w > 1.0)
            hints.push_back({w, value > 0 ? ifMore : ifLess});
    };
    // Directions as seen on the screen: the person is moved the way the picture must change.
    add(g.roll, tol.roll, QStringLiteral("头向左歪一点"), QStringLiteral("头向右歪一点"));
    add(g.size, tol.size, QStringLiteral("离远一点"), QStringLiteral("靠近一点"));
    add(g.dx, tol.position, QStringLiteral("往左一点"), QStringLiteral("往右一点"));
    add(g.dy, tol.position, QStringLiteral("往上一点"), QStringLiteral("往下一点"));
    add(g.yaw, tol.yaw, QStringLiteral("向左转一点"), QStringLiteral("向右转一点"));
    add(g.pitch, tol.pitch, QStringLiteral("抬头一点"), QStringLiteral("低头一点"));
    std::stable_sort(hints.begin(), hints.end(), [](const Hint &a, const Hint &b) { return a.weight > b.weight; });
    for (const Hint &h : hints)
        g.hints << h.text;
    g.matched = g.hints.isEmpty();
}
} // namespace

QImage outlines(const QImage &picture, const QColor &colour)
{
    const QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    QImage out(gray.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    const int w = gray.width(), h = gray.height();
    for (int y = 1; y + 1 < h; ++y) {
        const uchar *a = gray.constScanLine(y - 1), *b = gray.constScanLine(y), *c = gray.constScanLine(y + 1);
        auto *o = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 1; x + 1 < w; ++x) {
            // Sobel gradient; strong edges only, so that skin texture does not fill the picture.
            const int gx = (a[x + 1] + 2 * b[x + 1] + c[x + 1]) - (a[x - 1] + 2 * b[x - 1] + c[x - 1]);
            const int gy = (c[x - 1] + 2 * c[x] + c[x + 1]) - (a[x - 1] + 2 * a[x] + a[x + 1]);
            const int m = std::abs(gx) + std::abs(gy);
            if (m > 160) {
                const int alpha = std::min(255, m - 80);
                o[x] = qRgba(colour.red() * alpha / 255, colour.green() * alpha / 255, colour.blue() * alpha / 255,
                             alpha);
            }
        }
    }
    return out;
}

} // namespace PoseGuide
