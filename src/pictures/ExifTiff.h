#pragma once
// Reading the TIFF structure inside an APP1 "Exif" segment: header, byte order and directory
// entries, every read checked against the segment's length. Shared by the readers of single
// EXIF fields (orientation, dates).

#include <QtGlobal>

#include <cstddef>
#include <cstring>

namespace ExifTiff {

struct Reader {
    const unsigned char *data = nullptr;
    std::size_t length = 0;
    bool bigEndian = false;

    bool has(std::size_t offset, std::size_t count) const { return offset <= length && count <= length - offset; }
    unsigned u16(std::size_t at) const
    {
        return bigEndian ? unsigned(data[at]) << 8 | data[at + 1] : unsigned(data[at + 1]) << 8 | data[at];
    }
    quint32 u32(std::size_t at) const
    {
        return bigEndian ? quint32(u16(at)) << 16 | u16(at + 2) : quint32(u16(at + 2)) << 16 | u16(at);
    }

    // Where the entry for `tag` of the directory at `ifd` begins, or 0 when the directory
    // holds none or runs past the end (no entry can begin at 0: the header is there).
    std::size_t findEntry(std::size_t ifd, unsigned tag) const
    {
        if (!has(ifd, 2))
            return 0;
        const unsigned entries = u16(ifd);
        for (unsigned i = 0; i < entries; ++i) {
            const std::size_t entry = ifd + 2 + std::size_t(i) * 12;
            if (!has(entry, 12))
                return 0;
            if (u16(entry) == tag)
                return entry;
        }
        return 0;
    }
};

// The TIFF reader over the payload of an APP1 segment (the bytes after its length field), with
// the offset of the first directory in `ifd0`; false when the payload is not a valid Exif header.
inline bool open(const unsigned char *data, std::size_t length, Reader &reader, quint32 &ifd0)
{
    static const char signature[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || length < 6 + 8 || std::memcmp(data, signature, 6) != 0)
        return false;
    reader = Reader{data + 6, length - 6, false};
    if (reader.data[0] == 'M' && reader.data[1] == 'M')
        reader.bigEndian = true;
    else if (!(reader.data[0] == 'I' && reader.data[1] == 'I'))
        return false;
    if (reader.u16(2) != 42)
        return false;
    ifd0 = reader.u32(4);
    return true;
}

} // namespace ExifTiff
