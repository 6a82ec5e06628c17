#pragma once
// Automatic alignment of an after picture onto a before picture.
// ORB features are matched first (below); where they lay the whole pictures over each other
// within a pixel or two, that answer is taken. Otherwise, when both pictures show a face, the similarity is fitted to the landmarks of the largest, most
// central face of each (Faces.h): weighted towards those surgery moves least (eye corners and
// pupils, nose bridge, brows), robustly (iteratively reweighted least squares).
// For the features both pictures are reduced to working copies of one size (longest edge
// about 1000 pixels); ORB features are matched and a similarity is estimated robustly (RANSAC,
// then a least-squares refinement on the consistent matches).
// Either answer is only trusted when it passes every check below; otherwise the result says it
// failed, so that a wrong alignment is never shown as a right one and the person can pick
// landmarks by hand.

#include "align/Faces.h"
#include "align/Similarity.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QVector>

namespace Align {

struct AutoOptions {
    int workingEdge = 1000;       // longest edge of the copies that are matched
    int features = 3000;          // ORB features sought in each copy
    double ransacThreshold = 3.0; // working pixels
    // Acceptance: every one must hold.
    int minInliers = 24;         // matches consistent with the transform
    double minInlierShare = 0.2; // ... among the matches that passed the ratio test
    double maxResidual = 2.0;    // root mean square distance of those matches, working pixels
    double minSpread = 0.15;     // their extent, as a share of the before copy's width and height
    double maxScaleChange = 2.0; // found scale within [1/x, x]
    double maxRotationDegrees = 30.0;
    double minOverlap = 0.3;     // share of the before copy covered by the after picture
    double minCorrelation = 0.5; // of the two copies' gradients where they overlap

    // Faces. Acceptance: every one must hold.
    bool useFaces = true;
    double maxFaceResidual = 0.18; // root mean square distance left of the steady landmarks, share of the eye distance
    double minEyeShare = 0.012;    // eye distance, share of the picture's longest edge ...
    double minEyePixels = 12.0;    // ... and in full-resolution pixels
    double maxFaceShareChange = 6.0; // the faces' sizes within their pictures, within [1/x, x]
    double maxFaceRotationDegrees = 60.0;
    // Matched features are taken over the face fit only when they lay the after face's eyes
    // within this share of the eye distance of the before face's.
    double maxFeatureEyeMismatch = 0.1;
    // ... or when this share of their consistent matches (and at least minInliers) lies on the
    // before face (its box, a quarter wider each way): then they follow the face itself, not what stayed in place while it moved.
    double minFaceInlierShare = 0.1;
};

enum class AutoMethod {
    None,
    Faces,    // fitted to face landmarks
    Features, // fitted to matched ORB features
};

enum class AutoFailure {
    None,
    EmptyPicture,         // one picture has no pixels
    TooFewFeatures,       // too little detail to match (a blank or blurred picture)
    NoConsistentMatch,    // too few matches agree on one transform, or they agree too loosely
    ImplausibleTransform, // the transform turns, scales or shifts more than photos of one face do
    PicturesDiffer,       // laid over each other, the two pictures do not look alike
    FacesDiffer,          // the two faces' landmarks do not agree on one transform (other person, pose)
    Unreadable,           // a picture file could not be read
};

struct AutoResult {
    bool aligned = false;
    AutoFailure failure = AutoFailure::None;
    AutoMethod method = AutoMethod::None; // what the answer was (or would have been) fitted to
    // After picture to before picture, in full-resolution pixels. The identity when not aligned.
    Similarity transform;
    // What the decision was made on, for diagnostics and tuning.
    int features = 0; // the fewer of the two pictures' features
    int matches = 0;  // after the ratio test
    int inliers = 0;
    QVector<QPointF> inlierPoints; // the consistent matches, before-picture pixels
    double residual = 0.0;         // working pixels
    double spread = 0.0;
    double overlap = 0.0;
    double correlation = 0.0;
    int facesBefore = 0, facesAfter = 0;
    double faceResidual = 0.0; // landmark fit, share of the before face's eye distance

    // What the window shows when alignment failed (empty when aligned).
    QString message() const;
};

// Aligns `after` onto `before`. Each image may be a reduced copy of its picture: beforeSize and
// afterSize give the full-resolution sizes the transform is expressed in (empty: the image's own
// size). Both images are upright as shown. Safe to call from any thread; does not throw for
// unusable pictures (it reports failure), only for running out of memory.
// Faces are sought on both images (Faces.h: this waits for the landmark model; when it cannot be
// read, only features are matched).
AutoResult alignAutomatically(const QImage &before, const QImage &after, QSize beforeSize = QSize(),
                              QSize afterSize = QSize(), const AutoOptions &options = AutoOptions());

// The same for two picture files, with their faces as kept by facesOfFile() (searched once per
// file); the pictures are decoded for the feature match at about workingEdge. For a worker thread.
AutoResult alignFiles(const QString &beforePath, const QString &afterPath, const AutoOptions &options = AutoOptions());

// The fit to the faces alone: nothing (method None) when either search holds no face.
AutoResult alignFaces(const FaceSearch &before, const FaceSearch &after, const AutoOptions &options = AutoOptions());

} // namespace Align
