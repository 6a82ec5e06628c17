// Pictures of every kind through the loader, as the picture frames and the large-picture window
// read them. The first byte chooses the kind (and how large a preview is asked for); the rest is
// the file. For JPEG files the date taken is read as well.

#include "FuzzSupport.h"

#include "data/AppError.h"
#include "pictures/ExifDate.h"
#include "pictures/PictureBudget.h"
#include "pictures/PictureLoader.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>

namespace {

const char *const Names[] = {"in.jpg", "in.bmp", "in.ico", "in.wmf", "in.emf"};

void checkImage(const QImage &image, const char *what)
{
    if (image.isNull())
        FuzzSupport::fail(what, QStringLiteral("returned a null picture instead of an error"));
    if (qint64(image.width()) * image.height() > PictureBudget::MaxPixels)
        FuzzSupport::fail(what, QStringLiteral("returned a picture beyond the budget"));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Metafiles that draw text need the application's fonts.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned choice = data[0];
    const QByteArray file(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QString path = FuzzSupport::writeInput(QString::fromLatin1(Names[choice % 5]), file);

    QSize natural;
    try {
        natural = PictureLoader::readNaturalSize(path);
        if (!natural.isValid() || natural.isEmpty())
            FuzzSupport::fail("readNaturalSize", QStringLiteral("gave an empty size instead of an error"));
    } catch (const AppError &) {
    }
    // A preview the size of a picture frame, or one at natural size as the large-picture window
    // asks for it.
    const QSize frame = (choice / 5) % 2 ? QSize() : QSize(1 + int(choice % 97), 1 + int(choice % 61));
    try {
        checkImage(PictureLoader::loadPreview(path, frame), "loadPreview");
    } catch (const AppError &) {
    }
    // The date taken read from the same file: nothing, or a real calendar date.
    if (choice % 5 == 0) {
        const std::optional<QDate> taken = ExifDate::dateTaken(path);
        if (taken && !taken->isValid())
            FuzzSupport::fail("dateTaken", QStringLiteral("gave an invalid date"));
    }
    return 0;
}
