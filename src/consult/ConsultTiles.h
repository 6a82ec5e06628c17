#pragma once
// The painted parts of the consultation mode: the tiles of levels 1 to 3, each a caption and,
// for a case, its two pictures, and the neutral stand-in for a picture that cannot be shown.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QWidget>

#include <algorithm>
#include <functional>

namespace ConsultTiles {

const QColor Background(34, 34, 38);
const QColor TileColour(58, 58, 64);
const QColor TileSelected(196, 160, 92);
const QColor TextColour(236, 236, 236);
const QColor DimText(170, 170, 176);

QString majorName(const QString &name);
QString minorName(const QString &name);

// A neutral stand-in for a picture that cannot be shown: a grey frame with a simple landscape
// sign, no words, nothing that hints at what went wrong.
void paintPlaceholder(QPainter &p, const QRectF &r);

class Placeholder : public QWidget {
public:
    explicit Placeholder(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("placeholder"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        paintPlaceholder(p, rect());
    }
};

// One tile of levels 1 to 3: a caption, a line under it and, for a case, its before and after
// pictures (or placeholders).
class Tile : public QWidget {
public:
    Tile(QWidget *parent, const QString &caption, const QString &detail)
        : QWidget(parent), m_caption(caption), m_detail(detail)
    {
        setObjectName(QStringLiteral("tile"));
        setFocusPolicy(Qt::NoFocus);
        setAccessibleName(detail.isEmpty() ? caption : caption + QLatin1Char(' ') + detail);
    }
    // A case's tile: room for its two pictures, drawn as they arrive.
    void expectPictures() { m_hasPictures = true; }
    // failed: a placeholder in its place for good.
    void setPicture(bool after, const QImage &image, bool failed)
    {
        (after ? m_after : m_before) = image;
        (after ? m_afterFailed : m_beforeFailed) = failed;
        update();
    }
    void setSelected(bool selected)
    {
        m_selected = selected;
        update();
    }
    QString caption() const { return m_caption; }
    std::function<void()> onClick;
    // Runs when the tile is first painted: it has been on the screen.
    std::function<void()> onShown;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(4, 4, -4, -4);
        p.setPen(m_selected ? QPen(TileSelected, 6) : QPen(Qt::NoPen));
        p.setBrush(TileColour);
        p.drawRoundedRect(r, 10, 10);
        QFont f = font();
        const double h = r.height();
        QRectF text = r.adjusted(16, 12, -16, -12);
        if (m_hasPictures) {
            const double textHeight = std::clamp(h * 0.16, 40.0, 90.0);
            const QRectF pics(text.left(), text.top(), text.width(), text.height() - textHeight);
            const double gap = 8;
            const QRectF left(pics.left(), pics.top(), (pics.width() - gap) / 2, pics.height());
            const QRectF right(left.right() + gap, pics.top(), left.width(), pics.height());
            drawPicture(p, m_before, m_beforeFailed, left);
            drawPicture(p, m_after, m_afterFailed, right);
            text.setTop(pics.bottom() + 6);
        }
        p.setPen(TextColour);
        f.setPixelSize(int(std::clamp(h * (m_hasPictures ? 0.06 : 0.16), 14.0, 48.0)));
        p.setFont(f);
        const int flags = Qt::AlignHCenter | (m_detail.isEmpty() ? Qt::AlignVCenter : Qt::AlignBottom);
        const QRectF captionRect = m_detail.isEmpty()
                                       ? text
                                       : QRectF(text.left(), text.top(), text.width(), text.height() * 0.55);
        p.drawText(captionRect, flags | Qt::TextWordWrap, m_caption);
        if (!m_detail.isEmpty()) {
            f.setPixelSize(std::max(12, f.pixelSize() * 2 / 3));
            p.setFont(f);
            p.setPen(DimText);
            p.drawText(QRectF(text.left(), captionRect.bottom() + 4, text.width(),
                              text.bottom() - captionRect.bottom() - 4),
                       Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_detail);
        }
        if (onShown) {
            const auto shown = std::move(onShown);
            onShown = nullptr;
            shown();
        }
    }
    void mousePressEvent(QMouseEvent *) override
    {
        if (onClick)
            onClick();
    }

private:
    static void drawPicture(QPainter &p, const QImage &image, bool failed, const QRectF &box)
    {
        if (failed) {
            paintPlaceholder(p, box);
            return;
        }
        if (image.isNull()) {
            p.fillRect(box, TileColour.darker(115)); // still on its way
            return;
        }
        QSizeF s = image.size();
        s.scale(box.size(), Qt::KeepAspectRatio);
        const QRectF target(box.center().x() - s.width() / 2, box.center().y() - s.height() / 2, s.width(), s.height());
        p.drawImage(target, image);
    }

    QString m_caption, m_detail;
    QImage m_before, m_after;
    bool m_beforeFailed = false, m_afterFailed = false;
    bool m_hasPictures = false;
    bool m_selected = false;
};

} // namespace ConsultTiles
