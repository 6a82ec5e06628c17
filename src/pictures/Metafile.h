#pragma once
// Windows metafiles (WMF, with or without the placeable header, and EMF), played with our own
// small GDI record player onto a QImage through QPainter. Covered records:
//   WMF: window origin/extent, map mode, pens, brushes, fonts (indirect), select/delete object,
//        move/line to, polyline, polygon, polypolygon, rectangle, round rectangle, ellipse,
//        text out, extended text out, stretch DIB, DIB stretch/bit blit, save/restore DC,
//        intersect clip rectangle, text/background colours and modes, polygon fill mode.
//   EMF: header, window/viewport origin and extent, map mode, world transform (set/modify),
//        pens (plain and extended), solid/hatched/null brushes, stock objects, fonts,
//        select/delete object, move/line to, polyline(16/32), polygon(16/32), polypolygon and
//        polypolyline (16/32), polybezier (16/32, also the "to" forms), rectangle, round
//        rectangle, ellipse, paths (begin/end/close, fill, stroke, stroke and fill),
//        stretch DIB bits, extended text out (UTF-16), save/restore DC, intersect clip
//        rectangle, colours and modes, EOF.
// Other records (arcs, pies, regions, palettes, raster operations beyond copying) are skipped.

#include <QByteArray>
#include <QImage>
#include <QSize>

namespace Metafile {

// The natural size in pixels at 96 dots per inch: a WMF's placeable header bounding box (or,
// without one, its window extent), an EMF's frame. Raises AppError "Metafile is not valid", also
// for a size beyond PictureBudget::MaxPixels.
QSize naturalSize(const QByteArray &data, bool emf);

// Plays the metafile onto a transparent picture of its natural size, or scaled down to
// PictureBudget::canvasSize when that is larger than the canvas budget. Raises AppError
// "Metafile is not valid" when the data is not a metafile.
QImage render(const QByteArray &data, bool emf);

} // namespace Metafile
