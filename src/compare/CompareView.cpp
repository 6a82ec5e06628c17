#include "compare/CompareView.h"

#include "data/AppError.h"
#include "pictures/DecodePool.h"
#include "pictures/PictureLoader.h"

#include <QFutureWatcher>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

namespace {

// The small decode covers this box: enough for a fitted view on a large screen, and small
// enough (a few MB) to be drawn at interactive speed.
constexpr int BaseEdge = 1600;
// A level may be magnified this much before a finer one is asked for.
constexpr double Magnify = 1.05;
constexpr double DividerGrip = 6.0; // view pixels either side of the wipe divider
constexpr double ClickSlop = 3.0;   // a press that moves less is a click

struct Decoded {
    QImage image;
    QString error;
};

Decoded decode(const QString &path, QSize atLeast)
{
    Decoded d;
    try {
        QImage img = PictureLoader::loadPreview(path, atLeast);
        if (img.isNull()) {
            d.error = QStringLiteral("内存不足，无法显示这张图片");
            return d;
        }
        // One conversion here, on the worker, so that drawing never converts.
        const QImage::Format f = img.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
        if (img.format() != f)
            img = img.convertToFormat(f);
        d.image = img;
    } catch (const AppError &e) {
        d.error = e.text();
    } catch (const std::bad_alloc &) {
        d.error = QStringLiteral("内存不足，无法显示这张图片");
    }
    return d;
}

} // namespace

struct CompareView::Request {
    Side side;
    int serial;
    bool detail;
    QFuture<Decoded> future;
    QFutureWatcher<Decoded> *watcher = nullptr;
};

CompareView::CompareView(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(80, 60);
}

CompareView::~CompareView()
{
    // Workers still decoding for this view finish on their own; their results are dropped.
    for (Request *r : std::as_const(m_requests)) {
        r->watcher->disconnect(this);
        r->future.waitForFinished();
        delete r;
    }
}

// ---- pictures ------------------------------------------------------------------------------

void CompareView::setPictures(const QString &beforePath, const QString &afterPath)
{
    const bool wasFitted = m_state.fitted;
    load(Side::Before, beforePath);
    load(Side::After, afterPath);
    if (wasFitted)
        fit();
    update();
    if (!isLoading())
        emit picturesLoaded();
}

void CompareView::load(Side side, const QString &path)
{
    Picture &p = pic(side);
    if (p.path == path && (p.natural.isValid() || p.failed || path.isEmpty()))
        return;
    const int serial = p.serial + 1;
    p = Picture();
    p.serial = serial;
    p.path = path;
    m_markers[side == Side::Before ? 0 : 1].clear();
    if (path.isEmpty())
        return;
    QSize natural;
    try {
        natural = PictureLoader::readNaturalSize(path);
    } catch (const AppError &e) {
        fail(side, e.text());
        return;
    }
    if (!natural.isValid()) {
        fail(side, QStringLiteral("图片无法读取"));
        return;
    }
    p.natural = natural;
    request(side, natural.scaled(BaseEdge, BaseEdge, Qt::KeepAspectRatio), false);
}

void CompareView::request(Side side, QSize atLeast, bool detail)
{
    auto *r = new Request{side, pic(side).serial, detail, {}, nullptr};
    r->future = QtConcurrent::run(DecodePool::shared(), decode, pic(side).path, atLeast);
    r->watcher = new QFutureWatcher<Decoded>(this);
    connect(r->watcher, &QFutureWatcher<Decoded>::finished, this, [this, r] { deliver(r); });
    r->watcher->setFuture(r->future);
    m_requests.append(r);
}

void CompareView::deliver(Request *r)
{
    if (!m_requests.removeOne(r))
        return;
    r->watcher->disconnect(this);
    r->watcher->deleteLater();
    // Taken out of the future, not copied: the watcher, deleted later, would otherwise hold a
    // full-resolution decode until then (several of them after a fast zoom).
    const Decoded d = r->future.takeResult();
    Picture &p = pic(r->side);
    const bool current = r->serial == p.serial && p.natural.isValid();
    const bool detail = r->detail;
    const Side side = r->side;
    delete r;
    if (current) {
        if (!d.error.isEmpty()) {
            fail(side, d.error);
        } else {
            Level level{d.image, double(d.image.width()) / p.natural.width()};
            if (detail) {
                p.detailAsked = 0;
                if (level.scale > p.base.scale)
                    p.detail = level;
            } else {
                p.base = level;
            }
            update();
        }
    }
    askForDetail();
    const bool baseMissing = std::any_of(m_requests.cbegin(), m_requests.cend(),
                                         [](const Request *q) { return !q->detail; });
    if (!detail && !baseMissing)
        emit picturesLoaded();
}

