#include "pictures/PictureBudget.h"

#include <QImageReader>

#include <algorithm>
#include <cmath>

namespace PictureBudget {

QSize canvasSize(QSize natural)
{
    const qint64 pixels = qint64(natural.width()) * natural.height();
    if (pixels <= MaxCanvasPixels)
        return natural;
    const double scale = std::sqrt(double(MaxCanvasPixels) / double(pixels));
    return QSize(std::max(1, int(natural.width() * scale)), std::max(1, int(natural.height() * scale)));
}

void applyQtLimit()
{
    static const bool applied = [] {
        QImageReader::setAllocationLimit(QtAllocationLimitMB);
        return true;
    }();
    Q_UNUSED(applied);
}

} // namespace PictureBudget
