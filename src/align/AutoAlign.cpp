#include "align/AutoAlign.h"

#include "align/GrayImage.h"
#include "data/AppError.h"
#include "pictures/PictureLoader.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <limits>
#include <vector>

namespace Align {

namespace {

constexpr double DegreesPerRadian = 57.295779513082320876798;

// A picture's working copy: grey, longest edge `edge` (both pictures' copies get the same, so
// that the features of one scene are found at like sizes).
struct Working {
    cv::Mat gray;
    double toFullX = 1.0; // working pixel -> full-resolution pixel, per axis
    double toFullY = 1.0;
};

Working prepare(const QImage &image, QSize fullSize, double edge)
{
    const cv::Mat gray = grayOf(image);
    const double k = edge / std::max(image.width(), image.height());
    Working w;
    if (k < 1.0)
        cv::resize(gray, w.gray, cv::Size(), k, k, cv::INTER_AREA);
    else if (k > 1.0)
        cv::resize(gray, w.gray, cv::Size(), k, k, cv::INTER_LINEAR);
    else
        w.gray = gray;
    if (fullSize.isEmpty())
        fullSize = image.size();
    w.toFullX = double(fullSize.width()) / w.gray.cols;
    w.toFullY = double(fullSize.height()) / w.gray.rows;
    return w;
}

// Gradients after a light blur: what the correlation check compares, unmoved by brightness.
void gradients(const cv::Mat &gray, cv::Mat &gx, cv::Mat &gy)
{
    cv::Mat smooth;
    cv::GaussianBlur(gray, smooth, cv::Size(0, 0), 1.0);
    cv::Sobel(smooth, gx, CV_32F, 1, 0, 3);
    cv::Sobel(smooth, gy, CV_32F, 0, 1, 3);
}

// Lays the after copy over the before copy through `m` (working pixels, corner convention) and
// measures how much of the before copy it covers and how well their gradients correlate there.
void compareOverlaid(const cv::Mat &before, const cv::Mat &after, const cv::Matx23d &m, double &overlap,
                     double &correlation)
{
    // warpAffine samples at pixel centres: shift the corner-convention transform by half a pixel.
    cv::Matx23d c = m;
    c(0, 2) += 0.5 * (m(0, 0) + m(0, 1)) - 0.5;
    c(1, 2) += 0.5 * (m(1, 0) + m(1, 1)) - 0.5;
    cv::Mat warped, mask;
    cv::warpAffine(after, warped, c, before.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpAffine(cv::Mat(after.size(), CV_8UC1, cv::Scalar(255)), mask, c, before.size(), cv::INTER_NEAREST,
                   cv::BORDER_CONSTANT, cv::Scalar(0));
    // Keep off the edges, where the blur and the replicated border make gradients of their own.
    cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 3);
    overlap = double(cv::countNonZero(mask)) / double(before.total());
    correlation = 0.0;
    if (overlap <= 0.0)
        return;
    cv::Mat bx, by, ax, ay;
    gradients(before, bx, by);
    gradients(warped, ax, ay);
    double cross = 0.0, energyB = 0.0, energyA = 0.0;
    for (int y = 0; y < before.rows; ++y) {
        const uchar *mk = mask.ptr<uchar>(y);
        const float *pbx = bx.ptr<float>(y), *pby = by.ptr<float>(y);
        const float *pax = ax.ptr<float>(y), *pay = ay.ptr<float>(y);
        for (int x = 0; x < before.cols; ++x) {
            if (!mk[x])
                continue;
            cross += double(pbx[x]) * pax[x] + double(pby[x]) * pay[x];
            energyB += double(pbx[x]) * pbx[x] + double(pby[x]) * pby[x];
            energyA += double(pax[x]) * pax[x] + double(pay[x]) * pay[x];
        }
    }
    if (energyA > 0.0 && energyB > 0.0)
        correlation = cross / std::sqrt(energyA * energyB);
}

} // namespace

QString AutoResult::message() const
{
    return aligned ? QString() : QStringLiteral("无法自动对齐，请手动选点");
}

namespace {

// The shorter edge of a picture's working copy.
double workingShortEdge(const QImage &image, int workingEdge)
{
    const int longEdge = std::max(image.width(), image.height());
    return std::min(image.width(), image.height()) * std::min(1.0, double(workingEdge) / longEdge);
}

AutoResult align(const QImage &before, const QImage &after, QSize beforeSize, QSize afterSize,
                 const AutoOptions &options)
{
    AutoResult result;
    // ORB needs some room around each feature; a thin strip has none.
    if (workingShortEdge(before, options.workingEdge) < 64 || workingShortEdge(after, options.workingEdge) < 64) {
        result.failure = AutoFailure::TooFewFeatures;
        return result;
    }
    // One size for both copies: the smaller picture is enlarged rather than the larger one
    // reduced below it, up to the working edge.
    const auto longEdge = [](const QImage &i) { return double(std::max(i.width(), i.height())); };
    const double edge = std::min(double(options.workingEdge), std::max(longEdge(before), longEdge(after)));
    const Working wb = prepare(before, beforeSize, edge);
    const Working wa = prepare(after, afterSize, edge);

    cv::Ptr<cv::ORB> orb = cv::ORB::create(options.features);
    std::vector<cv::KeyPoint> kb, ka;
    cv::Mat db, da;
    orb->detectAndCompute(wb.gray, cv::noArray(), kb, db);
    orb->detectAndCompute(wa.gray, cv::noArray(), ka, da);
    result.features = int(std::min(kb.size(), ka.size()));
    if (result.features < options.minInliers) {
        result.failure = AutoFailure::TooFewFeatures;
        return result;
    }

    // Each after feature's two nearest before features; kept when the nearest is clearly nearer.
    cv::BFMatcher matcher(cv::NORM_HAMMING);
    std::vector<std::vector<cv::DMatch>> knn;
    matcher.knnMatch(da, db, knn, 2);
    // Keypoints are at pixel centres; the transform works on corners, in full-resolution pixels.
    std::vector<cv::Point2d> fromFull, toFull;
    for (const auto &pair : knn) {
        if (pair.size() < 2 || pair[0].distance >= 0.8f * pair[1].distance)
            continue;
        const cv::Point2f &pa = ka[size_t(pair[0].queryIdx)].pt;
        const cv::Point2f &pb = kb[size_t(pair[0].trainIdx)].pt;
        fromFull.emplace_back((pa.x + 0.5) * wa.toFullX, (pa.y + 0.5) * wa.toFullY);
        toFull.emplace_back((pb.x + 0.5) * wb.toFullX, (pb.y + 0.5) * wb.toFullY);
    }
    result.matches = int(fromFull.size());
    if (result.matches < options.minInliers) {
        result.failure = AutoFailure::NoConsistentMatch;
        return result;
    }

    const double toFullB = 0.5 * (wb.toFullX + wb.toFullY);
    std::vector<uchar> inlierMask;
    const cv::Mat m = cv::estimateAffinePartial2D(fromFull, toFull, inlierMask, cv::RANSAC,
                                                  options.ransacThreshold * toFullB, 2000, 0.999, 20);
    if (m.empty()) {
        result.failure = AutoFailure::NoConsistentMatch;
        return result;
    }
    const double ma = m.at<double>(0, 0), mb = m.at<double>(1, 0);
    // RANSAC on a few chance matches can come back with a collapsed or overflowing matrix.
    if (!cv::checkRange(m) || !(std::hypot(ma, mb) > 1e-6)) {
        result.failure = AutoFailure::NoConsistentMatch;
        return result;
    }
    const Similarity full(std::hypot(ma, mb), std::atan2(mb, ma) * DegreesPerRadian,
                          QPointF(m.at<double>(0, 2), m.at<double>(1, 2)));

    // How the consistent matches agree, measured in the before copy's pixels.
    double squares = 0.0, minX = 1e300, maxX = -1e300, minY = 1e300, maxY = -1e300;
    for (size_t i = 0; i < inlierMask.size(); ++i) {
        if (!inlierMask[i])
            continue;
        ++result.inliers;
        result.inlierPoints.append(QPointF(toFull[i].x, toFull[i].y));
        const QPointF p = full.map(QPointF(fromFull[i].x, fromFull[i].y));
        const double dx = (p.x() - toFull[i].x) / wb.toFullX, dy = (p.y() - toFull[i].y) / wb.toFullY;
        squares += dx * dx + dy * dy;
        minX = std::min(minX, toFull[i].x / wb.toFullX);
        maxX = std::max(maxX, toFull[i].x / wb.toFullX);
        minY = std::min(minY, toFull[i].y / wb.toFullY);
        maxY = std::max(maxY, toFull[i].y / wb.toFullY);
    }
    if (result.inliers > 0) {
        result.residual = std::sqrt(squares / result.inliers);
        result.spread = std::min((maxX - minX) / wb.gray.cols, (maxY - minY) / wb.gray.rows);
    }
    if (result.inliers < options.minInliers || result.inliers < options.minInlierShare * result.matches
        || result.residual > options.maxResidual || result.spread < options.minSpread) {
        result.failure = AutoFailure::NoConsistentMatch;
        return result;
    }

    // The same transform between the working copies, whose longest edges are alike: a face
    // photographed twice does not come out at twice the size nor turned by much.
    const Similarity work = Similarity(1.0 / toFullB, 0.0, QPointF()) * full
                            * Similarity(0.5 * (wa.toFullX + wa.toFullY), 0.0, QPointF());
    if (work.scale() > options.maxScaleChange || work.scale() < 1.0 / options.maxScaleChange
        || std::abs(work.rotationDegrees()) > options.maxRotationDegrees) {
        result.failure = AutoFailure::ImplausibleTransform;
        return result;
    }

    // Judged on half-size copies: enough to see whether the pictures agree, at a quarter of the cost.
    cv::Mat halfB, halfA;
    cv::pyrDown(wb.gray, halfB);
    cv::pyrDown(wa.gray, halfA);
    const double rb = double(halfB.cols) / wb.gray.cols, ra = double(wa.gray.cols) / halfA.cols;
    const QTransform t = (Similarity(rb, 0, QPointF()) * work * Similarity(ra, 0, QPointF())).toTransform();
    const cv::Matx23d mw(t.m11(), t.m21(), t.dx(), t.m12(), t.m22(), t.dy());
    compareOverlaid(halfB, halfA, mw, result.overlap, result.correlation);
    if (result.overlap < options.minOverlap) {
        result.failure = AutoFailure::ImplausibleTransform;
        return result;
    }
    if (result.correlation < options.minCorrelation) {
        result.failure = AutoFailure::PicturesDiffer;
        return result;
    }

    result.aligned = true;
    result.transform = full;
    return result;
}

AutoResult alignFeatures(const QImage &before, const QImage &after, QSize beforeSize, QSize afterSize,
                         const AutoOptions &options)
{
    try {
        AutoResult r = align(before, after, beforeSize, afterSize, options);
        r.method = AutoMethod::Features;
        return r;
    } catch (const cv::Exception &) {
        // OpenCV refuses input it cannot work on by throwing; for the window that is a picture
        // that cannot be aligned automatically like any other.
        AutoResult result;
        result.method = AutoMethod::Features;
        result.failure = AutoFailure::TooFewFeatures;
        return result;
    }
}

// How far a transform lays the after face's eyes from the before face's, as a share of the before
// face's eye distance (the larger of the two eyes); infinite without a face on each.
double eyeMismatch(const Similarity &t, const FaceSearch &before, const FaceSearch &after)
{
    const int ib = before.mainFace(), ia = after.mainFace();
    if (ib < 0 || ia < 0)
        return std::numeric_limits<double>::infinity();
    const Face &fb = before.faces.at(ib), &fa = after.faces.at(ia);
    const double d = fb.eyeDistance();
    if (!(d > 0.0))
        return std::numeric_limits<double>::infinity();
    double worst = 0.0;
    for (int e = 0; e < 2; ++e) {
        const QPointF p = t.map(fa.eyes[e]) - fb.eyes[e];
        worst = std::max(worst, std::hypot(p.x(), p.y()) / d);
    }
    return worst;
}

// How well the two pictures agree on the before face when the after picture is laid over it
// through t (full-resolution pixels): the gradients' correlation inside the face's box, on
// copies that show the face about 256 pixels across. What decides between features and landmarks
// when they disagree.
double faceCorrelation(const QImage &before, QSize beforeSize, const QImage &after, QSize afterSize,
                       const Similarity &t, const QRectF &faceBox)
{
    if (beforeSize.isEmpty())
        beforeSize = before.size();
    if (afterSize.isEmpty())
        afterSize = after.size();
    const double k = 256.0 / std::max(1.0, std::max(faceBox.width(), faceBox.height()));
    const double edgeB = std::min(3000.0, std::max(beforeSize.width(), beforeSize.height()) * k);
    const double edgeA = std::min(3000.0, std::max(afterSize.width(), afterSize.height()) * k * t.scale());
    const Working wb = prepare(before, beforeSize, edgeB);
    const Working wa = prepare(after, afterSize, edgeA);
    const double kb = 2.0 / (wb.toFullX + wb.toFullY);
    const QRectF face(faceBox.x() * kb, faceBox.y() * kb, faceBox.width() * kb, faceBox.height() * kb);
    const cv::Rect roi = cv::Rect(int(face.x()), int(face.y()), int(face.width()), int(face.height()))
                         & cv::Rect(0, 0, wb.gray.cols, wb.gray.rows);
    if (roi.width < 16 || roi.height < 16)
        return 0.0;
    const QTransform m = (Similarity(kb, 0, QPointF(-roi.x, -roi.y)) * t
                          * Similarity(0.5 * (wa.toFullX + wa.toFullY), 0, QPointF()))
                             .toTransform();
    double overlap = 0.0, correlation = 0.0;
    compareOverlaid(wb.gray(roi).clone(), wa.gray, cv::Matx23d(m.m11(), m.m21(), m.dx(), m.m12(), m.m22(), m.dy()),
                    overlap, correlation);
    return overlap > 0.5 ? correlation : 0.0;
}

// Features and faces both have their say. Where the features lay the whole pictures over each
// other and put the eyes where the landmarks say they are, they are the finer answer (hundreds
// of points against a few landmarks). Where the two disagree, either the features matched what
// stayed in place while the person moved (the room, the couch) or the landmarks are off (a face
// lit or drawn unlike a photographed one): the one under which the two faces look more alike
// wins. When the face fit refuses, features that disagree with the landmarks stand only when
// enough of them lie on the face itself. Without a face on each picture the features' verdict
// stands.
AutoResult decide(const QImage &before, const QImage &after, QSize beforeSize, QSize afterSize,
                  const std::function<std::pair<FaceSearch, FaceSearch>()> &faces, const AutoOptions &options)
{
    if (!options.useFaces)
        return alignFeatures(before, after, beforeSize, afterSize, options);
    // The face search runs beside the feature match: together they take the longer one's time.
    auto searching = std::async(std::launch::async, faces);
    AutoResult byFeatures = alignFeatures(before, after, beforeSize, afterSize, options);
    const auto [fb, fa] = searching.get();
    AutoResult byFaces = alignFaces(fb, fa, options);
    byFeatures.facesBefore = byFaces.facesBefore;
    byFeatures.facesAfter = byFaces.facesAfter;
    byFeatures.faceResidual = byFaces.faceResidual;
    if (byFaces.method != AutoMethod::Faces)
        return byFeatures;
    if (!byFeatures.aligned)
        return byFaces;
    if (eyeMismatch(byFeatures.transform, fb, fa) <= options.maxFeatureEyeMismatch)
        return byFeatures;
    const QRectF box = fb.faces.at(fb.mainFace()).box;
    if (byFaces.aligned) {
        const double byFeaturesLook = faceCorrelation(before, beforeSize, after, afterSize, byFeatures.transform, box);
        const double byFacesLook = faceCorrelation(before, beforeSize, after, afterSize, byFaces.transform, box);
        return byFeaturesLook >= byFacesLook ? byFeatures : byFaces;
    }
    const QRectF face = box.adjusted(-box.width() / 4, -box.height() / 4, box.width() / 4, box.height() / 4);
    const auto onFace = std::count_if(byFeatures.inlierPoints.cbegin(), byFeatures.inlierPoints.cend(),
                                      [&](const QPointF &p) { return face.contains(p); });
    if (onFace >= options.minInliers && onFace >= options.minFaceInlierShare * byFeatures.inliers)
        return byFeatures;
    AutoResult refused = byFaces;
    refused.failure = AutoFailure::FacesDiffer;
    return refused;
}

} // namespace

AutoResult alignAutomatically(const QImage &before, const QImage &after, QSize beforeSize, QSize afterSize,
                              const AutoOptions &options)
{
    if (before.isNull() || after.isNull()) {
        AutoResult result;
        result.failure = AutoFailure::EmptyPicture;
        return result;
    }
    return decide(
        before, after, beforeSize, afterSize,
        [&] {
            // One picture on another thread: the search takes most of the time.
            auto other = std::async(std::launch::async, [&] { return findFaces(after, afterSize); });
            FaceSearch fb = findFaces(before, beforeSize);
            return std::make_pair(fb, other.get());
        },
        options);
}

AutoResult alignFiles(const QString &beforePath, const QString &afterPath, const AutoOptions &options)
{
    // Working copies decoded about as large as they are matched.
    const QSize box(options.workingEdge, options.workingEdge);
    QImage before, after;
    QSize beforeSize, afterSize;
    AutoResult failed;
    try {
        beforeSize = PictureLoader::readNaturalSize(beforePath);
        afterSize = PictureLoader::readNaturalSize(afterPath);
        before = PictureLoader::loadPreview(beforePath, beforeSize.scaled(box, Qt::KeepAspectRatio));
        after = PictureLoader::loadPreview(afterPath, afterSize.scaled(box, Qt::KeepAspectRatio));
    } catch (const AppError &) {
        failed.failure = AutoFailure::Unreadable;
        return failed;
    }
    if (before.isNull() || after.isNull()) {
        failed.failure = AutoFailure::EmptyPicture;
        return failed;
    }
    return decide(
        before, after, beforeSize, afterSize,
        [&] {
            auto other = std::async(std::launch::async, [&] { return facesOfFile(afterPath); });
            FaceSearch fb = facesOfFile(beforePath);
            return std::make_pair(fb, other.get());
        },
        options);
}

} // namespace Align
