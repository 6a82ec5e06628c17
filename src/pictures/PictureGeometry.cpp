#include "pictures/PictureGeometry.h"

#include <algorithm>
#include <cmath>

namespace PictureGeometry {

Fit fitPicture(QSize natural, QSize frame)
{
    Fit fit;
    const int pw = natural.width();
    const int ph = natural.height();
    if (pw <= 0 || ph <= 0)
        return fit;

    const int fw = frame.width();
    const int fh = frame.height();
    // The ratio is deliberately kept in single precision: 4:3 pictures then come out one pixel
    // lower than exact arithmetic would give, and the panels have always looked like that.
    const float ratio = float(pw) / float(ph);

    int w = pw;
    int h = ph;
    if (pw > fw) {
        w = fw - 16;
        h = int(std::trunc(double(w) / double(ratio)));
    }
    if (h > fh) {
        h = fh - 40;
        w = int(std::trunc(double(ratio) * double(h)));
    }
    fit.width = w;
    fit.height = h;
    fit.stretch = true;
    // C++ integer division truncates towards zero, which is the rounding wanted here.
    fit.top = (fh - h) / 2;
    fit.left = (fw - w) / 2;
    return fit;
}

QVector<QRect> arrangeFrames(int hostWidth, int hostHeight, int n)
{
    QVector<QRect> frames;
    if (n <= 0)
        return frames;
    frames.reserve(n);
    const int width = hostWidth - 22;
    const int height = hostHeight / n - 12;
    int y = 0;
    for (int i = 0; i < n; ++i) {
        y += 8;
        frames.append(QRect(12, y, width, height));
        y += height;
    }
    return frames;
}

int beforeColumnWidth(int innerWidth)
{
    return innerWidth / 2;
}

bool splitterAccepts(int newWidth)
{
    return newWidth > 1;
}

int clampMainWidth(int width)
{
    return std::max(width, MinimumMainWidth);
}

} // namespace PictureGeometry
