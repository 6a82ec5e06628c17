#pragma once
// Finding the eyes on a photo, for the bar that hides them on a published comparison sheet.
// Faces are sought first (frontal face detector), then the eyes inside the upper half of each
// face. A face whose eyes are not found themselves still gets a bar over the band where eyes sit
// on a face; a picture without a face gets none, and the caller must say so.

#include <QImage>
#include <QRectF>
#include <QString>
#include <QVector>

namespace Align {

struct EyeBars {
    QVector<QRectF> bars;      // one per face, in the picture's pixels
    QVector<QPolygonF> shapes; // turned bars, same order as bars
    int facesFound = 0;
    int eyesFound = 0;            // eyes found by the eye detector (not estimated)
    bool detectorMissing = false; // the trained detector files could not be read
};

// Bars over the eyes of every face on the picture. The picture is reduced to a working copy
// (longest edge about workingEdge pixels) before searching; the bars are given back at the
// picture's own size, widened a little beyond the eyes so that no eye corner shows.
EyeBars findEyeBars(const QImage &picture, int workingEdge = 800);

// The folder of the trained detector files; tests may point elsewhere.
QString detectorFolder();
void setDetectorFolder(const QString &folder);

} // namespace Align
