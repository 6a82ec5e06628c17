#pragma once
// The large-picture window: one picture at its natural size, unscaled and centred, in a
// window of its own whose client area is exactly the picture's size when it opens.

#include <QDialog>
#include <QImage>

class QLabel;

class TfrmLarImage : public QDialog {
    Q_OBJECT
public:
    // Keeps its own copy of the picture; the caller may drop its own at once.
    explicit TfrmLarImage(const QImage &picture);
    QLabel *Image1 = nullptr;
};
