#include "align/Faces.h"

#include "align/GrayImage.h"

#include <QDir>
#include <QFile>

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/opencv/cv_image.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

namespace Align {

namespace {

constexpr double DegreesPerRadian = 57.295779513082320876798;

// Working copies the detector scans. Its window is 80 pixels: a face is found when it is at
// least about that wide in the copy scanned.
constexpr double CoarsePixels = 0.75e6; // first and turned copies: about a second for all three
constexpr double FineWidth = 1700.0;    // then faces of 5 % of the width are about 85 pixels wide
constexpr double FinePixels = 6e6;      // ... within this many pixels
constexpr double TurnDegrees = 25.0;    // the turned copies; the detector itself takes about 15
constexpr int CropBox = 200;            // the face's side in the copy the landmarks are found on

struct Model {
    dlib::frontal_face_detector detector; // detecting changes it: each thread works on a copy
    dlib::shape_predictor predictor;
    QString error;
};

std::mutex modelMutex;
QString modelFile = QStringLiteral("/usr/share/dlib/shape_predictor_68_face_landmarks.dat");
std::shared_future<std::shared_ptr<const Model>> modelFuture;

std::shared_ptr<const Model> loadModel(const QString &path)
{
    auto model = std::make_shared<Model>();
    const QString shown = QDir::toNativeSeparators(path);
    if (!QFile::exists(path)) {
        model->error = QStringLiteral("找不到人脸特征模型文件：%1").arg(shown);
        return model;
    }
    // The detector's filters are unpacked from the library itself, as long as the model takes.
    auto detector = std::async(std::launch::async, [] { return dlib::get_frontal_face_detector(); });
    try {
        dlib::deserialize(QFile::encodeName(path).toStdString()) >> model->predictor;
        if (model->predictor.num_parts() != unsigned(Landmark::Count))
            model->error = QStringLiteral("人脸特征模型文件不是 68 点模型：%1").arg(shown);
    } catch (const std::exception &) {
        model->error = QStringLiteral("人脸特征模型文件无法读取：%1").arg(shown);
    }
    model->detector = detector.get();
    return model;
}

std::shared_future<std::shared_ptr<const Model>> startLoading()
{
    std::lock_guard<std::mutex> lock(modelMutex);
    if (!modelFuture.valid())
        modelFuture = std::async(std::launch::async, loadModel, modelFile).share();
    return modelFuture;
}

// This thread's copy of the detector of `model`.
dlib::frontal_face_detector &detectorOf(const std::shared_ptr<const Model> &model)
{
    thread_local std::shared_ptr<const Model> owner;
    thread_local dlib::frontal_face_detector copy;
    if (owner != model) {
        copy = model->detector;
        owner = model;
    }
    return copy;
}

// A face the detector found: where, how large and how turned, in the grey picture's pixels
// (pixel centres at whole numbers, as OpenCV and dlib count).
struct Candidate {
    cv::Point2d centre;
    double size = 0.0;
    double roll = 0.0; // degrees, clockwise on screen
    double score = 0.0;
};

cv::Mat resized(const cv::Mat &gray, double k)
{
    cv::Mat out;
    cv::resize(gray, out,
               cv::Size(std::max(1, int(std::lround(gray.cols * k))), std::max(1, int(std::lround(gray.rows * k)))), 0,
               0, k < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

// Faces on `work` (a copy of the picture at k times its size) turned by `degrees` clockwise
// before scanning, given back in the picture's pixels.
std::vector<Candidate> scan(dlib::frontal_face_detector &detector, const cv::Mat &work, double k, double degrees)
{
    cv::Mat scanned = work;
    cv::Matx23d toWork(1, 0, 0, 0, 1, 0); // scanned pixels -> work pixels
    if (degrees != 0.0) {
        const double r = degrees / DegreesPerRadian, c = std::cos(r), s = std::sin(r);
        const int w = int(std::ceil(std::abs(work.cols * c) + std::abs(work.rows * s)));
        const int h = int(std::ceil(std::abs(work.cols * s) + std::abs(work.rows * c)));
        // work -> scanned: turn about the middle, into a canvas that holds the whole copy.
        const cv::Point2d from((work.cols - 1) / 2.0, (work.rows - 1) / 2.0), to((w - 1) / 2.0, (h - 1) / 2.0);
        const cv::Matx23d m(c, -s, to.x - c * from.x + s * from.y, s, c, to.y - s * from.x - c * from.y);
        cv::warpAffine(work, scanned, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(128));
        cv::invertAffineTransform(m, toWork);
    }
    std::vector<dlib::rect_detection> found;
    detector(dlib::cv_image<unsigned char>(scanned), found);
    std::vector<Candidate> out;
    for (const auto &d : found) {
        const cv::Point2d c((d.rect.left() + d.rect.right()) / 2.0, (d.rect.top() + d.rect.bottom()) / 2.0);
        const cv::Point2d inWork(toWork(0, 0) * c.x + toWork(0, 1) * c.y + toWork(0, 2),
                                 toWork(1, 0) * c.x + toWork(1, 1) * c.y + toWork(1, 2));
        // The face stood upright on the copy turned clockwise: on the picture it leans the other way.
        out.push_back({inWork / k, d.rect.width() / k, -degrees, d.detection_confidence});
    }
    return out;
}

// The same face found on two copies: keep the surer finding.
std::vector<Candidate> merged(std::vector<Candidate> all)
{
    std::sort(all.begin(), all.end(), [](const Candidate &a, const Candidate &b) { return a.score > b.score; });
    std::vector<Candidate> kept;
    for (const Candidate &c : all) {
        const bool same = std::any_of(kept.begin(), kept.end(), [&](const Candidate &k) {
            return cv::norm(k.centre - c.centre) < 0.5 * std::max(k.size, c.size);
        });
        if (!same)
            kept.push_back(c);
    }
    return kept;
}

// The grey picture, halved again and again, so that a face can be cut out of a copy where it is
// not much larger than CropBox (the landmark model reads single pixels: no aliasing).
class Pyramid {
public:
    explicit Pyramid(const cv::Mat &gray) { m_levels.push_back(gray); }
    // The copy to cut a face of `size` pixels from and its scale.
    const cv::Mat &levelFor(double size, double &scale)
    {
        size_t i = 0;
        scale = 1.0;
        while (size * scale > 2.0 * CropBox && m_levels[i].cols > 64 && m_levels[i].rows > 64) {
            if (i + 1 == m_levels.size()) {
                cv::Mat down;
                cv::pyrDown(m_levels[i], down);
                m_levels.push_back(down);
            }
            ++i;
            scale *= 0.5;
        }
        scale = double(m_levels[i].cols) / m_levels[0].cols;
        return m_levels[i];
    }

private:
    std::vector<cv::Mat> m_levels;
};

// The face cut out upright: crop pixels -> picture pixels is `toPicture`.
struct Crop {
    cv::Mat pixels;
    cv::Matx23d toPicture;
};

Crop cut(Pyramid &pyramid, const Candidate &c)
{
    double scale = 1.0;
    const cv::Mat &level = pyramid.levelFor(c.size, scale);
    // crop -> level: turn by the face's roll and scale the box to CropBox, centred.
    const double f = c.size * scale / CropBox, r = c.roll / DegreesPerRadian;
    const double a = f * std::cos(r), b = f * std::sin(r);
    // Level pixel centres sit at (i + 0.5) / scale - 0.5 in the picture's.
    const cv::Point2d centre = (c.centre + cv::Point2d(0.5, 0.5)) * scale - cv::Point2d(0.5, 0.5);
    const cv::Matx23d toLevel(a, -b, centre.x - a * CropBox + b * CropBox, b, a, centre.y - b * CropBox - a * CropBox);
    Crop crop;
    cv::warpAffine(level, crop.pixels, toLevel, cv::Size(2 * CropBox, 2 * CropBox),
                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    const double u = 1.0 / scale, o = 0.5 / scale - 0.5;
    crop.toPicture = cv::Matx23d(u * a, -u * b, u * toLevel(0, 2) + o, u * b, u * a, u * toLevel(1, 2) + o);
    return crop;
}

cv::Point2d apply(const cv::Matx23d &m, const cv::Point2d &p)
{
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

// The pupil of one eye on an upright crop: the darkest disc about the size of the iris inside
// the eye's outline, as an offset from the outline's middle (behind glasses or in a squint the
// middle can sit well off the pupil). Nothing when nothing dark enough is there.
std::optional<cv::Point2d> pupilOffset(const cv::Mat &crop, const std::vector<cv::Point2d> &eye)
{
    cv::Point2d middle(0, 0);
    double minX = 1e9, maxX = -1e9;
    for (const auto &p : eye) {
        middle += p / double(eye.size());
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
    }
    const double width = cv::norm(eye[0] - eye[3]);
    const int half = int(std::lround(0.13 * width)); // half the side of the square averaged
    if (half < 2)
        return std::nullopt;
    const int x0 = int(std::floor(minX + 0.2 * width)), x1 = int(std::ceil(maxX - 0.2 * width));
    const int y0 = int(std::floor(middle.y - 0.25 * width)), y1 = int(std::ceil(middle.y + 0.25 * width));
    const cv::Rect area(x0 - half, y0 - half, x1 - x0 + 2 * half + 1, y1 - y0 + 2 * half + 1);
    if (x1 <= x0 || (area & cv::Rect(0, 0, crop.cols, crop.rows)) != area)
        return std::nullopt;
    cv::Mat smooth, sums;
    cv::GaussianBlur(crop(area), smooth, cv::Size(0, 0), std::max(0.8, 0.04 * width));
    cv::integral(smooth, sums, CV_64F);
    const auto meanAt = [&](int x, int y) { // x, y in the area's pixels
        const int l = x - half, t = y - half, rr = x + half + 1, bb = y + half + 1;
        return (sums.at<double>(bb, rr) - sums.at<double>(t, rr) - sums.at<double>(bb, l) + sums.at<double>(t, l))
               / double((2 * half + 1) * (2 * half + 1));
    };
    double darkest = 1e9, total = 0.0;
    int count = 0;
    cv::Point best;
    for (int y = half; y <= y1 - y0 + half; ++y) {
        for (int x = half; x <= x1 - x0 + half; ++x) {
            const double m = meanAt(x, y);
            total += m;
            ++count;
            if (m < darkest) {
                darkest = m;
                best = cv::Point(x, y);
            }
        }
    }
    // An iris is clearly darker than the white and skin around it; at the band's upper or lower
    // edge the darkness is a brow, a lash line or a frame.
    const bool atEdge = best.y == half || best.y == y1 - y0 + half;
    if (total / count - darkest < 12.0 || atEdge)
        return std::nullopt;
    return cv::Point2d(area.x + best.x, area.y + best.y) - middle;
}

Face landmarks(const Model &model, Pyramid &pyramid, Candidate c, double toFullX, double toFullY)
{
    Crop crop = cut(pyramid, c);
    const dlib::rectangle box(CropBox / 2, CropBox / 2, CropBox * 3 / 2 - 1, CropBox * 3 / 2 - 1);
    dlib::full_object_detection shape = model.predictor(dlib::cv_image<unsigned char>(crop.pixels), box);
    // A face that still leans on the crop is cut again upright: the model is surest on those.
    const auto partAt = [&](int i) {
        return cv::Point2d(double(shape.part(unsigned(i)).x()), double(shape.part(unsigned(i)).y()));
    };
    const auto eyeMiddle = [&](int first) {
        cv::Point2d m(0, 0);
        for (int i = first; i < first + 6; ++i)
            m += partAt(i) / 6.0;
        return m;
    };
    const cv::Point2d d = eyeMiddle(Landmark::LeftEyeFirst) - eyeMiddle(Landmark::RightEyeFirst);
    const double lean = std::atan2(d.y, d.x) * DegreesPerRadian;
    if (std::abs(lean) > 8.0 && std::abs(lean) < 60.0) {
        c.roll += lean;
        crop = cut(pyramid, c);
        shape = model.predictor(dlib::cv_image<unsigned char>(crop.pixels), box);
    }
    Face face;
    const auto toFull = [&](const cv::Point2d &inCrop) {
        const cv::Point2d p = apply(crop.toPicture, inCrop);
        return QPointF((p.x + 0.5) * toFullX, (p.y + 0.5) * toFullY);
    };
    for (int i = 0; i < Landmark::Count; ++i)
        face.points.append(toFull(partAt(i)));
    // Both eyes look the same way: their pupils sit alike in their outlines. When the two
    // findings disagree, or one eye gave none, the nearer one (a frame or a shadow pulls a
    // finding away) is taken for both.
    std::optional<cv::Point2d> offsets[2];
    cv::Point2d middles[2];
    for (int e = 0; e < 2; ++e) {
        std::vector<cv::Point2d> eye;
        const int first = e == 0 ? Landmark::RightEyeFirst : Landmark::LeftEyeFirst;
        for (int i = first; i < first + 6; ++i)
            eye.push_back(partAt(i));
        middles[e] = eyeMiddle(first);
        offsets[e] = pupilOffset(crop.pixels, eye);
    }
    const double apart = cv::norm(middles[1] - middles[0]);
    if (offsets[0] && offsets[1] && cv::norm(*offsets[0] - *offsets[1]) > 0.06 * apart) {
        const int nearer = cv::norm(*offsets[0]) <= cv::norm(*offsets[1]) ? 0 : 1;
        offsets[1 - nearer] = offsets[nearer];
    } else if (offsets[0] && !offsets[1]) {
        offsets[1] = offsets[0];
    } else if (offsets[1] && !offsets[0]) {
        offsets[0] = offsets[1];
    }
    for (int e = 0; e < 2; ++e)
        face.eyes[e] = toFull(middles[e] + offsets[e].value_or(cv::Point2d(0, 0)));
    // The box as found (turned boxes by their upright extent).
    const double half = c.size / 2.0;
    face.box = QRectF(QPointF((c.centre.x - half + 0.5) * toFullX, (c.centre.y - half + 0.5) * toFullY),
                      QPointF((c.centre.x + half + 0.5) * toFullX, (c.centre.y + half + 0.5) * toFullY));
    face.score = c.score;
    return face;
}

} // namespace

double Face::eyeDistance() const
{
    return std::hypot(eyes[1].x() - eyes[0].x(), eyes[1].y() - eyes[0].y());
}

double Face::rollDegrees() const
{
    return std::atan2(eyes[1].y() - eyes[0].y(), eyes[1].x() - eyes[0].x()) * DegreesPerRadian;
}

int FaceSearch::mainFace() const
{
    int best = -1;
    double bestWeight = 0.0;
    const QPointF middle(pictureSize.width() / 2.0, pictureSize.height() / 2.0);
    const double reach = std::max(1.0, std::hypot(middle.x(), middle.y()));
    for (int i = 0; i < faces.size(); ++i) {
        const Face &f = faces[i];
        const QPointF c = (f.eyes[0] + f.eyes[1]) / 2.0;
        const double off = std::hypot(c.x() - middle.x(), c.y() - middle.y()) / reach;
        const double weight = f.eyeDistance() * f.eyeDistance() * (1.0 - 0.6 * std::min(1.0, off));
        if (weight > bestWeight) {
            bestWeight = weight;
            best = i;
        }
    }
    return best;
}

void preloadFaceModel()
{
    startLoading();
}

QString faceModelError()
{
    return startLoading().get()->error;
}

QString faceModelPath()
{
    std::lock_guard<std::mutex> lock(modelMutex);
    return modelFile;
}

void setFaceModelPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(modelMutex);
    modelFile = path;
    modelFuture = {};
}

FaceSearch findFaces(const QImage &image, QSize fullSize)
{
    FaceSearch result;
    result.pictureSize = fullSize.isEmpty() ? image.size() : fullSize;
    const std::shared_ptr<const Model> model = startLoading().get();
    if (!model->error.isEmpty()) {
        result.modelMissing = true;
        result.error = model->error;
        return result;
    }
    if (image.width() < 16 || image.height() < 16)
        return result;
    const cv::Mat gray = grayOf(image);
    dlib::frontal_face_detector &detector = detectorOf(model);
    const double pixels = double(gray.cols) * gray.rows;

    const double k1 = std::min(2.0, std::sqrt(CoarsePixels / pixels));
    const cv::Mat coarse = resized(gray, k1);
    std::vector<Candidate> found = scan(detector, coarse, k1, 0.0);
    if (found.empty()) {
        // Heads tilted further than the detector takes: turned copies, one on another thread.
        auto other = std::async(std::launch::async, [&] { return scan(detectorOf(model), coarse, k1, -TurnDegrees); });
        found = scan(detector, coarse, k1, TurnDegrees);
        const std::vector<Candidate> more = other.get();
        found.insert(found.end(), more.begin(), more.end());
        found = merged(found);
    }
    if (found.empty()) {
        // Faces framed from further away: an enlarged copy.
        const double k2 = std::min(std::max(FineWidth / gray.cols, 1.4 * k1), std::sqrt(FinePixels / pixels));
        if (k2 > 1.2 * k1)
            found = scan(detector, resized(gray, k2), k2, 0.0);
    }

    Pyramid pyramid(gray);
    const double toFullX = double(result.pictureSize.width()) / image.width();
    const double toFullY = double(result.pictureSize.height()) / image.height();
    for (const Candidate &c : found)
        result.faces.append(landmarks(*model, pyramid, c, toFullX, toFullY));
    return result;
}

FaceSearch findFaceNear(const QImage &image, double faceWidth, double rollDegrees)
{
    FaceSearch result;
    result.pictureSize = image.size();
    const std::shared_ptr<const Model> model = startLoading().get();
    if (!model->error.isEmpty()) {
        result.modelMissing = true;
        result.error = model->error;
        return result;
    }
    if (image.width() < 16 || image.height() < 16 || faceWidth <= 0.0)
        return result;
    const cv::Mat gray = grayOf(image);
    // The detector's window is 80 pixels: a face of about 110 is found at the first levels of its
    // pyramid, and the copy it scans stays small. The landmarks are placed on the image itself.
    const double k = std::clamp(110.0 / faceWidth, 0.1, 2.0);
    const cv::Mat work = resized(gray, k);
    // A head that leans is scanned on a copy turned upright (the detector takes about 15 degrees),
    // then, when it is not there, as it is.
    const bool leans = std::abs(rollDegrees) > 8.0 && std::abs(rollDegrees) < 60.0;
    std::vector<Candidate> found = scan(detectorOf(model), work, k, leans ? -rollDegrees : 0.0);
    if (found.empty() && leans)
        found = scan(detectorOf(model), work, k, 0.0);
    Pyramid pyramid(gray);
    for (const Candidate &c : found)
        result.faces.append(landmarks(*model, pyramid, c, 1.0, 1.0));
    return result;
}

} // namespace Align
