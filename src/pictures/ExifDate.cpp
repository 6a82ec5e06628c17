#include "pictures/ExifDate.h"

#include "pictures/ExifTiff.h"

#include <QFile>

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
