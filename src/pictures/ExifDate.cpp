#include "pictures/ExifDate.h"

#include "pictures/ExifTiff.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>

namespace ExifDate {

namespace {

// An APP1 segment is at most 64 KiB; the Exif one comes first or after an APP0 or two.
constexpr qint64 MaxHeadBytes = 256 * 1024;
constexpr int MaxSegments = 32;

constexpr unsigned TagDateTime = 0x0132;
constexpr unsigned TagExifPointer = 0x8769;
constexpr unsigned TagDateTimeOriginal = 0x9003;

// "YYYY:MM:DD HH:MM:SS" of an ASCII entry; cameras without a clock write blanks or zeros.
std::optional<QDate> dateOfEntry(const ExifTiff::Reader &tiff, std::size_t entry)
{
    if (!entry || tiff.u16(entry + 2) != 2)
        return std::nullopt;
    const quint32 count = tiff.u32(entry + 4);
    if (count < 10)
        return std::nullopt;
    // Longer than four bytes, so the value lies at the offset the entry names.
    const quint32 at = tiff.u32(entry + 8);
    if (!tiff.has(at, 10))
        return std::nullopt;
    const QByteArray text(reinterpret_cast<const char *>(tiff.data + at), 10);
    if (text[4] != ':' || text[7] != ':')
        return std::nullopt;
    bool okY = false, okM = false, okD = false;
    const int y = text.mid(0, 4).toInt(&okY);
    const int m = text.mid(5, 2).toInt(&okM);
    const int d = text.mid(8, 2).toInt(&okD);
    if (!okY || !okM || !okD || y < 1900)
        return std::nullopt;
    const QDate date(y, m, d);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

} // namespace

std::optional<QDate> fromApp1(const unsigned char *data, std::size_t length)
{
    ExifTiff::Reader tiff;
    quint32 ifd0 = 0;
    if (!ExifTiff::open(data, length, tiff, ifd0))
        return std::nullopt;
    const std::size_t pointer = tiff.findEntry(ifd0, TagExifPointer);
    if (pointer && tiff.u16(pointer + 2) == 4) {
        const quint32 exifIfd = tiff.u32(pointer + 8);
        if (exifIfd != ifd0) {
            if (auto date = dateOfEntry(tiff, tiff.findEntry(exifIfd, TagDateTimeOriginal)))
                return date;
        }
    }
    return dateOfEntry(tiff, tiff.findEntry(ifd0, TagDateTime));
}

std::optional<QDate> dateTaken(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(MaxHeadBytes);
    const auto *bytes = reinterpret_cast<const unsigned char *>(head.constData());
    const std::size_t size = std::size_t(head.size());
    if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return std::nullopt;
    std::size_t at = 2;
    for (int segment = 0; segment < MaxSegments && at + 4 <= size; ++segment) {
        if (bytes[at] != 0xFF)
            return std::nullopt;
        const unsigned marker = bytes[at + 1];
        if (marker == 0xFF) { // fill byte before a marker
            ++at;
            continue;
        }
        // Start of scan or end of image: no metadata segments follow.
        if (marker == 0xDA || marker == 0xD9)
            return std::nullopt;
        const std::size_t length = std::size_t(bytes[at + 2]) << 8 | bytes[at + 3];
        if (length < 2 || at + 2 + length > size)
            return std::nullopt;
        if (marker == 0xE1) {
            if (auto date = fromApp1(bytes + at + 4, length - 2))
                return date;
        }
        at += 2 + length;
    }
    return std::nullopt;
}

QString afterSurgeryText(const QDate &surgery, const QDate &taken)
{
    if (!surgery.isValid() || !taken.isValid() || taken < surgery)
        return {};
    // Whole months: the most months that, added to the surgery date, do not pass the photo's
    // date (31 January plus one month is the last day of February).
    int months = (taken.year() - surgery.year()) * 12 + taken.month() - surgery.month();
    while (months > 0 && surgery.addMonths(months) > taken)
        --months;
    if (months == 0)
        return QStringLiteral("术后 %1 天").arg(surgery.daysTo(taken));
    if (months < 12)
        return QStringLiteral("术后 %1 个月").arg(months);
    if (months % 12 == 0)
        return QStringLiteral("术后 %1 年").arg(months / 12);
    return QStringLiteral("术后 %1 年 %2 个月").arg(months / 12).arg(months % 12);
}

} // namespace ExifDate

namespace ExifDate {

namespace {
void put16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v >> 8);
    b[at + 1] = char(v & 0xFF);
}

void put32(QByteArray &b, int at, quint32 v)
{
    put16(b, at, quint16(v >> 16));
    put16(b, at + 2, quint16(v & 0xFFFF));
}

void putEntry(QByteArray &b, int at, quint16 tag, quint16 type, quint32 count, quint32 value)
{
    put16(b, at, tag);
    put16(b, at + 2, type);
    put32(b, at + 4, count);
    put32(b, at + 8, value);
}

// The APP1 segment, big-endian TIFF: the first directory names DateTime and points at the Exif
// directory, which names DateTimeOriginal; both texts follow the directories.
QByteArray app1Of(const QDateTime &taken)
{
    const QByteArray text = taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toLatin1() + '\0';
    constexpr int Ifd0 = 8, ExifIfd = 38, Text1 = 56, Text2 = 76, TiffSize = 96;
    QByteArray tiff(TiffSize, '\0');
    tiff[0] = 'M';
    tiff[1] = 'M';
    put16(tiff, 2, 42);
    put32(tiff, 4, Ifd0);
    put16(tiff, Ifd0, 2);
    putEntry(tiff, Ifd0 + 2, TagDateTime, 2, 20, Text1);
    putEntry(tiff, Ifd0 + 14, TagExifPointer, 4, 1, ExifIfd);
    put16(tiff, ExifIfd, 1);
    putEntry(tiff, ExifIfd + 2, TagDateTimeOriginal, 2, 20, Text2);
    tiff.replace(Text1, 20, text.left(20));
    tiff.replace(Text2, 20, text.left(20));
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment(4, '\0');
    segment[0] = char(0xFF);
    segment[1] = char(0xE1);
    put16(segment, 2, quint16(payload.size() + 2));
    return segment + payload;
}
} // namespace

bool writeJpeg(const QString &path, const QImage &image, const QDateTime &taken, int quality, QString *whyNot)
{
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(quality);
        if (!writer.write(image) || jpeg.size() < 2) {
            if (whyNot)
                *whyNot = QStringLiteral("照片未能编码：%1").arg(writer.errorString());
            return false;
        }
    }
    // Right after the start-of-image marker, where cameras put it.
    jpeg.insert(2, app1Of(taken));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(jpeg) != jpeg.size() || !out.flush()) {
        if (whyNot)
            *whyNot = QStringLiteral("照片未能写入临时文件夹：%1").arg(out.errorString());
        out.close();
        QFile::remove(path);
        return false;
    }
    out.close();
    return true;
}

} // namespace ExifDate
