#include "align/GrayImage.h"

#include <opencv2/imgproc.hpp>

namespace Align {

cv::Mat grayOf(const QImage &image)
{
    if (image.isNull())
        return cv::Mat();
    if (image.format() == QImage::Format_Grayscale8) {
        const cv::Mat view(image.height(), image.width(), CV_8UC1, const_cast<uchar *>(image.constBits()),
                           size_t(image.bytesPerLine()));
        return view.clone();
    }
    QImage source = image;
    if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32
        && source.format() != QImage::Format_ARGB32_Premultiplied)
        source = source.convertToFormat(QImage::Format_RGB32);
#if Q_BYTE_ORDER != Q_LITTLE_ENDIAN
    // 0xAARRGGBB words are A, R, G, B in memory here: have bytes R, G, B, A.
    source = source.convertToFormat(QImage::Format_RGBA8888);
#endif
    // A view of the QImage's pixels; cvtColor writes a matrix of its own.
    const cv::Mat pixels(source.height(), source.width(), CV_8UC4, const_cast<uchar *>(source.constBits()),
                         size_t(source.bytesPerLine()));
    cv::Mat gray;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    cv::cvtColor(pixels, gray, cv::COLOR_BGRA2GRAY);
#else
    cv::cvtColor(pixels, gray, cv::COLOR_RGBA2GRAY);
#endif
    return gray;
}

} // namespace Align
