#pragma once
// The bars that hide the eyes on a published comparison sheet, from the faces' landmarks
// (Faces.h): one bar per face, along its eye line (turned with the head), over both eyes with a
// margin so that no eye corner shows. A picture without a face gets none, and the caller must
// say so.

#include "align/Faces.h"

#include <QImage>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <QVector>

namespace Align {

struct EyeBars {
    QVector<QRectF> bars;      // one per face, in the picture's pixels: each bar's bounding rectangle
    QVector<QPolygonF> shapes; // the bars themselves (four corners), same order and pixels
    int facesFound = 0;
    int eyesFound = 0;            // eyes placed from landmarks
    bool detectorMissing = false; // the trained landmark model could not be read
};

// Bars over the eyes of every face on the picture, in its own pixels. workingEdge is no longer
// used: the face search picks its working copies itself.
EyeBars findEyeBars(const QImage &picture, int workingEdge = 800);
// The same for a picture file, from the faces kept by facesOfFile(); bars in the file's
// full-resolution upright pixels. For a worker thread.
EyeBars eyeBarsOfFile(const QString &path);
// The bars of faces already found.
EyeBars eyeBarsOf(const FaceSearch &search);

// The folder of the trained landmark model (faceModelPath()'s folder); tests may point elsewhere:
// the model is then read from that folder under its usual file name.
QString detectorFolder();
void setDetectorFolder(const QString &folder);

} // namespace Align
