#pragma once
// JPEG decoding through libjpeg, called directly so that previews can be decoded at a reduced
// DCT scale (only the needed frequencies are computed) and so that errors read "JPEG error #%d"
// with libjpeg's message code. Every call has its own decoder and error manager: thread-safe.

#include <QImage>
#include <QSize>
#include <QString>

namespace JpegDecoder {

struct Header {
    QSize storedSize;    // as in the frame header
    int orientation = 1; // EXIF orientation, 1 when none
    QSize uprightSize() const;
};

// Reads the headers only (up to the start of the image data). Raises AppError.
Header readHeader(const QString &path);

// Decodes the picture upright. With a valid atLeast the picture is decoded at the smallest DCT
// scale n/8 (n = 1..8) whose upright result still covers atLeast in both dimensions; without
// one, or when even the full size does not cover it, at full size. Raises AppError.
QImage decode(const QString &path, QSize atLeast = QSize());

// The scale numerator (over 8) decode() uses for a picture stored at storedSize when storedNeed
// (atLeast expressed in stored orientation) has to be covered.
int scaleNumerator(QSize storedSize, QSize storedNeed);

} // namespace JpegDecoder
