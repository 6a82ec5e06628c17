#pragma once
// The large-picture window: one picture at its natural size, unscaled and centred, in a
// window of its own whose client area is exactly the picture's size when it opens.

#include <QDialog>
#include <QImage>

class QLabel;

class TfrmLarImage : public QDialog {
    Q_OBJECT
public:
    // Keeps its own copy of the picture; the caller may drop its own at once. A picture handed
    // over as a temporary (or moved in) is taken without copying, so a full-size photo is held
    // once.
    explicit TfrmLarImage(QImage picture);
    QLabel *Image1 = nullptr;
};
