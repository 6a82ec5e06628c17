#pragma once
// The day a photo was taken, as the camera wrote it into the photo's EXIF data, and the time
// between a surgery and such a photo in words.

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QImage>
#include <QString>

#include <cstddef>
#include <optional>

namespace ExifDate {

// The date taken of the JPEG file at `path`: DateTimeOriginal of the Exif directory, else
// DateTime of the first directory; nothing when the file has neither, cannot be read, or holds
// no valid date. Reads only the segments at the file's start, at most a bounded number of bytes.
std::optional<QDate> dateTaken(const QString &path);

// The same from the payload of one APP1 segment (the bytes after its length field).
std::optional<QDate> fromApp1(const unsigned char *data, std::size_t length);

// "术后 12 天", "术后 3 个月", "术后 1 年", "术后 1 年 2 个月"; empty when a date is missing or
// the photo was taken before the surgery.
QString afterSurgeryText(const QDate &surgery, const QDate &taken);

// A picture as a JPEG file whose EXIF data gives the moment it was taken (DateTime and
// DateTimeOriginal), as a camera writes it: for shots the program takes itself. False with the
// reason when the file could not be written whole; no partial file is left behind.
bool writeJpeg(const QString &path, const QImage &image, const QDateTime &taken, int quality, QString *whyNot);

} // namespace ExifDate