void CompareView::fail(Side side, const QString &message)
{
    Picture &p = pic(side);
    const QString path = p.path;
    const int serial = p.serial;
    p = Picture();
    p.path = path;
    p.serial = serial;
    p.failed = true;
    update();
    emit pictureFailed(side, message);
}

bool CompareView::isLoading() const
{
    return !m_requests.isEmpty();
}

void CompareView::waitUntilLoaded()
{
    while (!m_requests.isEmpty()) {
        Request *r = m_requests.first();
        r->future.waitForFinished();
        deliver(r);
    }
}

QString CompareView::picturePath(Side side) const
{
    return pic(side).path;
}
QSize CompareView::pictureSize(Side side) const
{
    return pic(side).natural;
}
QImage CompareView::workingImage(Side side) const
{
    return pic(side).base.image;
}

// Asks for a finer decode of each side whose best level would now be magnified.
void CompareView::askForDetail()
{
    const double ratio = devicePixelRatioF();
    for (Side side : {Side::Before, Side::After}) {
        Picture &p = pic(side);
        if (!p.natural.isValid() || p.base.image.isNull())
            continue;
        // Full-resolution pixels per device pixel are what is needed, at most 1.
        const double alignScale = side == Side::After ? effectiveAlignment().scale() : 1.0;
        const double need = std::min(1.0, m_state.zoom * ratio * alignScale);
        const double have = std::max(p.base.scale, p.detail.scale);
        if (need <= have * Magnify || need <= p.detailAsked * Magnify)
            continue;
        if (have >= 0.999)
            continue;
        // A little above what is needed, so a small further zoom needs no new decode.
        const double ask = std::min(1.0, need * 1.25);
        p.detailAsked = ask;
        request(side, QSize(int(std::ceil(p.natural.width() * ask)), int(std::ceil(p.natural.height() * ask))), true);
    }
}

// ---- state ---------------------------------------------------------------------------------

void CompareView::setAlignment(const Align::Similarity &alignment)
{
    m_alignment = alignment;
    m_aligned = true;
    alignmentChanged();
}

void CompareView::clearAlignment()
{
    m_alignment = Align::Similarity();
    m_aligned = false;
    alignmentChanged();
}

void CompareView::alignmentChanged()
{
    if (m_state.fitted)
        fit();
    askForDetail();
    update();
}

Align::Similarity CompareView::effectiveAlignment() const
{
    if (m_aligned)
        return m_alignment;
    return State::fitSimilarity(m_state.paneRect(size(), Side::Before).size(), QSizeF(pic(Side::Before).natural),
                                QSizeF(pic(Side::After).natural));
}

void CompareView::change(const State &s)
{
    if (s == m_state)
        return;
    m_state = s;
    askForDetail();
    update();
    emit stateChanged();
}

void CompareView::setState(const State &state)
{
    State s = state;
    s.zoom = State::clampZoom(s.zoom);
    s.opacity = std::clamp(s.opacity, 0.0, 1.0);
    s.wipePosition = std::clamp(s.wipePosition, 0.0, 1.0);
    if (s.fitted)
        s = s.fittedTo(size(), referenceRect());
    change(s);
}

void CompareView::setMode(Mode mode)
{
    State s = m_state;
    s.mode = mode;
    setState(s);
}

void CompareView::setLinked(bool linked)
{
    change(m_state.withLinked(linked));
}

void CompareView::setOpacity(double opacity)
{
    State s = m_state;
    s.opacity = std::clamp(opacity, 0.0, 1.0);
    change(s);
}

void CompareView::setWipeOrientation(Qt::Orientation orientation)
{
    State s = m_state;
    s.wipeOrientation = orientation;
    change(s);
}

