// The alignment of two photos of one face from their landmarks.
#include "align/AutoAlign.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace Align {

namespace {

constexpr double DegreesPerRadian = 57.295779513082320876798;

using Complex = std::complex<double>;

// How much each landmark counts: eye corners, pupils and the nose bridge stay where they were
// after most surgery; the brows less so (a brow lift), the nose tip, mouth and jaw least. The
// pupils count most (pairsOf): a head turned a little moves the outline of the face on the photo
// more than the eyes, and the eyes are what a comparison is read by.
double baseWeight(int i)
{
    if (i >= Landmark::RightEyeFirst && i <= Landmark::LeftEyeLast)
        return 1.0;
    if (i >= Landmark::NoseBridgeFirst && i <= Landmark::NoseBridgeLast)
        return 1.0;
    if (i >= Landmark::BrowFirst && i <= Landmark::BrowLast)
        return 0.4;
    if (i >= Landmark::NoseFirst && i <= Landmark::NoseLast)
        return 0.3;
    return 0.05; // mouth, jaw
}

struct Pairs {
    std::vector<Complex> from, to; // after, before
    std::vector<double> weight;
    std::vector<bool> steady; // counted in the residual
};

Pairs pairsOf(const Face &after, const Face &before)
{
    Pairs p;
    const auto add = [&](QPointF a, QPointF b, double w, bool steady) {
        p.from.emplace_back(a.x(), a.y());
        p.to.emplace_back(b.x(), b.y());
        p.weight.push_back(w);
        p.steady.push_back(steady);
    };
    for (int i = 0; i < Landmark::Count; ++i)
        add(after.points[i], before.points[i], baseWeight(i), baseWeight(i) >= 1.0);
    for (int e = 0; e < 2; ++e)
        add(after.eyes[e], before.eyes[e], 8.0, false);
    return p;
}

// The similarity z * p + t closest to the pairs in weighted least squares.
void fit(const Pairs &p, const std::vector<double> &w, Complex &z, Complex &t)
{
    double total = 0.0;
    Complex mf = 0.0, mt = 0.0;
    for (size_t i = 0; i < w.size(); ++i) {
        total += w[i];
        mf += w[i] * p.from[i];
        mt += w[i] * p.to[i];
    }
    mf /= total;
    mt /= total;
    Complex cross = 0.0;
    double energy = 0.0;
    for (size_t i = 0; i < w.size(); ++i) {
        cross += w[i] * (p.to[i] - mt) * std::conj(p.from[i] - mf);
        energy += w[i] * std::norm(p.from[i] - mf);
    }
    z = energy > 0.0 ? cross / energy : Complex(1.0, 0.0);
    t = mt - z * mf;
}

} // namespace

AutoResult alignFaces(const FaceSearch &before, const FaceSearch &after, const AutoOptions &options)
{
    AutoResult result;
    result.facesBefore = before.faces.size();
    result.facesAfter = after.faces.size();
    const int ib = before.mainFace(), ia = after.mainFace();
    if (ib < 0 || ia < 0)
        return result;
    result.method = AutoMethod::Faces;
    const Face &fb = before.faces[ib];
    const Face &fa = after.faces[ia];
    const double eb = fb.eyeDistance(), ea = fa.eyeDistance();
    const auto longEdge = [](QSize s) { return double(std::max(s.width(), s.height())); };
    // Faces too small for their landmarks to be placed well.
    if (std::min(eb, ea) < options.minEyePixels || eb < options.minEyeShare * longEdge(before.pictureSize)
        || ea < options.minEyeShare * longEdge(after.pictureSize)) {
        result.failure = AutoFailure::ImplausibleTransform;
        return result;
    }

    const Pairs p = pairsOf(fa, fb);
    std::vector<double> w = p.weight;
    Complex z, t;
    fit(p, w, z, t);
    // Reweighted: a landmark far from where the others put it (an eye behind a frame, a smile)
    // counts less the further it is, at a scale of a few percent of the eye distance.
    const double soft = 0.04 * eb;
    for (int round = 0; round < 6; ++round) {
        for (size_t i = 0; i < w.size(); ++i) {
            const double r = std::abs(z * p.from[i] + t - p.to[i]) / soft;
            w[i] = p.weight[i] / (1.0 + r * r);
        }
        fit(p, w, z, t);
    }
    double squares = 0.0, count = 0.0;
    for (size_t i = 0; i < w.size(); ++i) {
        if (!p.steady[i])
            continue;
        squares += p.weight[i] * std::norm(z * p.from[i] + t - p.to[i]);
        count += p.weight[i];
    }
    result.faceResidual = std::sqrt(squares / count) / eb;

    const double scale = std::abs(z), degrees = std::arg(z) * DegreesPerRadian;
    if (!std::isfinite(scale) || !(scale > 0.0) || !std::isfinite(t.real()) || !std::isfinite(t.imag())) {
        result.failure = AutoFailure::ImplausibleTransform;
        return result;
    }
    const double shareChange = (eb / longEdge(before.pictureSize)) / (ea / longEdge(after.pictureSize));
    if (shareChange > options.maxFaceShareChange || shareChange < 1.0 / options.maxFaceShareChange
        || std::abs(degrees) > options.maxFaceRotationDegrees) {
        result.failure = AutoFailure::ImplausibleTransform;
        return result;
    }
    if (result.faceResidual > options.maxFaceResidual) {
        result.failure = AutoFailure::FacesDiffer;
        return result;
    }
    result.aligned = true;
    result.transform = Similarity(scale, degrees, QPointF(t.real(), t.imag()));
    return result;
}

} // namespace Align
