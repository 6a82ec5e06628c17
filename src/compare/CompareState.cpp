#include "compare/CompareState.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double PaneGap = 4.0; // view pixels between the two halves, side by side

QPointF paneCentre(const QRectF &pane)
{
    return pane.center();
}

} // namespace

bool CompareState::operator==(const CompareState &o) const
{
    return mode == o.mode && zoom == o.zoom && centre == o.centre && fitted == o.fitted && linked == o.linked
           && afterOffset == o.afterOffset && wipeOrientation == o.wipeOrientation && wipePosition == o.wipePosition
           && opacity == o.opacity;
}

double CompareState::clampZoom(double z)
{
    if (!std::isfinite(z))
        return 1.0;
    return std::clamp(z, MinZoom, MaxZoom);
}

QRectF CompareState::paneRect(Mode mode, QSizeF size, Side side)
{
    const double w = std::max(size.width(), 0.0);
    const double h = std::max(size.height(), 0.0);
    if (mode != Mode::SideBySide)
        return QRectF(0, 0, w, h);
    const double half = std::max((w - PaneGap) / 2.0, 0.0);
    return side == Side::Before ? QRectF(0, 0, half, h) : QRectF(w - half, 0, half, h);
}

// The reference point at the centre of a side's pane.
static QPointF sideCentre(const CompareState &s, CompareState::Side side)
{
    if (side == CompareState::Side::After && s.mode == CompareState::Mode::SideBySide)
        return s.centre + s.afterOffset;
    return s.centre;
}

QTransform CompareState::referenceToView(QSizeF size, Side side) const
{
    const QPointF c = sideCentre(*this, side);
    const QPointF pc = paneCentre(paneRect(size, side));
    // view = (p - c) * zoom + pc; QTransform applies the scale, then the translation.
    return QTransform(zoom, 0, 0, zoom, pc.x() - c.x() * zoom, pc.y() - c.y() * zoom);
}

QPointF CompareState::toReference(QSizeF size, Side side, QPointF viewPoint) const
{
    const QPointF c = sideCentre(*this, side);
    const QPointF pc = paneCentre(paneRect(size, side));
    return c + (viewPoint - pc) / zoom;
}

QRectF CompareState::visibleRegion(QSizeF size, Side side) const
{
    const QRectF pane = paneRect(size, side);
    return QRectF(toReference(size, side, pane.topLeft()), toReference(size, side, pane.bottomRight()));
}

// Moves one side's centre to `newSideCentre`: both sides when they move together, otherwise that
// side alone (the other keeps what it shows).
static void moveSide(CompareState &s, CompareState::Side side, QPointF newSideCentre)
{
    const bool together = s.linked || s.mode != CompareState::Mode::SideBySide;
    const QPointF delta = newSideCentre - sideCentre(s, side);
    if (together)
        s.centre += delta;
    else if (side == CompareState::Side::Before) {
        s.centre += delta;
        s.afterOffset -= delta;
    } else
        s.afterOffset += delta;
}

CompareState CompareState::zoomedAt(QSizeF size, Side side, QPointF viewPoint, double factor) const
{
    CompareState s = *this;
    const QPointF q = toReference(size, side, viewPoint);
    s.zoom = clampZoom(zoom * factor);
    s.fitted = false;
    if (s.zoom == zoom)
        return s;
    const QPointF pc = paneCentre(paneRect(size, side));
    // The side's centre is then where q stays under viewPoint.
    const QPointF newCentre = q - (viewPoint - pc) / s.zoom;
    // The other side zooms around its own centre: move that one only when linked.
    moveSide(s, side, newCentre);
    return s;
}

CompareState CompareState::withZoom(double z) const
{
    CompareState s = *this;
    s.zoom = clampZoom(z);
    s.fitted = false;
    return s;
}

CompareState CompareState::dragged(Side side, QPointF delta) const
{
    CompareState s = *this;
    s.fitted = false;
    moveSide(s, side, sideCentre(*this, side) - delta / zoom);
    return s;
}

CompareState CompareState::fittedTo(QSizeF size, QRectF reference) const
{
    CompareState s = *this;
    s.fitted = true;
    s.afterOffset = QPointF();
    if (reference.isEmpty())
        return s;
    const QRectF pane = paneRect(size, Side::Before);
    if (pane.width() < 1 || pane.height() < 1)
        return s;
    s.zoom = clampZoom(std::min(pane.width() / reference.width(), pane.height() / reference.height()));
    s.centre = reference.center();
    return s;
}

CompareState CompareState::withLinked(bool l) const
{
    CompareState s = *this;
    s.linked = l;
    return s;
}

CompareState CompareState::withWipeAt(QSizeF size, QPointF viewPoint) const
{
    CompareState s = *this;
    const double extent = wipeOrientation == Qt::Vertical ? size.width() : size.height();
    const double at = wipeOrientation == Qt::Vertical ? viewPoint.x() : viewPoint.y();
    s.wipePosition = extent > 0 ? std::clamp(at / extent, 0.0, 1.0) : 0.5;
    return s;
}

// A picture's scale when it fits `pane`, keeping its aspect.
static double fitScale(QSizeF pane, QSizeF picture)
{
    return std::min(pane.width() / picture.width(), pane.height() / picture.height());
}

Align::Similarity CompareState::fitSimilarity(QSizeF pane, QSizeF before, QSizeF after)
{
    if (before.isEmpty() || after.isEmpty())
        return Align::Similarity();
    // A view not laid out yet counts as a square.
    if (pane.width() < 1 || pane.height() < 1)
        pane = QSizeF(1, 1);
    const double scale = fitScale(pane, after) / fitScale(pane, before);
    if (!std::isfinite(scale) || scale <= 0)
        return Align::Similarity();
    const QPointF afterCentre(after.width() / 2, after.height() / 2);
    const QPointF beforeCentre(before.width() / 2, before.height() / 2);
    return Align::Similarity(scale, 0, beforeCentre - afterCentre * scale);
}
