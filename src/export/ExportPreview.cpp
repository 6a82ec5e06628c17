#include "export/ExportDialog.h"

#include "data/AppError.h"

#include <QMouseEvent>
#include <QPageSize>
#include <QPainter>

#include <algorithm>

namespace Export {

namespace {

constexpr double Handle = 8; // screen pixels of a bar's corner that resize it

} // namespace

SheetPreview::SheetPreview(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("preview"));
    setMinimumSize(420, 420);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void SheetPreview::invalidate()
{
    m_stale = true;
    update();
}

void SheetPreview::setPage(int page)
{
    m_page = page;
    invalidate();
}

void SheetPreview::render()
{
    m_stale = false;
    m_failure.clear();
    Sheet::Request r = SheetExport::forPurpose(m_owner->currentRequest());
    for (Sheet::Pair &p : r.pairs)
        p.beforeBars.clear(), p.afterBars.clear();
    m_image = QImage();
    m_pageRect = QRectF();
    if (r.pairs.isEmpty())
        return;
    m_page = std::clamp(m_page, 0, Sheet::pageCount(r) - 1);
    const SheetExport::Output out = m_owner->currentOutput();
    try {
        QSizeF page;
        if (out.format == SheetExport::Format::Pdf) {
            QSizeF mm = QPageSize(out.paper == SheetExport::Paper::Letter ? QPageSize::Letter : QPageSize::A4)
                            .size(QPageSize::Millimeter);
            page = out.landscape ? mm.transposed() : mm;
        } else {
            page = QSizeF(1000, Sheet::heightForWidth(r, m_page, 1000));
        }
        const QSizeF fit = page.scaled(QSizeF(size()) - QSizeF(8, 8), Qt::KeepAspectRatio);
        m_pageRect = QRectF(QPointF((width() - fit.width()) / 2, (height() - fit.height()) / 2), fit);
        m_image = QImage(fit.toSize().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
        QPainter p(&m_image);
        p.setRenderHint(QPainter::Antialiasing);
        Sheet::paintPage(p, QRectF(QPointF(0, 0), QSizeF(m_image.size())), r, m_page);
    } catch (const AppError &e) {
        m_failure = e.text();
        m_image = QImage();
    }
}

QVector<Sheet::PlacedPair> SheetPreview::placed() const
{
    if (m_pageRect.isEmpty())
        return {};
    return Sheet::placePage(m_owner->currentRequest(), m_page, QRectF(m_pageRect.topLeft(), QSizeF(m_image.size())));
}

QTransform SheetPreview::frameToScreen(const Sheet::PlacedPair &pp, bool after) const
{
    return Sheet::frameToCell(m_owner->editable().pairs[pp.pairIndex], after, after ? pp.after : pp.before);
}

QPolygonF SheetPreview::barOnScreen(const Sheet::PlacedPair &pp, bool after, const QPolygonF &bar) const
{
    return frameToScreen(pp, after).map(bar);
}

void SheetPreview::paintEvent(QPaintEvent *)
{
    if (m_stale)
        render();
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    if (!m_failure.isEmpty()) {
        p.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, m_failure);
        return;
    }
    if (m_image.isNull())
        return;
    p.drawImage(m_pageRect.topLeft(), m_image);
    p.setPen(QColor(160, 160, 160));
    p.drawRect(QRectF(m_pageRect.topLeft(), QSizeF(m_image.size())));
    const Sheet::Request &r = m_owner->editable();
    const QVector<ExportDialog::Bare> bare = m_owner->barePhotos();
    p.setRenderHint(QPainter::Antialiasing);
    for (const Sheet::PlacedPair &pp : placed()) {
        for (bool after : {false, true}) {
            const QVector<QPolygonF> &bars = after ? r.pairs[pp.pairIndex].afterBars : r.pairs[pp.pairIndex].beforeBars;
            const QRectF cell = after ? pp.after : pp.before;
            p.save();
            p.setClipRect(cell);
            p.setPen(Qt::NoPen);
            for (const QPolygonF &bar : bars) {
                const QPolygonF s = barOnScreen(pp, after, bar);
                p.setBrush(Qt::black);
                p.drawPolygon(s);
                p.fillRect(QRectF(s.boundingRect().bottomRight() - QPointF(Handle, Handle), QSizeF(Handle, Handle)),
                           QColor(200, 200, 200));
            }
            p.restore();
            // A photo that would go out without a bar is framed in red.
            if (std::any_of(bare.begin(), bare.end(),
                            [&](const ExportDialog::Bare &b) { return b.pair == pp.pairIndex && b.after == after; })) {
                p.setPen(QPen(QColor(220, 0, 0), 3));
                p.setBrush(Qt::NoBrush);
                p.drawRect(cell.adjusted(1, 1, -1, -1));
            }
        }
    }
}

void SheetPreview::resizeEvent(QResizeEvent *)
{
    invalidate();
}

void SheetPreview::mousePressEvent(QMouseEvent *e)
{
    m_drag = Drag();
    if (e->button() != Qt::LeftButton)
        return;
    Sheet::Request &r = m_owner->editable();
    for (const Sheet::PlacedPair &pp : placed()) {
        for (bool after : {false, true}) {
            const QRectF cell = after ? pp.after : pp.before;
            if (!cell.contains(e->position()))
                continue;
            QVector<QPolygonF> &bars = after ? r.pairs[pp.pairIndex].afterBars : r.pairs[pp.pairIndex].beforeBars;
            m_drag.pair = pp.pairIndex;
            m_drag.after = after;
            m_drag.start = e->position();
            for (int i = int(bars.size()) - 1; i >= 0; --i) {
                const QPolygonF s = barOnScreen(pp, after, bars[i]);
                const QPointF c = s.boundingRect().bottomRight() - e->position();
                const bool corner = c.x() >= 0 && c.y() >= 0 && c.x() <= Handle && c.y() <= Handle;
                if (!corner && !s.containsPoint(e->position(), Qt::OddEvenFill))
                    continue;
                m_drag.bar = i;
                m_drag.original = bars[i];
                m_drag.resize = corner;
                return;
            }
            // A new bar, drawn from here: a rectangle of the frame, kept as a polygon.
            const QTransform toFrame = frameToScreen(pp, after).inverted();
            const QPointF at = toFrame.map(e->position());
            const double k = frameToScreen(pp, after).m11();
            bars.append(QPolygonF(QRectF(at, QSizeF(1 / k, 1 / k))));
            m_drag.bar = int(bars.size()) - 1;
            m_drag.original = bars.last();
            m_drag.resize = true;
            return;
        }
    }
}

void SheetPreview::mouseMoveEvent(QMouseEvent *e)
{
    if (m_drag.bar < 0 || !(e->buttons() & Qt::LeftButton))
        return;
    Sheet::Request &r = m_owner->editable();
    const QVector<Sheet::PlacedPair> all = placed();
    const auto pp = std::find_if(all.begin(), all.end(),
                                 [&](const Sheet::PlacedPair &x) { return x.pairIndex == m_drag.pair; });
    if (pp == all.end())
        return;
    const double k = frameToScreen(*pp, m_drag.after).m11();
    const QPointF d = (e->position() - m_drag.start) / k;
    QVector<QPolygonF> &bars = m_drag.after ? r.pairs[m_drag.pair].afterBars : r.pairs[m_drag.pair].beforeBars;
    if (m_drag.bar >= bars.size())
        return;
    if (m_drag.resize) {
        // The lower right corner follows the pointer; the upper left one stays.
        const QRectF from = m_drag.original.boundingRect();
        const double sx = from.width() > 0 ? (from.width() + d.x()) / from.width() : 1;
        const double sy = from.height() > 0 ? (from.height() + d.y()) / from.height() : 1;
        QPolygonF b;
        for (const QPointF &q : m_drag.original)
            b << from.topLeft() + QPointF((q.x() - from.left()) * sx, (q.y() - from.top()) * sy);
        bars[m_drag.bar] = b;
    } else {
        bars[m_drag.bar] = m_drag.original.translated(d);
    }
    update();
}

void SheetPreview::mouseReleaseEvent(QMouseEvent *e)
{
    mouseMoveEvent(e);
    if (m_drag.bar >= 0) {
        // A click without a drag leaves no speck of a bar behind.
        Sheet::Request &r = m_owner->editable();
        QVector<QPolygonF> &bars = m_drag.after ? r.pairs[m_drag.pair].afterBars : r.pairs[m_drag.pair].beforeBars;
        if (m_drag.bar < bars.size()) {
            const QRectF b = bars[m_drag.bar].boundingRect();
            if (b.width() < 4 || b.height() < 4)
                bars.remove(m_drag.bar);
        }
    }
    m_drag = Drag();
    m_owner->barsChanged();
}

} // namespace Export
