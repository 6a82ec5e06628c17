#pragma once
// Faces on a photo and their 68 landmarks (dlib's frontal face detector and its trained landmark
// model). The model is read once per process (about a second): preloadFaceModel() starts that
// off the calling thread, and every search waits for it. Faces are sought on an upright working
// copy first, then on copies turned by about 25 degrees either way (heads tilted up to about 35
// degrees), then on an enlarged copy (faces down to about 5 % of the picture's width).
// A picture file's faces are kept in memory and in the user's cache folder, so that they are
// found once.

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QVector>

namespace Align {

// Landmark numbers of the 68-point model (as the person in the picture sees it: "right" is the
// picture's left).
namespace Landmark {
constexpr int JawFirst = 0, JawLast = 16;
constexpr int BrowFirst = 17, BrowLast = 26;
constexpr int NoseBridgeFirst = 27, NoseBridgeLast = 30;
constexpr int NoseFirst = 31, NoseLast = 35;
constexpr int RightEyeFirst = 36, RightEyeLast = 41; // on the picture's left
constexpr int LeftEyeFirst = 42, LeftEyeLast = 47;   // on the picture's right
constexpr int MouthFirst = 48, MouthLast = 67;
constexpr int Count = 68;
} // namespace Landmark

struct Face {
    QRectF box;              // the detector's box, upright picture pixels
    QVector<QPointF> points; // Landmark::Count points, full-resolution upright picture pixels
    // Eye centres (pupils where a dark iris was found inside the eye's landmarks, otherwise the
    // middle of the eye's outline): [0] on the picture's left, [1] on its right.
    QPointF eyes[2];
    double score = 0.0; // the detector's confidence

    double eyeDistance() const;
    // The turn of the eye line, degrees, positive clockwise on screen.
    double rollDegrees() const;
};

struct FaceSearch {
    QVector<Face> faces;
    QSize pictureSize;         // full-resolution upright size the faces are given in
    bool modelMissing = false; // the landmark model could not be read: nothing was sought
    QString error;             // for the user: why nothing was sought (model or picture unreadable)

    // The face to align on: the largest, nearer the middle; -1 when there is none.
    int mainFace() const;
};

// Starts reading the model on a thread of its own and returns at once. Later calls do nothing.
void preloadFaceModel();
// Waits for the model. Empty when it is ready, otherwise the text for the user.
QString faceModelError();
// The model file; tests may point elsewhere (before anything has been sought, or to reread).
QString faceModelPath();
void setFaceModelPath(const QString &path);

// The faces of `image`, which may be a reduced copy of a picture of fullSize (empty: the image's
// own size); points come back in fullSize's pixels. Any thread; waits for the model.
FaceSearch findFaces(const QImage &image, QSize fullSize = QSize());
// A quick search for a face about faceWidth pixels wide that leans by about rollDegrees (a face
// followed from one frame of a live picture to the next): one scan at the scale and turn that suit
// such a face (and one upright if that finds none), nothing else tried. Points in the image's
// pixels. Any thread; waits for the model.
FaceSearch findFaceNear(const QImage &image, double faceWidth, double rollDegrees = 0.0);

// The faces of a picture file (decoded upright, as PictureLoader shows it), kept in memory and on
// disk by path, size and modification time. An unreadable picture comes back with `error` set.
// Any thread; the first call for a file costs a search, the others a look-up.
FaceSearch facesOfFile(const QString &path);
// The folder the found faces are kept in (under $XDG_CACHE_HOME, or ~/.cache).
QString faceCacheFolder();
// Forgets the faces kept in memory (the disk cache stays), for tests and benchmarks.
void clearFaceMemoryCache();

} // namespace Align
