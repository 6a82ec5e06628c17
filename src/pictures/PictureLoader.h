#pragma once
// Loading of case pictures. The kind is chosen by the file extension, without regard to case:
// "jpg"/"jpeg" (libjpeg), "bmp", "ico", "wmf", "emf". Any other extension fails with
// "Unknown picture file extension (.%s)"; a damaged file fails with the decoder's text
// ("JPEG error #%d", "Bitmap image is not valid", "Icon image is not valid",
// "Metafile is not valid"). Failures are raised as AppError. All functions are pure and may run
// on any thread (metafiles that draw text need the QGuiApplication to exist, for its fonts).
// Pictures are returned upright (JPEG EXIF orientation applied).

#include <QImage>
#include <QSize>
#include <QString>

namespace PictureLoader {

enum class Kind { Jpeg, Bitmap, Icon, Wmf, Emf };

struct PictureInfo {
    Kind kind = Kind::Jpeg;
    QSize naturalSize; // upright; metafiles: their frame at 96 dots per inch
};

// The kind for a path's extension; raises "Unknown picture file extension (.%s)".
Kind kindOf(const QString &path);

// Reads only what is needed to know the natural size.
PictureInfo readInfo(const QString &path);
QSize readNaturalSize(const QString &path);

// The whole picture at its natural size. Metafiles are rendered on a transparent background.
QImage loadPicture(const QString &path);

// A picture for showing at (at most) about atLeast: JPEGs are decoded at the smallest DCT scale
// whose result covers atLeast in both dimensions (never above natural size), so the caller
// scales down only a little; other kinds are loaded whole. Pass the size the picture will be
// drawn at (PictureGeometry::fitPicture), not the natural size. An invalid atLeast (QSize())
// asks for the natural size.
QImage loadPreview(const QString &path, const QSize &atLeast);

} // namespace PictureLoader
