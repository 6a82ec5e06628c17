// The command bar's eight 16 x 16 pictures: dotted arrows for first, previous, next and last,
// a folder with a magnifying glass, a monitor, a picture document and a key.
#include "browser/Unit_Main.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

static void dottedArrow(QPainter &p, bool left, bool bar)
{
    const QColor c(0, 0, 128);
    // A triangle of dots pointing left or right, with a bar at its tip for first and last.
    for (int col = 0; col < 6; ++col) {
        const int x = left ? 5 + col : 10 - col;
        for (int y = 8 - col; y <= 8 + col; y += 2)
            p.fillRect(QRect(x, y, 1, 1), c);
    }
    if (bar)
        p.fillRect(QRect(left ? 3 : 12, 3, 1, 11), c);
}

QIcon mainImage(int index)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    switch (index) {
    case 0: dottedArrow(p, true, true); break;
    case 1: dottedArrow(p, true, false); break;
    case 2: dottedArrow(p, false, false); break;
    case 3: dottedArrow(p, false, true); break;
    case 4: { // folder with a magnifying glass
        p.setPen(QColor(128, 96, 0));
        p.setBrush(QColor(255, 216, 96));
        p.drawRect(1, 5, 11, 8);
        p.drawRect(1, 3, 5, 2);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(40, 40, 40), 1.5));
        p.setBrush(QColor(200, 230, 255, 200));
        p.drawEllipse(QRectF(7.5, 6.5, 5, 5));
        p.drawLine(QPointF(12, 11), QPointF(15, 14.5));
        break;
    }
    case 5: { // monitor
        p.setPen(QColor(64, 64, 64));
        p.setBrush(QColor(192, 192, 192));
        p.drawRect(1, 1, 13, 10);
        p.fillRect(3, 3, 10, 7, QColor(0, 128, 128));
        p.fillRect(6, 12, 4, 2, QColor(128, 128, 128));
        p.fillRect(3, 14, 10, 1, QColor(64, 64, 64));
        break;
    }
    case 6: { // picture document
        p.setPen(QColor(64, 64, 64));
        p.setBrush(Qt::white);
        p.drawRect(2, 1, 11, 13);
        p.fillRect(4, 4, 7, 5, QColor(96, 160, 224));
        p.fillRect(5, 7, 3, 2, QColor(0, 128, 0));
        p.fillRect(8, 5, 2, 2, QColor(255, 224, 0));
        break;
    }
    case 7: { // key
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(128, 96, 0), 1.2));
        p.setBrush(QColor(232, 192, 64));
        p.drawEllipse(QRectF(1.5, 4.5, 6, 6));
        p.drawRect(QRectF(7, 6.8, 7.5, 1.6));
        p.drawRect(QRectF(11.5, 8.4, 1.2, 2.5));
        p.drawRect(QRectF(13.3, 8.4, 1.2, 2));
        break;
    }
    default: break;
    }
    return QIcon(pm);
}
