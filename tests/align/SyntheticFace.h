#pragma once
// A drawn frontal face for the eye detector: skin oval, hair, brows, eyes with iris and pupil,
// nose shade and mouth, softened like a photo. Where its eyes are is known exactly.

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRectF>

namespace SyntheticFace {

struct Face {
    QImage picture;
    QRectF leftEye, rightEye; // the eye openings, in picture pixels
};

inline Face draw(QSize size = QSize(1200, 1500), QPointF centre = QPointF(600, 760), double faceWidth = 560)
{
    Face f;
    f.picture = QImage(size, QImage::Format_RGB32);
    f.picture.fill(QColor(196, 204, 214));
    QPainter p(&f.picture);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = faceWidth, h = faceWidth * 1.32;
    const QRectF face(centre.x() - w / 2, centre.y() - h / 2, w, h);
    // Hair behind and above the face.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(48, 36, 30));
    p.drawEllipse(face.adjusted(-w * 0.08, -h * 0.1, w * 0.08, -h * 0.35));
    // Skin, lit from the front.
    QRadialGradient skin(face.center() - QPointF(0, h * 0.08), w * 0.7);
    skin.setColorAt(0, QColor(236, 200, 176));
    skin.setColorAt(1, QColor(190, 146, 122));
    p.setBrush(skin);
    p.drawEllipse(face);
    p.setBrush(QColor(48, 36, 30));
    p.drawChord(face.adjusted(0, 0, 0, -h * 0.7), 0, 180 * 16);
    const double eyeY = face.top() + h * 0.42, eyeDx = w * 0.2, eyeW = w * 0.2, eyeH = w * 0.09;
    for (int side = -1; side <= 1; side += 2) {
        const QPointF c(centre.x() + side * eyeDx, eyeY);
        // Brow.
        p.setPen(QPen(QColor(40, 28, 22), w * 0.05, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(c.x() - eyeW * 0.65, c.y() - eyeH * 1.6, eyeW * 1.3, eyeH * 1.6), 30 * 16, 120 * 16);
        // Eye socket shade, white, iris, pupil.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(150, 102, 86));
        p.drawEllipse(c, eyeW * 0.62, eyeH * 0.9);
        const QRectF eye(c.x() - eyeW / 2, c.y() - eyeH / 2, eyeW, eyeH);
        p.setBrush(QColor(200, 190, 185));
        p.drawEllipse(eye);
        p.setBrush(QColor(80, 56, 40));
        p.drawEllipse(c, eyeH * 0.48, eyeH * 0.48);
        p.setBrush(QColor(10, 10, 10));
        p.drawEllipse(c, eyeH * 0.22, eyeH * 0.22);
        p.setPen(QPen(QColor(20, 14, 12), w * 0.02));
        p.setBrush(Qt::NoBrush);
        p.drawArc(eye, 0, 180 * 16);
        (side < 0 ? f.leftEye : f.rightEye) = eye;
    }
    // Nose shade and nostrils.
    p.setPen(QPen(QColor(165, 118, 96), w * 0.02, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(centre.x() - w * 0.03, eyeY + h * 0.05), QPointF(centre.x() - w * 0.06, eyeY + h * 0.2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(176, 128, 106));
    p.drawEllipse(QPointF(centre.x() - w * 0.06, eyeY + h * 0.22), w * 0.03, w * 0.018);
    p.drawEllipse(QPointF(centre.x() + w * 0.06, eyeY + h * 0.22), w * 0.03, w * 0.018);
    // Mouth.
    p.setBrush(QColor(150, 60, 60));
    p.drawEllipse(QPointF(centre.x(), eyeY + h * 0.34), w * 0.15, w * 0.045);
    p.end();
    // Soften the drawn edges the way a lens does.
    const QSize s = f.picture.size();
    f.picture = f.picture.scaled(s / 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .scaled(s, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return f;
}

} // namespace SyntheticFace
