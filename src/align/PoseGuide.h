#pragma once
// Pose guidance for the capture station: how the face in the live picture differs from the face
// of the before photo, as roll, size, position and turn, and the short hints that tell the
// photographer what to change. The before photo is shown fitted into the live picture (kept
// whole, centred), so positions and sizes are compared in the live picture's pixels.

#include "align/Faces.h"

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QVector>
#include <QSize>
#include <QString>
#include <QStringList>

namespace PoseGuide {

// What the landmarks tell of one face's pose.
struct Pose {
    bool found = false;
    double roll = 0.0;      // degrees, positive clockwise on screen
    double width = 0.0;     // distance between the eye centres, pixels
    QPointF centre;         // between the eyes, pixels
    double yaw = 0.0;       // nose tip off the middle of the jaw, in jaw widths (positive: towards the picture's right)
    double pitch = 0.0;     // nose tip below the eye line, in eye-to-mouth distances
    double faceWidth = 0.0; // jaw to jaw along the eye line, pixels
    QVector<QPointF> points; // the landmarks the pose was measured from (empty when given by hand)
};

Pose poseOf(const Align::Face &face);
// The main face of a search, not found when there is none.
Pose poseOf(const Align::FaceSearch &search);

// Where the before pose lies once the before photo of beforeSize is fitted into liveSize.
Pose fitted(const Pose &before, QSize beforeSize, QSize liveSize);

struct Tolerances {
    double roll = 2.0;     // degrees
    double size = 3.0;     // percent
    double position = 4.0; // percent of the eye distance (about 2 % of the face width)
    double yaw = 0.05;     // jaw widths
    double pitch = 0.08;   // eye-to-mouth distances
};

struct Guidance {
    bool compared = false;     // both faces were found and compared
    QString why;               // when not compared: why there are no pose hints
    double roll = 0.0;         // live minus before, degrees
    double size = 0.0;         // live against before, percent (positive: live is larger)
    double dx = 0.0, dy = 0.0; // live centre minus before centre, percent of the before eye distance
    double yaw = 0.0, pitch = 0.0;
    QStringList hints;    // short instructions, the largest difference first
    bool matched = false; // every difference within its tolerance
    // The light on the face against the before photo's (光线偏暗, 颜色偏暖). Told beside the pose
    // hints; it does not hold back 姿势一致, since the pose can match in other light.
    QStringList lightHints;

    // The hints as one line, or 姿势一致 when matched, with the light hints after them.
    QString text() const;
};

// before: the before pose already fitted into the live picture (see fitted()). When both poses
// carry their landmarks, roll, size and position are those of the one turn, scale and shift that
// lays the before face's eyes, brows and nose best onto the live face's: a few dozen points
// rather than the two eye centres, so that one landmark settling elsewhere moves them little.
Guidance compare(const Pose &before, const Pose &live, const Tolerances &tolerances = Tolerances());

// The comparison of the last few frames taken together: each difference is the median of theirs
// (the newest comparison's light hints kept), so that one frame whose landmarks slipped neither
// shows a hint that is not there nor hides 姿势一致. Comparisons that were not made are skipped;
// none made gives the newest as it is.
Guidance steady(const QVector<Guidance> &recent, const Tolerances &tolerances = Tolerances());

// The light on a face: the mean over the middle of the face (below the eyes, above the mouth,
// between the eyes' outer corners), from the picture the face was found on.
struct Light {
    bool found = false;
    double luma = 0.0;   // mean brightness, 0 to 255
    double warmth = 0.0; // log of red over blue: higher is warmer
};
Light lightOf(const QImage &picture, const Align::Face &face);

struct LightTolerances {
    double darker = 0.8, brighter = 1.25; // brightness live over before
    double warmth = 0.15;                 // difference of log(red / blue)
};
// Adds the light hints to a comparison of two faces (nothing when either light is unknown).
void addLightHints(Guidance &g, const Light &before, const Light &live,
                   const LightTolerances &tolerances = LightTolerances());

// The texts for the cases without pose hints.
QString noBeforeFace();
QString noLiveFace();

// The edges of a picture as lines of colour on a transparent picture of the same size, for the
// ghost shown as outlines only.
QImage outlines(const QImage &picture, const QColor &colour = QColor(0, 255, 120));

} // namespace PoseGuide
