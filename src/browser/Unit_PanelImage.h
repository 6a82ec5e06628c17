#pragma once
// One picture frame of the main window's before/after columns. The TPanelImage object itself is
// never on screen: it owns a raised frame (Panel) placed in its host and the picture control
// (Image) inside that frame, fits the picture whenever the frame changes size and opens the
// picture large when it is clicked.

#include "pictures/PreviewService.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

#include <functional>

class QFrame;
class QTimer;

// The picture control: draws its picture scaled to its own size, shows a hand pointer and
// reports a click made with the left button. Its picture is decoded for the control's size in
// device pixels, so on a high-density screen it is drawn pixel for pixel.
class TPictureControl : public QWidget {
    Q_OBJECT
public:
    explicit TPictureControl(QWidget *parent);
    void setPicture(const QImage &picture);
    const QImage &picture() const { return m_picture; }
    bool hasPicture() const { return !m_picture.isNull(); }

signals:
    void clicked();
    // The screen's device pixel ratio differs from the one of the last paint (the window moved
    // to another screen, or the screen's scaling changed).
    void ratioChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QImage m_picture;
    bool m_pressed = false;
    qreal m_paintedRatio = 0;
};

class TPanelImage : public QObject {
    Q_OBJECT
public:
    // Creates the frame at 0,0 with no size inside host; host owns this object, the frame and
    // the picture control.
    explicit TPanelImage(QWidget *host);
    ~TPanelImage() override;

    TPictureControl *Image = nullptr;
    QFrame *Panel = nullptr;
    QString FileName;

    void SetFrameLeft(int left);
    // Loads the picture if a file exists under fileName (nothing otherwise) and remembers the
    // name. Only the picture's header is read here, so the frame is laid out at once; its
    // pixels are decoded on a worker as soon as the frame has a size, and drawn when they come.
    // Raises AppError with the decoder's text for an unknown file or one whose header is damaged;
    // a picture found damaged while decoding goes to onFailed.
    void LoadPicture(const QString &fileName);
    // Fits the picture into the frame: natural size when it fits, otherwise shrunk keeping its
    // proportions, centred. Runs on every size change of the frame.
    void FitPicture();
    // A click on the picture: reads the Open setting; true hands the file to the system's
    // program for it, false shows it in the large-picture window.
    void ImageClick();
    bool ReadOpenSetting() const;

    // The picture's natural size (upright), as the fitting uses it.
    QSize naturalSize() const { return m_natural; }
    // Whether a picture was loaded (its pixels may still be on their way).
    bool hasPicture() const { return m_natural.isValid() && !FileName.isEmpty(); }

    // The case this frame shows: its requests are abandoned with the group's generation. Set
    // before LoadPicture; a frame left alone has a group of its own.
    void setPreviewGroup(const PreviewGroup &group, quint64 generation);
    // Called on the window's thread when decoding finds the picture damaged; the frame does
    // nothing more after calling it, so the handler may remove it. Without a handler the frame
    // shows the error itself and empties.
    std::function<void(TPanelImage *frame, const QString &error)> onFailed;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void decodeForShownSize();
    void requestPreview(QSize shown);
    void previewArrived(int serial, const PreviewResult &result);

    QSize m_natural;
    PreviewGroup m_group;
    quint64 m_generation = 0;
    QSize deviceSize(QSize logical) const;

    QSize m_asked;          // the largest size asked of the decoder so far, in device pixels
    qreal m_askedRatio = 0; // the device pixel ratio it was asked for
    int m_serial = 0;       // requests made, and the latest one whose preview is shown
    int m_shownSerial = 0;
    QPointer<QFrame> m_frame;    // Panel, while it exists
    QTimer *m_sharpen = nullptr; // re-decodes a preview that became too small for the frame
};
