#pragma once
// The similarity transform that lays one picture over another: a uniform scale, a rotation and a
// shift, p' = scale * R(rotation) * p + shift. Points are in picture pixels with the origin at the
// top-left corner of the top-left pixel (pixel (i, j) covers [i, i+1) x [j, j+1)), y pointing
// down, as QPainter draws a QImage; a positive rotation turns x towards y (clockwise on screen).
//
// An alignment maps the after picture's pixels onto the before picture's, each picture at its
// full upright resolution, so that drawing the after picture through toTransform() over the
// before picture lays the two on top of each other.

#include <QPointF>
#include <QString>
#include <QTransform>

#include <QVector>

#include <optional>

namespace Align {

class Similarity {
public:
    // The identity.
    Similarity() = default;
    // rotationDegrees is reduced to (-180, 180]. A scale that is not positive and finite, or a
    // rotation or shift that is not finite, is refused with std::invalid_argument.
    Similarity(double scale, double rotationDegrees, QPointF shift);

    double scale() const { return m_scale; }
    double rotationDegrees() const { return m_rotation; }
    QPointF shift() const { return m_shift; }

    QPointF map(const QPointF &p) const;
    Similarity inverted() const;
    // The transform that applies `first`, then this one: (this * first).map(p) == map(first.map(p)).
    Similarity operator*(const Similarity &first) const;

    // As a QTransform for QPainter (which maps row vectors: p * T).
    QTransform toTransform() const;
    // The similarity part of a QTransform; nothing when it is not one (shear, unequal axis
    // scales, a mirror, a perspective part or a degenerate matrix).
    static std::optional<Similarity> fromTransform(const QTransform &t, double tolerance = 1e-9);

    // The transform that takes from1 to to1 and from2 to to2 exactly: the manual alignment from two
    // landmarks clicked on each picture (from: the after picture, to: the before picture).
    // Throws AppError with a message for the user when the two landmarks of one picture are closer
    // than minDistance pixels, since their direction, and so the rotation, is then unknown.
    static Similarity fromLandmarks(QPointF from1, QPointF from2, QPointF to1, QPointF to2, double minDistance = 2.0);
    // The least-squares similarity taking the points `from` onto the points `to` (the same count,
    // paired in order); nothing for fewer than two pairs or points that all lie on one spot.
    static std::optional<Similarity> fitPoints(const QVector<QPointF> &from, const QVector<QPointF> &to);

    // A short, locale-independent text that parse() reads back exactly, for storing an alignment:
    // "s=1.0425;r=-3.5;dx=12.25;dy=-40". Each number is written in the fewest digits that read
    // back as the same double.
    QString toText() const;
    // Reads toText()'s form; nothing for anything else (unknown or missing keys, bad numbers, a
    // scale that is not positive).
    static std::optional<Similarity> parse(const QString &text);

    // Equal within the given absolute tolerances.
    bool fuzzyEquals(const Similarity &o, double scaleTol = 1e-9, double degreesTol = 1e-7,
                     double shiftTol = 1e-6) const;
    bool operator==(const Similarity &o) const
    {
        return m_scale == o.m_scale && m_rotation == o.m_rotation && m_shift.x() == o.m_shift.x()
               && m_shift.y() == o.m_shift.y();
    }
    bool operator!=(const Similarity &o) const { return !(*this == o); }

private:
    // The linear part as [a -b; b a] with a = s cos r, b = s sin r.
    double a() const;
    double b() const;

    double m_scale = 1.0;
    double m_rotation = 0.0; // degrees, in (-180, 180]
    QPointF m_shift;
};

} // namespace Align
