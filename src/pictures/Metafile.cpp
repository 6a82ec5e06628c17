#include "pictures/Metafile.h"

#include "data/AppError.h"
#include "pictures/GdiCanvas.h"
#include "pictures/PictureBudget.h"

namespace Metafile {

namespace {

Bytes bytesOf(const QByteArray &data)
{
    return Bytes{reinterpret_cast<const unsigned char *>(data.constData()), std::size_t(data.size())};
}

} // namespace

QSize naturalSize(const QByteArray &data, bool emf)
{
    const QSize size = emf ? emfNaturalSize(bytesOf(data)) : wmfNaturalSize(bytesOf(data));
    if (!PictureBudget::fits(size))
        throw AppError(QStringLiteral("Metafile is not valid"));
    return size;
}

QImage render(const QByteArray &data, bool emf)
{
    const QSize size = PictureBudget::canvasSize(naturalSize(data, emf));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        throw AppError(QStringLiteral("Out of memory"));
    image.fill(Qt::transparent);
    if (emf)
        playEmf(bytesOf(data), &image);
    else
        playWmf(bytesOf(data), &image);
    return image;
}

} // namespace Metafile
