#include "align/EyeDetect.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>

namespace Align {

namespace {

QString &folderSetting()
{
    static QString folder = QStringLiteral(BELCARA_HAAR_DIR);
    return folder;
}

cv::Mat grayOf(const QImage &picture, double factor)
{
    QImage small = picture;
    if (factor < 1.0)
        small = picture.scaled(std::max(1, int(std::lround(picture.width() * factor))),
                               std::max(1, int(std::lround(picture.height() * factor))), Qt::IgnoreAspectRatio,
                               Qt::SmoothTransformation);
    small = small.convertToFormat(QImage::Format_Grayscale8);
    cv::Mat view(small.height(), small.width(), CV_8UC1, const_cast<uchar *>(small.constBits()),
                 size_t(small.bytesPerLine()));
    cv::Mat gray;
    cv::equalizeHist(view, gray); // copies out of the QImage's pixels
    return gray;
}

bool load(cv::CascadeClassifier &c, const QString &file)
{
    const QString path = folderSetting() + QLatin1Char('/') + file;
    if (!QFile::exists(path))
        return false;
    return c.load(path.toStdString()) && !c.empty();
}

} // namespace

QString detectorFolder()
{
    return folderSetting();
}

void setDetectorFolder(const QString &folder)
{
    folderSetting() = folder;
}

EyeBars findEyeBars(const QImage &picture, int workingEdge)
{
    EyeBars result;
    if (picture.isNull())
        return result;
    // The classifiers keep state while detecting: one pair per call, loaded once per folder.
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    static QString loadedFrom;
    static cv::CascadeClassifier faces, eyes;
    if (loadedFrom != folderSetting() || faces.empty() || eyes.empty()) {
        faces = cv::CascadeClassifier();
        eyes = cv::CascadeClassifier();
        if (!load(faces, QStringLiteral("haarcascade_frontalface_alt2.xml"))
            || !load(eyes, QStringLiteral("haarcascade_eye.xml"))) {
            result.detectorMissing = true;
            loadedFrom.clear();
            return result;
        }
        loadedFrom = folderSetting();
    }

    const int edge = std::max(picture.width(), picture.height());
    const double factor = edge > workingEdge ? double(workingEdge) / edge : 1.0;
    const cv::Mat gray = grayOf(picture, factor);
    const int minFace = std::max(24, std::min(gray.cols, gray.rows) / 8);

    std::vector<cv::Rect> found;
    faces.detectMultiScale(gray, found, 1.1, 3, 0, cv::Size(minFace, minFace));
    result.facesFound = int(found.size());
    for (const cv::Rect &face : found) {
        // Eyes sit in the upper half of a face; the band below the forehead.
        const cv::Rect upper(face.x, face.y + face.height / 5, face.width, face.height * 2 / 5);
        std::vector<cv::Rect> inFace;
        const int minEye = std::max(8, face.width / 10);
        eyes.detectMultiScale(gray(upper), inFace, 1.1, 3, 0, cv::Size(minEye, minEye),
                              cv::Size(face.width / 2, face.width / 2));
        QRectF band;
        for (const cv::Rect &e : inFace) {
            // The bar spans every eye found on the face.
            const QRectF r(upper.x + e.x, upper.y + e.y, e.width, e.height);
            band = band.isNull() ? r : band.united(r);
        }
        if (!inFace.empty() && band.width() >= face.width * 0.45) {
            result.eyesFound += int(inFace.size());
        } else {
            // The eye line of a frontal face: about 0.38 of its height, eyes spanning the
            // middle three quarters of its width.
            const double cy = face.y + face.height * 0.38;
            band = QRectF(face.x + face.width * 0.14, cy - face.height * 0.09, face.width * 0.72, face.height * 0.18);
            if (!inFace.empty())
                result.eyesFound += int(inFace.size());
        }
        // A little wider and taller than the eyes themselves, then back to the picture's size.
        const double padX = band.width() * 0.08, padY = band.height() * 0.2;
        band.adjust(-padX, -padY, padX, padY);
        const QRectF full(band.x() / factor, band.y() / factor, band.width() / factor, band.height() / factor);
        result.bars.append(full.intersected(QRectF(QPointF(0, 0), QSizeF(picture.size()))));
    }
    return result;
}

} // namespace Align
