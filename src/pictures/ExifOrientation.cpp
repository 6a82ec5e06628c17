#include "pictures/ExifOrientation.h"

#include <QTransform>

#include <cstring>

namespace ExifOrientation {

namespace {

struct TiffReader {
    const unsigned char *data;
    std::size_t length;
    bool bigEndian;

    bool has(std::size_t offset, std::size_t count) const
    {
        return offset <= length && count <= length - offset;
    }
    unsigned u16(std::size_t at) const
    {
        return bigEndian ? unsigned(data[at]) << 8 | data[at + 1] : unsigned(data[at + 1]) << 8 | data[at];
    }
    quint32 u32(std::size_t at) const
    {
        return bigEndian ? quint32(u16(at)) << 16 | u16(at + 2) : quint32(u16(at + 2)) << 16 | u16(at);
    }
};

} // namespace

int fromApp1(const unsigned char *data, std::size_t length)
{
    static const char signature[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || length < 6 + 8 || std::memcmp(data, signature, 6) != 0)
        return 1;
    TiffReader tiff{data + 6, length - 6, false};
    if (tiff.data[0] == 'M' && tiff.data[1] == 'M')
        tiff.bigEndian = true;
    else if (!(tiff.data[0] == 'I' && tiff.data[1] == 'I'))
        return 1;
    if (tiff.u16(2) != 42)
        return 1;
    const quint32 ifd = tiff.u32(4);
    if (!tiff.has(ifd, 2))
        return 1;
    const unsigned entries = tiff.u16(ifd);
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t entry = ifd + 2 + std::size_t(i) * 12;
        if (!tiff.has(entry, 12))
            return 1;
        if (tiff.u16(entry) != 0x0112)
            continue;
        // Type SHORT, one value, held in the first two bytes of the value field.
        if (tiff.u16(entry + 2) != 3 || tiff.u32(entry + 4) < 1)
            return 1;
        const unsigned value = tiff.u16(entry + 8);
        return value >= 1 && value <= 8 ? int(value) : 1;
    }
    return 1;
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
