#include "align/Similarity.h"

#include "data/AppError.h"

#include <QLocale>
#include <QStringList>

#include <cmath>
#include <stdexcept>

namespace Align {

namespace {

constexpr double DegreesPerRadian = 57.295779513082320876798;

double reduceDegrees(double degrees)
{
    double r = std::fmod(degrees, 360.0);
    if (r <= -180.0)
        r += 360.0;
    else if (r > 180.0)
        r -= 360.0;
    return r;
}

QString number(double v)
{
    return QString::number(v, 'g', QLocale::FloatingPointShortest);
}

} // namespace

Similarity::Similarity(double scale, double rotationDegrees, QPointF shift)
    : m_scale(scale), m_rotation(reduceDegrees(rotationDegrees)), m_shift(shift)
{
    if (!std::isfinite(scale) || !(scale > 0.0))
        throw std::invalid_argument("similarity scale must be positive and finite");
    if (!std::isfinite(rotationDegrees) || !std::isfinite(shift.x()) || !std::isfinite(shift.y()))
        throw std::invalid_argument("similarity rotation and shift must be finite");
}

double Similarity::a() const
{
    return m_scale * std::cos(m_rotation / DegreesPerRadian);
}

double Similarity::b() const
{
    return m_scale * std::sin(m_rotation / DegreesPerRadian);
}

QPointF Similarity::map(const QPointF &p) const
{
    const double ca = a(), cb = b();
    return QPointF(ca * p.x() - cb * p.y() + m_shift.x(), cb * p.x() + ca * p.y() + m_shift.y());
}

Similarity Similarity::inverted() const
{
    // p = (1/s) R(-r) (p' - t)
    const Similarity back(1.0 / m_scale, -m_rotation, QPointF());
    const QPointF t = back.map(m_shift);
    return Similarity(back.m_scale, back.m_rotation, -t);
}

Similarity Similarity::operator*(const Similarity &first) const
{
    // s R (s1 R1 p + t1) + t = (s s1) R(r + r1) p + (s R t1 + t)
    return Similarity(m_scale * first.m_scale, m_rotation + first.m_rotation, map(first.m_shift));
}

QTransform Similarity::toTransform() const
{
    const double ca = a(), cb = b();
    return QTransform(ca, cb, -cb, ca, m_shift.x(), m_shift.y());
}

std::optional<Similarity> Similarity::fromTransform(const QTransform &t, double tolerance)
{
    if (t.type() == QTransform::TxProject)
        return std::nullopt;
    const double ca = t.m11(), cb = t.m12();
    const double s = std::hypot(ca, cb);
    if (!std::isfinite(s) || s <= 0.0)
        return std::nullopt;
    // A similarity's matrix is [a -b; b a] (in QTransform's row form m21 = -b, m22 = a); anything
    // else has a shear, unequal scales or a mirror.
    if (std::abs(t.m22() - ca) > tolerance * s || std::abs(t.m21() + cb) > tolerance * s)
        return std::nullopt;
    if (!std::isfinite(t.dx()) || !std::isfinite(t.dy()))
        return std::nullopt;
    return Similarity(s, std::atan2(cb, ca) * DegreesPerRadian, QPointF(t.dx(), t.dy()));
}

Similarity Similarity::fromLandmarks(QPointF from1, QPointF from2, QPointF to1, QPointF to2, double minDistance)
{
    const QPointF u = from2 - from1, v = to2 - to1;
    const double uu = QPointF::dotProduct(u, u), vv = QPointF::dotProduct(v, v);
    if (!(std::sqrt(uu) >= minDistance) || !(std::sqrt(vv) >= minDistance))
        throw AppError(QStringLiteral("两个标记点离得太近，无法对齐，请在每张图片上选两个相距较远的点"));
    // As complex numbers: z = v / u = v * conj(u) / |u|^2 gives scale |z| and rotation arg z.
    const double za = (v.x() * u.x() + v.y() * u.y()) / uu;
    const double zb = (v.y() * u.x() - v.x() * u.y()) / uu;
    const Similarity linear(std::hypot(za, zb), std::atan2(zb, za) * DegreesPerRadian, QPointF());
    const QPointF shift = to1 - linear.map(from1);
    return Similarity(linear.m_scale, linear.m_rotation, shift);
}

std::optional<Similarity> Similarity::fitPoints(const QVector<QPointF> &from, const QVector<QPointF> &to)
{
    const qsizetype n = from.size();
    if (n < 2 || to.size() != n)
        return std::nullopt;
    QPointF mf, mt;
    for (qsizetype i = 0; i < n; ++i) {
        mf += from[i];
        mt += to[i];
    }
    mf /= double(n);
    mt /= double(n);
    // As complex numbers about the centroids: z = sum(t * conj(f)) / sum(|f|^2).
    double za = 0.0, zb = 0.0, norm = 0.0;
    for (qsizetype i = 0; i < n; ++i) {
        const QPointF f = from[i] - mf, t = to[i] - mt;
        za += f.x() * t.x() + f.y() * t.y();
        zb += f.x() * t.y() - f.y() * t.x();
        norm += f.x() * f.x() + f.y() * f.y();
    }
    if (!(norm > 1e-9) || !(std::hypot(za, zb) > 0.0) || !std::isfinite(za) || !std::isfinite(zb))
        return std::nullopt;
    const Similarity linear(std::hypot(za, zb) / norm, std::atan2(zb, za) * DegreesPerRadian, QPointF());
    return Similarity(linear.m_scale, linear.m_rotation, mt - linear.map(mf));
}

QString Similarity::toText() const
{
    return QStringLiteral("s=%1;r=%2;dx=%3;dy=%4")
        .arg(number(m_scale), number(m_rotation), number(m_shift.x()), number(m_shift.y()));
}

std::optional<Similarity> Similarity::parse(const QString &text)
{
    static const char *const keys[] = {"s=", "r=", "dx=", "dy="};
    const QStringList parts = text.trimmed().split(QLatin1Char(';'));
    if (parts.size() != 4)
        return std::nullopt;
    double values[4];
    for (int i = 0; i < 4; ++i) {
        const QString &part = parts.at(i);
        const QLatin1String key(keys[i]);
        if (!part.startsWith(key))
            return std::nullopt;
        bool ok = false;
        values[i] = part.mid(key.size()).toDouble(&ok);
        if (!ok || !std::isfinite(values[i]))
            return std::nullopt;
    }
    if (!(values[0] > 0.0))
        return std::nullopt;
    return Similarity(values[0], values[1], QPointF(values[2], values[3]));
}

bool Similarity::fuzzyEquals(const Similarity &o, double scaleTol, double degreesTol, double shiftTol) const
{
    return std::abs(m_scale - o.m_scale) <= scaleTol && std::abs(reduceDegrees(m_rotation - o.m_rotation)) <= degreesTol
           && std::abs(m_shift.x() - o.m_shift.x()) <= shiftTol && std::abs(m_shift.y() - o.m_shift.y()) <= shiftTol;
}

} // namespace Align
