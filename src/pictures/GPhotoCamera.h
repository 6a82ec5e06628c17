#pragma once
// A system camera on USB through libgphoto2 (PTP cameras, Canon EOS and Nikon bodies with live
// view): the live picture from the camera's viewfinder preview, the shot taken by the camera at
// full resolution and downloaded from it. libgphoto2 stays inside GPhotoCamera.cpp.
//
// The previews are fetched on a thread of their own, so the window never waits on the USB line;
// the shot waits for the preview in progress to finish and then has the camera to itself.

#include "pictures/CaptureSource.h"

#include <QVector>

#include <memory>

class GPhotoCamera : public CaptureSource {
    Q_OBJECT
public:
    struct Found {
        QString model; // "Canon EOS 80D"
        QString port;  // "usb:001,007"
    };
    // The cameras on USB now. Empty with whyNot saying what to check when there is none, or when
    // the listing itself failed.
    static QVector<Found> list(QString *whyNot);
    // What a libgphoto2 result means for the user, and what to check.
    static QString explain(int result);
    // Whether a libgphoto2 result means the camera is gone (unplugged, switched off).
    static bool isGone(int result);

    // The camera named, or the first one found when empty.
    explicit GPhotoCamera(const Found &camera = Found(), QObject *parent = nullptr);
    ~GPhotoCamera() override;

    QString name() const override;
    bool start(QString *whyNot) override;
    void stop() override;
    QString shoot(const QString &folder, QString *whyNot) override;

private:
    struct Private;
    void endView(const QString &why);
    std::unique_ptr<Private> d;
};
