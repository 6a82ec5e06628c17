#include "pictures/ExifOrientation.h"

#include "pictures/ExifTiff.h"

#include <QTransform>

namespace ExifOrientation {

int fromApp1(const unsigned char *data, std::size_t length)
{
    ExifTiff::Reader tiff;
    quint32 ifd = 0;
    if (!ExifTiff::open(data, length, tiff, ifd))
        return 1;
    const std::size_t entry = tiff.findEntry(ifd, 0x0112);
    if (!entry)
        return 1;
    // Type SHORT, one value, held in the first two bytes of the value field.
    if (tiff.u16(entry + 2) != 3 || tiff.u32(entry + 4) < 1)
        return 1;
    const unsigned value = tiff.u16(entry + 8);
    return value >= 1 && value <= 8 ? int(value) : 1;
}

bool swapsAxes(int orientation)
{
    return orientation >= 5 && orientation <= 8;
}

QSize uprightSize(QSize stored, int orientation)
{
    return swapsAxes(orientation) ? stored.transposed() : stored;
}

QImage toUpright(const QImage &stored, int orientation)
{
    // Qt's y axis points down, so rotate(90) turns the picture clockwise.
    switch (orientation) {
    case 2: return stored.mirrored(true, false);
    case 3: return stored.transformed(QTransform().rotate(180));
    case 4: return stored.mirrored(false, true);
    case 5: return stored.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6: return stored.transformed(QTransform().rotate(90));
    case 7: return stored.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8: return stored.transformed(QTransform().rotate(270));
    default: return stored;
    }
}

} // namespace ExifOrientation
