#pragma once
// Automatic alignment of an after picture onto a before picture. Both are reduced to working
// copies (longest edge about 1000 pixels); ORB features are matched and a similarity is estimated
// robustly (RANSAC, then a least-squares refinement on the consistent matches). The answer is
// only trusted when it passes every check below; otherwise the result says it failed, so that a
// wrong alignment is never shown as a right one and the person can pick landmarks by hand.

#include "align/Similarity.h"

#include <QImage>
#include <QSize>
#include <QString>

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
};

enum class AutoFailure {
    None,
    EmptyPicture,         // one picture has no pixels
    TooFewFeatures,       // too little detail to match (a blank or blurred picture)
    NoConsistentMatch,    // too few matches agree on one transform, or they agree too loosely
    ImplausibleTransform, // the transform turns, scales or shifts more than photos of one face do
    PicturesDiffer,       // laid over each other, the two pictures do not look alike
};

struct AutoResult {
    bool aligned = false;
    AutoFailure failure = AutoFailure::None;
    // After picture to before picture, in full-resolution pixels. The identity when not aligned.
    Similarity transform;
    // What the decision was made on, for diagnostics and tuning.
    int features = 0; // the fewer of the two pictures' features
    int matches = 0;  // after the ratio test
    int inliers = 0;
    double residual = 0.0; // working pixels
    double spread = 0.0;
    double overlap = 0.0;
    double correlation = 0.0;

    // What the window shows when alignment failed (empty when aligned).
    QString message() const;
};

// Aligns `after` onto `before`. Each image may be a reduced copy of its picture: beforeSize and
// afterSize give the full-resolution sizes the transform is expressed in (empty: the image's own
// size). Both images are upright as shown. Safe to call from any thread; does not throw for
// unusable pictures (it reports failure), only for running out of memory.
AutoResult alignAutomatically(const QImage &before, const QImage &after, QSize beforeSize = QSize(),
                              QSize afterSize = QSize(), const AutoOptions &options = AutoOptions());

} // namespace Align
