#pragma once
// JPEG writing for the demo pictures, straight through libjpeg: camera-like files with an EXIF
// orientation tag, and cheap variants of one picture that differ only in a small rectangle.

#include <QByteArray>
#include <QImage>
#include <QRect>

#include <memory>

namespace DemoJpeg {

constexpr int Quality = 85;

// The APP1 payload ("Exif\0\0" and a little-endian TIFF block) whose first directory holds only
// the orientation tag (1 upright, 6 turn clockwise to view, 8 turn anticlockwise to view).
QByteArray exifSegment(int orientation);

// Encodes an image (any format; RGB32 is taken without conversion) as baseline JPEG with 2x2
// chroma subsampling. exifOrientation 0 writes a JFIF header and no EXIF block, 1..8 writes an
// EXIF block with that orientation instead. Throws std::runtime_error with libjpeg's message.
QByteArray encode(const QImage &image, int exifOrientation, int quality = Quality);

// A JPEG held as DCT coefficients. A rectangle of whole MCUs can be replaced by the coefficients
// of a separately encoded patch, and the result written out again without decoding or encoding
// the rest of the picture: a labelled copy of a 12-megapixel picture costs an entropy pass only.
class CoefficientImage {
public:
    explicit CoefficientImage(const QByteArray &jpeg);
    ~CoefficientImage();
    CoefficientImage(const CoefficientImage &) = delete;
    CoefficientImage &operator=(const CoefficientImage &) = delete;

    QSize size() const;
    // Side of one MCU in pixels (16 for 2x2 subsampling).
    int mcuSize() const;
    // The smallest rectangle of whole MCUs around r, clipped to the picture.
    QRect mcuAligned(const QRect &r) const;

    // Replaces the blocks under the patch, which must have been made by encode() with the same
    // quality from pixels whose size is the patch's and whose top-left lies on an MCU corner.
    void paste(const QByteArray &patchJpeg, const QPoint &topLeft);

    // The current coefficients as a JPEG file, with the given EXIF orientation (0: none).
    QByteArray write(int exifOrientation) const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace DemoJpeg
