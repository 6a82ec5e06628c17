#pragma once
// Arithmetic of the picture panels: how frames are stacked in a host and how a picture is fitted
// into its frame. Plain functions so that the windows only apply the numbers.

#include <QRect>
#include <QSize>
#include <QVector>

namespace PictureGeometry {

// Where and how large the picture control stands inside its frame. `stretch` is false only when
// there is no picture (an empty natural size): the control is then left alone.
struct Fit {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool stretch = false;

    bool operator==(const Fit &o) const
    {
        return left == o.left && top == o.top && width == o.width && height == o.height && stretch == o.stretch;
    }
};

// Fits a picture of natural size `natural` into a frame of size `frame`. A picture that fits is
// only centred, never enlarged; a too-wide one becomes frame width - 16, a too-tall one frame
// height - 40, keeping the aspect ratio held in single precision and truncating. Offsets are
// halved with rounding towards zero and may be negative for tiny frames.
Fit fitPicture(QSize natural, QSize frame);

// Stacks n frames in a host of hostWidth x hostHeight: each frame 12 pixels from the left,
// hostWidth - 22 wide, (hostHeight div n) - 12 high, the first 8 pixels below the top and each
// following one 8 pixels below the previous. Returns n rectangles (none for n <= 0), in the order
// the frames are shown from top to bottom. Sizes may come out zero or negative for tiny hosts.
QVector<QRect> arrangeFrames(int hostWidth, int hostHeight, int n);

// Width of the before column when the picture area is resized: half the inner width, rounded
// towards zero.
int beforeColumnWidth(int innerWidth);

// Whether the splitter may give the before column this width (more than one pixel).
bool splitterAccepts(int newWidth);

// The main window never becomes narrower than this.
constexpr int MinimumMainWidth = 400;
int clampMainWidth(int width);

} // namespace PictureGeometry
