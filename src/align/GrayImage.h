#pragma once
// Inside align/ only: a QImage's grey copy as an OpenCV matrix, for the .cpp files that work on
// pixels with OpenCV. No header outside align/*.cpp may include this one.

#include <QImage>

#include <opencv2/core.hpp>

namespace Align {

// The picture's grey values at its own size, in a matrix of its own (no view of the QImage).
cv::Mat grayOf(const QImage &image);

} // namespace Align
