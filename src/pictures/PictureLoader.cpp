#include "pictures/PictureLoader.h"

#include "data/AppError.h"
#include "pictures/JpegDecoder.h"
#include "pictures/Metafile.h"
#include "pictures/PictureBudget.h"

#include <QDir>
#include <QFile>
#include <QImageReader>

namespace PictureLoader {

namespace {

QString invalidText(Kind kind)
{
    switch (kind) {
    case Kind::Bitmap: return QStringLiteral("Bitmap image is not valid");
    case Kind::Icon: return QStringLiteral("Icon image is not valid");
    default: return QStringLiteral("Metafile is not valid");
    }
}

QByteArray readWholeFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), f.errorString()));
    return f.readAll();
}

void checkReadable(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(path), f.errorString()));
}

// Bitmaps and icons through Qt's readers, held to the one format the extension names: a PNG
// renamed to .bmp is not a valid bitmap.
QImageReader *prepareReader(QImageReader &reader, Kind kind)
{
    reader.setFormat(kind == Kind::Bitmap ? "bmp" : "ico");
    reader.setAutoDetectImageFormat(false);
    PictureBudget::applyQtLimit();
    return &reader;
}

QSize rasterSize(const QString &path, Kind kind)
{
    checkReadable(path);
    QImageReader reader(path);
    prepareReader(reader, kind);
    if (!reader.canRead())
        throw AppError(invalidText(kind));
    const QSize size = reader.size();
    if (!size.isValid() || !PictureBudget::fits(size))
        throw AppError(invalidText(kind));
    return size;
}

QImage rasterImage(const QString &path, Kind kind)
{
    checkReadable(path);
    QImageReader reader(path);
    prepareReader(reader, kind);
    // The size the header claims is checked before the reader allocates the picture.
    if (!reader.canRead() || !PictureBudget::fits(reader.size()))
        throw AppError(invalidText(kind));
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw AppError(invalidText(kind));
    return image;
}

} // namespace

Kind kindOf(const QString &path)
{
    const QString name = path.mid(std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')))
                                  + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString ext = dot < 0 ? QString() : name.mid(dot + 1);
    const QString lower = ext.toLower();
    if (lower == QLatin1String("jpg") || lower == QLatin1String("jpeg"))
        return Kind::Jpeg;
    if (lower == QLatin1String("bmp"))
        return Kind::Bitmap;
    if (lower == QLatin1String("ico"))
        return Kind::Icon;
    if (lower == QLatin1String("wmf"))
        return Kind::Wmf;
    if (lower == QLatin1String("emf"))
        return Kind::Emf;
    throw AppError(QStringLiteral("Unknown picture file extension (.%1)").arg(ext));
}

PictureInfo readInfo(const QString &path)
{
    PictureInfo info;
    info.kind = kindOf(path);
    switch (info.kind) {
    case Kind::Jpeg: info.naturalSize = JpegDecoder::readHeader(path).uprightSize(); break;
    case Kind::Bitmap:
    case Kind::Icon: info.naturalSize = rasterSize(path, info.kind); break;
    case Kind::Wmf:
    case Kind::Emf: info.naturalSize = Metafile::naturalSize(readWholeFile(path), info.kind == Kind::Emf); break;
    }
    return info;
}

QSize readNaturalSize(const QString &path)
{
    return readInfo(path).naturalSize;
}

QImage loadPicture(const QString &path)
{
    const Kind kind = kindOf(path);
    switch (kind) {
    case Kind::Jpeg: return JpegDecoder::decode(path);
    case Kind::Bitmap:
    case Kind::Icon: return rasterImage(path, kind);
    case Kind::Wmf:
    case Kind::Emf: return Metafile::render(readWholeFile(path), kind == Kind::Emf);
    }
    return QImage();
}

QImage loadPreview(const QString &path, const QSize &atLeast)
{
    if (kindOf(path) == Kind::Jpeg)
        return JpegDecoder::decode(path, atLeast);
    return loadPicture(path);
}

} // namespace PictureLoader
