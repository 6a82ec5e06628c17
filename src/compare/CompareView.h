#pragma once
// A before and an after picture compared in one widget: side by side, wiped (the after picture
// over the before one, up to a divider the person drags) or overlaid (the after picture over the
// before one at an opacity). Zoom (10 % to 800 %, around the mouse pointer: wheel, + and -) and
// pan (drag) move both sides together; unlocked, side by side, one side moves alone. F or a
// double-click fits, 1 shows one picture pixel per screen pixel.
//
// The after picture is drawn through a Similarity (after-picture pixels to before-picture
// pixels), so that an aligned pair shows the same point of the face at the same place. An
// unaligned pair (photos of other cameras, sizes and framings) shows each picture fitted to its
// own pane, centred: the after picture is then drawn through a fit computed from the two sizes
// and the pane, again whenever the view's size or mode changes.
//
// The widget reads pictures and nothing else: no database, no message boxes, no file names
// shown anywhere (it may be shown to a prospective customer). A picture that cannot be read
// leaves its side empty and is reported through pictureFailed(); the host decides what to say.
//
// Large photos stay fluid at any zoom: each side keeps a small decode (JPEG DCT scaling) for
// fitted views and decodes a finer one on a worker only when the zoom needs it. Every frame draws
// only the visible part of the level it uses; nothing is rescaled as a whole while the person
// zooms or drags.
//
// Typical use:
//     auto *view = new CompareView(parent);
//     view->setPictures(beforePath, afterPath);
//     if (stored) view->setAlignment(*stored); else view->clearAlignment();
//     connect(view, &CompareView::pictureFailed, ...);
//     CompareView::State s = view->state(); s.mode = CompareView::Mode::Wipe; view->setState(s);

#include "align/Similarity.h"
#include "compare/CompareState.h"

#include <QImage>
#include <QList>
#include <QPointF>
#include <QSize>
#include <QString>
#include <QVector>
#include <QWidget>

#include <array>

class CompareView : public QWidget {
    Q_OBJECT
public:
    using State = CompareState;
    using Mode = CompareState::Mode;
    using Side = CompareState::Side;

    explicit CompareView(QWidget *parent = nullptr);
    ~CompareView() override;

    // Shows two pictures (full paths; empty: that side stays empty). A side whose path did not
    // change keeps its decodes. A fitted view fits the new pictures; otherwise the zoom and the
    // centre stay, so stepping through cases keeps the region looked at.
    void setPictures(const QString &beforePath, const QString &afterPath);
    QString picturePath(Side side) const;
    // The natural (upright, full-resolution) size; empty when the side has no readable picture.
    QSize pictureSize(Side side) const;
    bool hasPicture(Side side) const { return pictureSize(side).isValid(); }
    // The small decode of a side (for automatic alignment); null until it has arrived.
    QImage workingImage(Side side) const;
    // True while a requested decode is still on its way.
    bool isLoading() const;
    // Waits for every requested decode and shows it (tests, benchmarks, a first export).
    void waitUntilLoaded();

    // After-picture pixels to before-picture pixels, drawn as given (the identity too).
    void setAlignment(const Align::Similarity &alignment);
    // No alignment: each picture fitted to its pane.
    void clearAlignment();
    bool isAligned() const { return m_aligned; }
    // The alignment set; the identity when there is none.
    Align::Similarity alignment() const { return m_alignment; }
    // What the after picture is drawn through: the alignment, or without one the fit for the
    // present size and mode. Changes with them when unaligned; never store it as an alignment.
    Align::Similarity effectiveAlignment() const;

    State state() const { return m_state; }
    void setState(const State &state);
    void setMode(Mode mode);
    void setLinked(bool linked);
    void setOpacity(double opacity); // 0 to 1
    void setWipeOrientation(Qt::Orientation orientation);

    void fit();
    void actualSize();          // 1:1, around the centre
    void zoomBy(double factor); // around the pointer when it is over the view
    // Around the middle of what the (before side of the) view shows, wherever the pointer
    // rests: for keys and presenter remotes.
    void zoomAtCentre(double factor);
    // Moves the pictures by view pixels, as a drag does; nothing when the view shows them fitted.
    void panBy(QPointF delta);
    // The before-picture region the (before side of the) view shows, in its pixels.
    QRectF visibleRegion() const;

    // Landmark picking: a click (no drag) in a side emits pointPicked with the point in that
    // side's own picture pixels. Markers are drawn at picture points of each side, numbered.
    void setPicking(bool picking);
    bool isPicking() const { return m_picking; }
    void setMarkers(Side side, const QVector<QPointF> &picturePoints);

    // Small captions in a corner of each side's pane ("术前", "术后 3 个月"); empty: none. The
    // overlay shows both in one caption. Never put anything personal here.
    void setLabels(const QString &before, const QString &after);
    QString label(Side side) const { return m_labels[side == Side::Before ? 0 : 1]; }

signals:
    void stateChanged();
    void pictureFailed(CompareView::Side side, const QString &message);
    void pointPicked(CompareView::Side side, QPointF picturePoint);
    // Every requested small decode has arrived (or failed).
    void picturesLoaded();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    struct Level {
        QImage image;
        double scale = 0; // level pixels per full-resolution pixel
    };
    struct Picture {
        QString path;
        QSize natural;
        Level base;             // fitted views
        Level detail;           // finer, when zoomed in
        int serial = 0;         // the load the decodes belong to
        double detailAsked = 0; // the finest scale asked for and not yet arrived
        bool failed = false;
    };
    struct Request;

    Picture &pic(Side side) { return m_pictures[side == Side::Before ? 0 : 1]; }
    const Picture &pic(Side side) const { return m_pictures[side == Side::Before ? 0 : 1]; }
    void load(Side side, const QString &path);
    void request(Side side, QSize atLeast, bool detail);
    void deliver(Request *r);
    void fail(Side side, const QString &message);
    void askForDetail();
    QRectF referenceRect() const;
    QTransform pictureToView(Side side, const Level &level, Side pane) const;
    void drawPicture(QPainter &p, Side side, Side pane, const QRectF &clip, double opacity) const;
    void drawMarkers(QPainter &p) const;
    void drawLabel(QPainter &p, const QString &text, const QRectF &area, Qt::Alignment corner) const;
    Side sideAt(QPointF viewPoint) const;
    void change(const State &s);
    bool nearDivider(QPointF viewPoint) const;
    void alignmentChanged();

    State m_state;
    Align::Similarity m_alignment;
    bool m_aligned = false;
    std::array<Picture, 2> m_pictures;
    QList<Request *> m_requests;
    std::array<QVector<QPointF>, 2> m_markers;
    bool m_picking = false;
    std::array<QString, 2> m_labels;

    enum class Drag { None, Pan, Divider };
    Drag m_drag = Drag::None;
    Side m_dragSide = Side::Before;
    QPointF m_pressAt, m_lastAt;
    bool m_moved = false;
};