void CompareView::fit()
{
    change(m_state.fittedTo(size(), referenceRect()));
}

void CompareView::actualSize()
{
    change(m_state.withZoom(1.0 / devicePixelRatioF()));
}

void CompareView::zoomBy(double factor)
{
    const QPointF at = mapFromGlobal(QCursor::pos());
    const QPointF point = rect().contains(at.toPoint()) ? at : QPointF(width() / 2.0, height() / 2.0);
    // Side by side, the pointer over neither half zooms around the before half's centre.
    const Side side = sideAt(point);
    const QPointF inPane = m_state.paneRect(size(), side).contains(point) ? point
                                                                          : m_state.paneRect(size(), side).center();
    change(m_state.zoomedAt(size(), side, inPane, factor));
}

void CompareView::zoomAtCentre(double factor)
{
    change(m_state.zoomedAt(size(), Side::Before, m_state.paneRect(size(), Side::Before).center(), factor));
}

void CompareView::panBy(QPointF delta)
{
    if (m_state.fitted)
        return;
    change(m_state.dragged(Side::Before, delta));
}

QRectF CompareView::visibleRegion() const
{
    return m_state.visibleRegion(size(), Side::Before);
}

// The reference rectangle Fit shows: the before picture, or the after picture laid into the
// before picture's space when there is no before picture.
QRectF CompareView::referenceRect() const
{
    if (hasPicture(Side::Before))
        return QRectF(QPointF(0, 0), QSizeF(pic(Side::Before).natural));
    if (hasPicture(Side::After))
        return effectiveAlignment().toTransform().mapRect(QRectF(QPointF(0, 0), QSizeF(pic(Side::After).natural)));
    return QRectF();
}

void CompareView::setPicking(bool picking)
{
    m_picking = picking;
    setCursor(picking ? Qt::CrossCursor : Qt::ArrowCursor);
    update();
}

void CompareView::setMarkers(Side side, const QVector<QPointF> &picturePoints)
{
    m_markers[side == Side::Before ? 0 : 1] = picturePoints;
    update();
}

// ---- drawing -------------------------------------------------------------------------------

// A level's pixels to view coordinates in `pane`'s placement.
QTransform CompareView::pictureToView(Side side, const Level &level, Side pane) const
{
    QTransform t = QTransform::fromScale(1.0 / level.scale, 1.0 / level.scale);
    if (side == Side::After)
        t *= effectiveAlignment().toTransform();
    return t * m_state.referenceToView(size(), pane);
}

void CompareView::setLabels(const QString &before, const QString &after)
{
    if (m_labels[0] == before && m_labels[1] == after)
        return;
    m_labels = {before, after};
    update();
}

void CompareView::drawLabel(QPainter &p, const QString &text, const QRectF &area, Qt::Alignment corner) const
{
    if (text.isEmpty())
        return;
    const QFontMetricsF fm(font());
    const double margin = 8, padX = 6, padY = 3;
    const QSizeF box(fm.horizontalAdvance(text) + 2 * padX, fm.height() + 2 * padY);
    if (area.width() < box.width() + 2 * margin || area.height() < box.height() + 2 * margin)
        return; // a pane too narrow (a divider near the edge) shows no caption rather than a cut one
    const double x = (corner & Qt::AlignRight) ? area.right() - margin - box.width() : area.left() + margin;
    const double y = (corner & Qt::AlignBottom) ? area.bottom() - margin - box.height() : area.top() + margin;
    const QRectF r(QPointF(x, y), box);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 150));
    p.drawRoundedRect(r, 4, 4);
    p.setFont(font());
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, text);
    p.restore();
}

