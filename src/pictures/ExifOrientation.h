#pragma once
// EXIF orientation: cameras store a turned photo as it came off the sensor and note in the APP1
// "Exif" segment how it has to be turned to stand upright (values 1 to 8 of tag 0x0112).

#include <QImage>
#include <QSize>

#include <cstddef>

namespace ExifOrientation {

// The orientation recorded in the payload of an APP1 segment (the bytes after its length field,
// beginning with "Exif\0\0"). 1 (as stored) when the segment holds none or is malformed.
int fromApp1(const unsigned char *data, std::size_t length);

// Whether the orientation swaps width and height (5 to 8).
bool swapsAxes(int orientation);

// The upright size of a picture stored at `stored` size.
QSize uprightSize(QSize stored, int orientation);

// Turns and flips a picture as stored into its upright form.
QImage toUpright(const QImage &stored, int orientation);

} // namespace ExifOrientation
