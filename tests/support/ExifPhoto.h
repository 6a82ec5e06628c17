#pragma once
// JPEG files with an EXIF segment as cameras write them, for tests of readers of the date taken.
// Header only, so that the core's tests can use it too.

#include <QBuffer>
#include <QColor>
#include <QDataStream>
#include <QImage>

namespace ExifPhoto {

// The payload of an APP1 segment in either byte order: the first directory with DateTime and a
// pointer to an Exif directory holding DateTimeOriginal, each only when given.
inline QByteArray payload(bool bigEndian, const QByteArray &dateTime, const QByteArray &original)
{
    QByteArray tiff;
    QDataStream out(&tiff, QIODevice::WriteOnly);
    out.setByteOrder(bigEndian ? QDataStream::BigEndian : QDataStream::LittleEndian);
    const quint16 entries = quint16(!dateTime.isEmpty()) + quint16(!original.isEmpty());
    const quint32 exifIfd = 8 + 2 + 12 * entries + 4;
    const quint32 values = exifIfd + (original.isEmpty() ? 0 : 2 + 12 + 4);
    const quint32 originalAt = values + (dateTime.isEmpty() ? 0 : quint32(dateTime.size()) + 1);
    out.writeRawData(bigEndian ? "MM" : "II", 2);
    out << quint16(42) << quint32(8) << entries;
    if (!dateTime.isEmpty())
        out << quint16(0x0132) << quint16(2) << quint32(dateTime.size() + 1) << values;
    if (!original.isEmpty())
        out << quint16(0x8769) << quint16(4) << quint32(1) << exifIfd;
    out << quint32(0);
    if (!original.isEmpty())
        out << quint16(1) << quint16(0x9003) << quint16(2) << quint32(original.size() + 1) << originalAt << quint32(0);
    for (const QByteArray &text : {dateTime, original}) {
        if (!text.isEmpty())
            out.writeRawData(text.constData(), int(text.size()) + 1);
    }
    return QByteArray("Exif\0\0", 6) + tiff;
}

inline QByteArray segment(unsigned marker, const QByteArray &payload)
{
    const int length = int(payload.size()) + 2;
    return QByteArray() + char(0xFF) + char(marker) + char(length >> 8) + char(length & 0xFF) + payload;
}

// A real, decodable JPEG of one colour with the segments placed right after its start marker.
inline QByteArray jpeg(const QByteArray &segments, QColor colour = Qt::darkCyan, QSize size = QSize(16, 8))
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes.left(2) + segments + bytes.mid(2);
}

} // namespace ExifPhoto