void CompareView::drawPicture(QPainter &p, Side side, Side pane, const QRectF &clip, double opacity) const
{
    const Picture &pc = pic(side);
    const Level &level = pc.detail.scale > pc.base.scale && !pc.detail.image.isNull() ? pc.detail : pc.base;
    if (level.image.isNull() || clip.isEmpty())
        return;
    const QTransform t = pictureToView(side, level, pane);
    bool invertible = false;
    const QTransform inv = t.inverted(&invertible);
    if (!invertible)
        return;
    // Only the part of the level that lands in the clip is drawn.
    const QRectF source = inv.mapRect(clip).adjusted(-2, -2, 2, 2).intersected(QRectF(level.image.rect()));
    if (source.isEmpty())
        return;
    p.save();
    p.setClipRect(clip, Qt::IntersectClip);
    p.setOpacity(opacity);
    p.setTransform(t);
    // Far enlarged, pixels are shown as pixels; otherwise smoothed.
    p.setRenderHint(QPainter::SmoothPixmapTransform, t.m11() * t.m11() + t.m12() * t.m12() < 16.0);
    const QRect src = source.toAlignedRect();
    p.drawImage(QPointF(src.topLeft()), level.image, QRectF(src));
    p.restore();
}

void CompareView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(48, 48, 48));
    const QSizeF sz = size();
    switch (m_state.mode) {
    case Mode::SideBySide: {
        const QRectF left = m_state.paneRect(sz, Side::Before);
        const QRectF right = m_state.paneRect(sz, Side::After);
        p.fillRect(QRectF(left.right(), 0, right.left() - left.right(), height()), QColor(24, 24, 24));
        drawPicture(p, Side::Before, Side::Before, left, 1.0);
        drawPicture(p, Side::After, Side::After, right, 1.0);
        drawLabel(p, m_labels[0], left, Qt::AlignLeft | Qt::AlignTop);
        drawLabel(p, m_labels[1], right, Qt::AlignLeft | Qt::AlignTop);
        break;
    }
    case Mode::Wipe: {
        // Each picture only on its own side of the divider: where the after picture does not
        // reach, its side shows the background, never the before picture.
        const bool vertical = m_state.wipeOrientation == Qt::Vertical;
        const double at = m_state.wipePosition * (vertical ? sz.width() : sz.height());
        const QRectF beforePart = vertical ? QRectF(0, 0, at, sz.height()) : QRectF(0, 0, sz.width(), at);
        const QRectF afterPart = vertical ? QRectF(at, 0, sz.width() - at, sz.height())
                                          : QRectF(0, at, sz.width(), sz.height() - at);
        drawPicture(p, Side::Before, Side::Before, beforePart, 1.0);
        drawPicture(p, Side::After, Side::Before, afterPart, 1.0);
        const QLineF line = vertical ? QLineF(at, 0, at, sz.height()) : QLineF(0, at, sz.width(), at);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 0, 0, 140), 4));
        p.drawLine(line);
        p.setPen(QPen(Qt::white, 2));
        p.drawLine(line);
        const QPointF grip = line.center();
        p.setBrush(Qt::white);
        p.setPen(QPen(QColor(0, 0, 0, 160), 1));
        p.drawEllipse(grip, 7, 7);
        // Each caption in the far corner of its own side, away from the divider.
        drawLabel(p, m_labels[0], beforePart, Qt::AlignLeft | Qt::AlignTop);
        drawLabel(p, m_labels[1], afterPart,
                  vertical ? (Qt::AlignRight | Qt::AlignTop) : (Qt::AlignLeft | Qt::AlignBottom));
        break;
    }
    case Mode::Overlay: {
        const QRectF all(QPointF(0, 0), sz);
        drawPicture(p, Side::Before, Side::Before, all, 1.0);
        drawPicture(p, Side::After, Side::Before, all, m_state.opacity);
        const QString both = m_labels[0].isEmpty() || m_labels[1].isEmpty()
                                 ? m_labels[0] + m_labels[1]
                                 : m_labels[0] + QStringLiteral(" / ") + m_labels[1];
        drawLabel(p, both, all, Qt::AlignLeft | Qt::AlignTop);
        break;
    }
    }
    drawMarkers(p);
}

