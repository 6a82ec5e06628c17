#include "align/EyeDetect.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace Align {

namespace {

const QString ModelName = QStringLiteral("shape_predictor_68_face_landmarks.dat");

// The bar of one face: a rectangle along the eye line around both eyes' outlines and pupils,
// wider by a third of the eye distance at each end, and half as tall again as the eyes.
QPolygonF barOf(const Face &face)
{
    const double d = std::max(1.0, face.eyeDistance());
    const QPointF middle = (face.eyes[0] + face.eyes[1]) / 2.0;
    QPointF u = (face.eyes[1] - face.eyes[0]) / d;
    if (face.eyeDistance() < 1.0)
        u = QPointF(1, 0);
    const QPointF v(-u.y(), u.x());
    double left = 0.0, right = 0.0, up = 0.0, down = 0.0;
    const auto take = [&](const QPointF &p) {
        const QPointF r = p - middle;
        const double along = r.x() * u.x() + r.y() * u.y(), across = r.x() * v.x() + r.y() * v.y();
        left = std::min(left, along);
        right = std::max(right, along);
        up = std::min(up, across);
        down = std::max(down, across);
    };
    for (int i = Landmark::RightEyeFirst; i <= Landmark::LeftEyeLast; ++i)
        take(face.points[i]);
    take(face.eyes[0]);
    take(face.eyes[1]);
    left -= d / 3.0;
    right += d / 3.0;
    const double half = std::max(0.28 * d, 0.5 * (down - up) + 0.2 * d);
    const double centre = 0.5 * (up + down);
    up = centre - half;
    down = centre + half;
    const auto at = [&](double along, double across) { return middle + along * u + across * v; };
    return QPolygonF({at(left, up), at(right, up), at(right, down), at(left, down)});
}

} // namespace

EyeBars eyeBarsOf(const FaceSearch &search)
{
    EyeBars result;
    result.detectorMissing = search.modelMissing;
    const QRectF picture(QPointF(0, 0), QSizeF(search.pictureSize));
    for (const Face &face : search.faces) {
        const QPolygonF shape = barOf(face);
        result.shapes.append(shape);
        result.bars.append(shape.boundingRect().intersected(picture));
        ++result.facesFound;
        result.eyesFound += 2;
    }
    return result;
}

EyeBars findEyeBars(const QImage &picture, int)
{
    if (picture.isNull())
        return EyeBars();
    return eyeBarsOf(findFaces(picture));
}

EyeBars eyeBarsOfFile(const QString &path)
{
    return eyeBarsOf(facesOfFile(path));
}

QString detectorFolder()
{
    return QFileInfo(faceModelPath()).absolutePath();
}

void setDetectorFolder(const QString &folder)
{
    setFaceModelPath(folder + QLatin1Char('/') + ModelName);
}

} // namespace Align
