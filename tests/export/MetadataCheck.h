#pragma once
// Reads what a JPEG or PNG file carries besides its pixels: the names of its JPEG marker
// segments before the image data, or of its PNG chunks.

#include <QByteArray>
#include <QFile>
#include <QStringList>

namespace MetadataCheck {

inline QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// "APP0:JFIF", "APP1:Exif", "COM", "DQT", ... up to the first SOS.
inline QStringList jpegSegments(const QByteArray &b)
{
    QStringList out;
    if (b.size() < 4 || uchar(b[0]) != 0xFF || uchar(b[1]) != 0xD8)
        return {QStringLiteral("not a JPEG")};
    int i = 2;
    while (i + 4 <= b.size()) {
        if (uchar(b[i]) != 0xFF)
            return out << QStringLiteral("garbage");
        const int marker = uchar(b[i + 1]);
        const int len = (uchar(b[i + 2]) << 8) | uchar(b[i + 3]);
        QString name;
        if (marker >= 0xE0 && marker <= 0xEF) {
            name = QStringLiteral("APP%1:").arg(marker - 0xE0)
                   + QString::fromLatin1(b.mid(i + 4, 4).replace('\0', ' ')).trimmed();
        } else if (marker == 0xFE) {
            name = QStringLiteral("COM");
        } else if (marker == 0xDA) {
            out << QStringLiteral("SOS");
            return out;
        } else {
            name = QStringLiteral("0x%1").arg(marker, 2, 16, QLatin1Char('0'));
        }
        out << name;
        i += 2 + len;
    }
    return out;
}

inline QStringList pngChunks(const QByteArray &b)
{
    QStringList out;
    if (!b.startsWith("\x89PNG\r\n\x1a\n"))
        return {QStringLiteral("not a PNG")};
    int i = 8;
    while (i + 8 <= b.size()) {
        const quint32 len = (quint32(uchar(b[i])) << 24) | (uchar(b[i + 1]) << 16) | (uchar(b[i + 2]) << 8)
                            | uchar(b[i + 3]);
        out << QString::fromLatin1(b.mid(i + 4, 4));
        i += 12 + int(len);
    }
    return out;
}

// A JPEG of `image` with an EXIF block (camera make, a GPS position) and a comment put in
// after its start marker, as a camera or phone writes them.
inline QByteArray withExifAndGps(const QByteArray &plainJpeg)
{
    // Little-endian TIFF: IFD0 with Make and a GPS IFD pointer; the GPS IFD with latitude.
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    auto u16 = [](QByteArray &a, int v) { a.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
    auto u32 = [&](QByteArray &a, quint32 v) {
        u16(a, int(v & 0xFFFF));
        u16(a, int(v >> 16));
    };
    // IFD0 at 8: 2 entries (12 bytes each) + next IFD 0 = 2 + 24 + 4 = 30 -> data at 38.
    u16(tiff, 2);
    u16(tiff, 0x010F);
    u16(tiff, 2);
    u32(tiff, 8);
    u32(tiff, 38); // Make, ASCII, 8, offset
    u16(tiff, 0x8825);
    u16(tiff, 4);
    u32(tiff, 1);
    u32(tiff, 46); // GPS IFD pointer
    u32(tiff, 0);
    tiff.append("CamMake\0", 8); // at 38
    // GPS IFD at 46: LatitudeRef 'N', Latitude 3 rationals at 46+2+24+4 = 76.
    u16(tiff, 2);
    u16(tiff, 0x0001);
    u16(tiff, 2);
    u32(tiff, 2);
    tiff.append("N\0\0\0", 4);
    u16(tiff, 0x0002);
    u16(tiff, 5);
    u32(tiff, 3);
    u32(tiff, 76);
    u32(tiff, 0);
    for (quint32 v : {31u, 1u, 14u, 1u, 0u, 1u})
        u32(tiff, v);
    QByteArray app1("Exif\0\0", 6);
    app1 += tiff;
    QByteArray seg("\xFF\xE1", 2);
    u16(seg, 0); // placeholder
    seg[2] = char(((app1.size() + 2) >> 8) & 0xFF);
    seg[3] = char((app1.size() + 2) & 0xFF);
    seg += app1;
    const QByteArray comment("customer A1200612070001");
    QByteArray com("\xFF\xFE", 2);
    com.append(char(((comment.size() + 2) >> 8) & 0xFF)).append(char((comment.size() + 2) & 0xFF)).append(comment);
    return plainJpeg.left(2) + seg + com + plainJpeg.mid(2);
}

} // namespace MetadataCheck
