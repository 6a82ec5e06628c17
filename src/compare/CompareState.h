#pragma once
// What a comparison looks at, as a small value: the mode, the zoom, the point of the before
// picture at the centre of the view, and how far the after side has been moved on its own. The
// geometry that follows from it (where a picture point lands on screen, what a zoom around the
// pointer or a drag does) is here as plain functions, so the widget only draws and forwards
// input, and a later export can reproduce exactly what was shown.
//
// Every position is in "reference" pixels: the before picture's full-resolution upright pixels.
// The after picture reaches that space through its alignment (a Similarity), so both sides of a
// comparison always speak of the same point of the face. An unaligned after picture reaches it
// through fitSimilarity(), which makes it look as large as the before picture whatever its size.

#include "align/Similarity.h"

#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QTransform>

struct CompareState {
    enum class Mode { SideBySide, Wipe, Overlay };
    enum class Side { Before, After };

    static constexpr double MinZoom = 0.1;
    static constexpr double MaxZoom = 8.0;

    Mode mode = Mode::SideBySide;
    // Screen pixels (device independent) per reference pixel, within [MinZoom, MaxZoom].
    double zoom = 1.0;
    // The reference point shown at the centre of the view (of each half, side by side).
    QPointF centre;
    // True while the view follows its size and the pictures (Fit): a new size or new pictures
    // fit again. Any zoom or pan clears it.
    bool fitted = true;
    // Side by side: whether both halves move together. Unlocked, a drag or zoom moves only the
    // half it is made in; the difference is kept in afterOffset, and stays when locked again.
    bool linked = true;
    // Side by side: the after half shows centre + afterOffset at its centre.
    QPointF afterOffset;
    // Wipe: Qt::Vertical divides left (before) from right (after); Horizontal top from bottom.
    Qt::Orientation wipeOrientation = Qt::Vertical;
    double wipePosition = 0.5; // share of the width (or height) left of (above) the divider
    double opacity = 0.5;      // overlay: the after picture's, 0 to 1

    bool operator==(const CompareState &o) const;
    bool operator!=(const CompareState &o) const { return !(*this == o); }

    // The rectangles the two sides are drawn in, for a view of `size`. Side by side they are two
    // halves with a gap between; otherwise both are the whole view.
    static QRectF paneRect(Mode mode, QSizeF size, Side side);
    QRectF paneRect(QSizeF size, Side side) const { return paneRect(mode, size, side); }

    // Reference pixels to view coordinates for one side's pane.
    QTransform referenceToView(QSizeF size, Side side) const;
    QPointF toReference(QSizeF size, Side side, QPointF viewPoint) const;
    // The reference region one side shows (its whole pane, whether or not the picture covers it).
    QRectF visibleRegion(QSizeF size, Side side) const;

    // Zooms by `factor` (clamped to the range) keeping the reference point under viewPoint where
    // it is. Linked, or outside side by side, both sides follow; unlocked, only `side` does.
    CompareState zoomedAt(QSizeF size, Side side, QPointF viewPoint, double factor) const;
    // Sets the zoom keeping the pane's centre point where it is (1:1 and the zoom keys).
    CompareState withZoom(double zoom) const;
    // A drag of `delta` view pixels made on `side`: the picture follows the pointer.
    CompareState dragged(Side side, QPointF delta) const;
    // The whole reference rectangle shown as large as it fits one pane (within the zoom range),
    // centred; the lock offset is cleared, since both sides then show their whole picture.
    CompareState fittedTo(QSizeF size, QRectF reference) const;
    CompareState withLinked(bool linked) const;
    // The divider at a view point (wipe), clamped to the view.
    CompareState withWipeAt(QSizeF size, QPointF viewPoint) const;

    static double clampZoom(double zoom);

    // After-picture pixels to reference pixels for an unaligned pair: the after picture scaled so
    // that it fits a pane of `pane` size exactly when the before picture does, centre on centre.
    // Pictures of different cameras and framings then both fill their pane at any zoom. Without
    // a before picture the after picture's own pixels are the reference (the identity).
    static Align::Similarity fitSimilarity(QSizeF pane, QSizeF before, QSizeF after);
};
