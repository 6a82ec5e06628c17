#pragma once
// The demo's synthetic photographs: a small pool of before/after pictures drawn with QPainter
// (a stylised portrait on a gradient, the words 手术前/手术后 and a caption band), some of them
// stored sideways with an EXIF orientation as a camera held upright writes them, and cheap
// per-case copies whose caption band names the case. As in a clinic, a subject's before and
// after photos come from different cameras: other sizes and shapes, the face larger or smaller,
// off centre and slightly turned.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QString>

#include <memory>

namespace DemoJpeg {
class CoefficientImage;
}

namespace DemoPictures {

// How the camera framed the subject: the scene (the portrait and the discs behind it) enlarged
// by `scale` around the picture's centre, turned by tiltDegrees (clockwise on screen) and moved
// by `shift`, in shares of the picture's width and height. The labels and the caption band stay
// where they are, as a camera prints them. The default frames the subject upright and centred.
struct Framing {
    double scale = 1.0;
    double tiltDegrees = 0.0;
    QPointF shift;
};

// One picture of the pool. The pool holds a before and an after picture of each subject.
struct PoolPicture {
    int subject = 0;
    bool after = false;
    int orientation = 0; // EXIF orientation written: 0 none, 1 upright, 6 or 8 stored sideways
    QString fileName;    // name inside the pool folder
    QSize storedSize;    // as stored (before any turn); empty: the size the pool is made at
    Framing framing;
    bool wallpaper = false; // a patterned wall behind the subject, framed with it (the pool's)
};

constexpr int SubjectCount = 8;

// The pool: SubjectCount subjects, before then after; two subjects are portraits stored sideways
// (one with orientation 6, one with 8). Most before pictures are stored at storedSize; the
// others, and every after picture, at sizes of other cameras, from 900 x 1200 up to storedSize,
// the after pictures framed otherwise than the before ones (2 to 6 degrees turned).
QList<PoolPicture> poolLayout(const QSize &storedSize = QSize(4000, 3000));

// The size of the picture as shown upright.
QSize uprightSize(const QSize &storedSize, int orientation);

// Turns an upright picture into the pixels stored under the orientation, and back.
QImage toStored(const QImage &upright, int orientation);
QImage toUpright(const QImage &stored, int orientation);

// A rectangle of the upright picture expressed in stored pixels, and back.
QRect uprightToStored(const QRect &r, const QSize &storedSize, int orientation);
QRect storedToUpright(const QRect &r, const QSize &storedSize, int orientation);

// The caption band at the bottom of an upright picture of the given size.
QRect captionBand(const QSize &uprightSize);

// Draws the whole upright picture with the given caption.
QImage drawUpright(const PoolPicture &picture, const QSize &uprightSize, const QString &caption);

// Draws the caption band (opaque, so it hides any earlier caption) with its text.
void drawCaption(QImage &upright, const QRect &band, const QString &caption);

// The caption of a pool picture ("演示图片 · 样例 3").
QString poolCaption(const PoolPicture &picture);

// One pool picture, encoded, with the means to make copies that differ only in their caption.
class PoolImage {
public:
    // defaultSize is used when the picture names no size of its own.
    PoolImage(const PoolPicture &picture, const QSize &defaultSize);
    ~PoolImage();
    PoolImage(const PoolImage &) = delete;
    PoolImage &operator=(const PoolImage &) = delete;

    const QByteArray &jpeg() const { return m_jpeg; }
    // The pool picture with another caption: only the caption band's blocks are encoded anew.
    QByteArray withCaption(const QString &caption);

private:
    PoolPicture m_picture;
    QImage m_stored; // stored pixels, for the patches
    QRect m_patch;   // caption band in stored pixels, on whole MCUs
    QByteArray m_jpeg;
    std::unique_ptr<DemoJpeg::CoefficientImage> m_coefficients;
};

} // namespace DemoPictures
