#include "widgets/ProgramIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

static QPixmap canvas()
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    return pm;
}

QPixmap programIcon()
{
    return programIcon(32);
}

QPixmap programIcon(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0); // drawn on a 32 x 32 grid

    QRadialGradient badge(QPointF(12, 10), 22);
    badge.setColorAt(0, QColor(214, 92, 146));
    badge.setColorAt(1, QColor(128, 24, 80));
    p.setPen(QPen(QColor(96, 16, 60), 1));
    p.setBrush(badge);
    p.drawEllipse(QRectF(1.5, 1.5, 29, 29));

    // Five petals around the centre.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 236, 244));
    for (int i = 0; i < 5; ++i) {
        p.save();
        p.translate(16, 16);
        p.rotate(i * 72.0);
        p.drawEllipse(QRectF(-4, -12, 8, 10));
        p.restore();
    }
    p.setBrush(QColor(246, 196, 64));
    p.drawEllipse(QRectF(12.5, 12.5, 7, 7));
    return pm;
}

QPixmap loginIcon()
{
    QPixmap pm = canvas();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    // The padlock behind.
    p.setPen(QPen(QColor(90, 90, 100), 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(13, 3, 14, 16), 0, 180 * 16);
    p.drawLine(QPointF(13, 11), QPointF(13, 14));
    p.drawLine(QPointF(27, 11), QPointF(27, 14));
    p.setPen(QPen(QColor(60, 60, 70), 1));
    p.setBrush(QColor(120, 130, 150));
    p.drawRoundedRect(QRectF(10, 13, 20, 16), 2, 2);
    p.setBrush(QColor(30, 30, 40));
    p.drawEllipse(QRectF(18, 18, 4, 4));
    p.drawRect(QRectF(19.25, 21, 1.5, 4));

    // The key in front.
    const QColor gold(226, 176, 40), edge(140, 100, 10);
    p.setPen(QPen(edge, 1));
    p.setBrush(gold);
    p.drawEllipse(QRectF(1, 15, 11, 11));
    QPainterPath shaft;
    shaft.addRect(QRectF(10, 19, 14, 3));
    shaft.addRect(QRectF(19, 22, 2.5, 4));
    shaft.addRect(QRectF(22.5, 22, 2, 3));
    p.drawPath(shaft.simplified());
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(4, 18.5, 4, 4));
    return pm;
}
