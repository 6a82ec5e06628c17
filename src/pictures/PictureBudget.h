#pragma once
// How large a picture may be. A file of a few bytes can claim any size in its header; every
// reader checks the claimed pixel count here before it allocates anything for the picture, so
// no file can make the program take gigabytes or spend seconds filling a canvas.
//
// The budget holds a 48 MP camera photo (8000 x 6000) at its natural size with room to spare.
// Bitmaps, icons and JPEGs above it are refused with their usual "not valid" text. Metafiles
// are drawings: up to the budget they are accepted, and their canvas is kept smaller still
// (drawn scaled down when the frame is larger), since every record may paint the whole canvas.

#include <QSize>
#include <QtGlobal>

namespace PictureBudget {

// 8192 x 8192 pixels: 256 MB at four bytes a pixel.
constexpr qint64 MaxPixels = qint64(8192) * 8192;

// The largest metafile canvas: 4096 x 4096 pixels (64 MB).
constexpr qint64 MaxCanvasPixels = qint64(4096) * 4096;

// Qt's own limit on one image allocation, in MB, matching MaxPixels at four bytes a pixel.
constexpr int QtAllocationLimitMB = int(MaxPixels * 4 / (1024 * 1024));

// Whether a picture of width x height (as read from a header, any values) is within the budget.
inline bool fits(qint64 width, qint64 height)
{
    return width > 0 && height > 0 && width <= MaxPixels && height <= MaxPixels && width * height <= MaxPixels;
}
inline bool fits(QSize size)
{
    return fits(size.width(), size.height());
}

// The size a canvas for a picture of natural size gets: the natural size when it is within
// MaxCanvasPixels, otherwise scaled down (keeping the proportions) to fit it.
QSize canvasSize(QSize natural);

// Sets Qt's image allocation limit to the budget. Called by every reader that goes through Qt
// (cheap; only the first call does anything).
void applyQtLimit();

} // namespace PictureBudget
