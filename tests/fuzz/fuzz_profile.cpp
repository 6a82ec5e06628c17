// The settings file reader and writer on any file content: reading never fails, and a value
// written reads back as written while the rest of the file is kept.

#include "FuzzSupport.h"

#include "data/AppError.h"
#include "data/ProfileFile.h"

#include <QFile>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = FuzzSupport::writeInput(QStringLiteral("Belcara.ini"), bytes);
    const ProfileFile profile(path);

    // The program's own keys, and a section and key named by the content itself.
    (void)profile.readBool(QStringLiteral("KZ"), QStringLiteral("Open"), false);
    const QString hospital = profile.readString(QStringLiteral("KZ"), QStringLiteral("NO"), QStringLiteral("A1"));
    if (hospital.size() > ProfileFile::MaxValueLength)
        FuzzSupport::fail("readString", QStringLiteral("returned more than the longest value"));
    qint32 number = 0;
    (void)ProfileFile::parseInteger(QString::fromUtf8(bytes.left(40)), &number);

    const QString value = QString::fromUtf8(bytes.left(24)).remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    try {
        profile.writeString(QStringLiteral("KZ"), QStringLiteral("NO"), value);
    } catch (const AppError &) {
        return 0; // a value the format cannot hold; the file is left as it was
    }
    const QString back = profile.readString(QStringLiteral("KZ"), QStringLiteral("NO"), QStringLiteral("<missing>"));
    // Printable ASCII reads back exactly in either encoding of the file, blanks at the ends and
    // quotes included.
    bool printable = true;
    for (QChar c : value)
        printable = printable && c.unicode() >= 0x20 && c.unicode() < 0x7F;
    if (printable && back != value)
        FuzzSupport::fail("writeString", QStringLiteral("wrote \"%1\" but reads \"%2\"").arg(value, back));
    return 0;
}