void CompareView::drawMarkers(QPainter &p) const
{
    p.setRenderHint(QPainter::Antialiasing);
    for (Side side : {Side::Before, Side::After}) {
        const QVector<QPointF> &points = m_markers[side == Side::Before ? 0 : 1];
        const QColor colour = side == Side::Before ? QColor(255, 210, 0) : QColor(0, 220, 255);
        // Markers sit where their side is drawn: its own half, side by side; the one view otherwise.
        const Side pane = m_state.mode == Mode::SideBySide ? side : Side::Before;
        const QTransform toView = (side == Side::After ? effectiveAlignment().toTransform() : QTransform())
                                  * m_state.referenceToView(size(), pane);
        for (int i = 0; i < points.size(); ++i) {
            const QPointF at = toView.map(points.at(i));
            p.setPen(QPen(Qt::black, 3));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(at, 8, 8);
            p.setPen(QPen(colour, 2));
            p.drawEllipse(at, 8, 8);
            p.drawLine(at - QPointF(12, 0), at + QPointF(12, 0));
            p.drawLine(at - QPointF(0, 12), at + QPointF(0, 12));
            p.drawText(at + QPointF(10, -10), QString::number(i + 1));
        }
    }
}

// ---- input ---------------------------------------------------------------------------------

CompareView::Side CompareView::sideAt(QPointF viewPoint) const
{
    if (m_state.mode != Mode::SideBySide)
        return Side::Before;
    return viewPoint.x() < width() / 2.0 ? Side::Before : Side::After;
}

bool CompareView::nearDivider(QPointF at) const
{
    if (m_state.mode != Mode::Wipe)
        return false;
    const bool vertical = m_state.wipeOrientation == Qt::Vertical;
    const double pos = m_state.wipePosition * (vertical ? width() : height());
    return std::abs((vertical ? at.x() : at.y()) - pos) <= DividerGrip;
}

void CompareView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_state.fitted)
        fit();
}

void CompareView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPointF at = event->position();
    m_pressAt = m_lastAt = at;
    m_moved = false;
    m_dragSide = sideAt(at);
    m_drag = nearDivider(at) ? Drag::Divider : Drag::Pan;
    if (m_drag == Drag::Pan && !m_picking)
        setCursor(Qt::ClosedHandCursor);
}

void CompareView::mouseMoveEvent(QMouseEvent *event)
{
    const QPointF at = event->position();
    if (m_drag == Drag::None) {
        if (!m_picking)
            setCursor(nearDivider(at) ? (m_state.wipeOrientation == Qt::Vertical ? Qt::SplitHCursor : Qt::SplitVCursor)
                                      : Qt::ArrowCursor);
        return;
    }
    if (QLineF(at, m_pressAt).length() > ClickSlop)
        m_moved = true;
    if (m_drag == Drag::Divider)
        change(m_state.withWipeAt(size(), at));
    else if (m_moved)
        change(m_state.dragged(m_dragSide, at - m_lastAt));
    m_lastAt = at;
}

void CompareView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_drag == Drag::None) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const Drag drag = std::exchange(m_drag, Drag::None);
    setCursor(m_picking ? Qt::CrossCursor : Qt::ArrowCursor);
    if (drag != Drag::Pan || m_moved || !m_picking)
        return;
    // A click while picking landmarks: the point in the clicked side's own picture pixels.
    // Outside side by side the one view shows the before picture under the after picture.
    const Side side = m_dragSide;
    if (!hasPicture(side))
        return;
    const Side pane = m_state.mode == Mode::SideBySide ? side : Side::Before;
    QPointF point = m_state.toReference(size(), pane, event->position());
    if (side == Side::After)
        point = effectiveAlignment().inverted().map(point);
    if (!QRectF(QPointF(0, 0), QSizeF(pictureSize(side))).contains(point))
        return;
    emit pointPicked(side, point);
}

void CompareView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !m_picking && !nearDivider(event->position()))
        fit();
    else
        QWidget::mouseDoubleClickEvent(event);
}

void CompareView::wheelEvent(QWheelEvent *event)
{
    const int steps = event->angleDelta().y();
    if (steps == 0) {
        event->ignore();
        return;
    }
    const QPointF at = event->position();
    const Side side = sideAt(at);
    // 120 (one notch) zooms by a fifth.
    change(m_state.zoomedAt(size(), side, at, std::pow(1.2, steps / 120.0)));
    event->accept();
}

void CompareView::keyPressEvent(QKeyEvent *event)
{
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: zoomBy(1.25); break;
    case Qt::Key_Minus: zoomBy(1 / 1.25); break;
    case Qt::Key_F: fit(); break;
    case Qt::Key_1: actualSize(); break;
    default: QWidget::keyPressEvent(event);
    }
}
