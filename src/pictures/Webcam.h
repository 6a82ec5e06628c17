#pragma once
// A webcam (or a camera that shows itself as one, through an HDMI grabber) through Qt
// Multimedia: the live picture from its video stream, the shot as a still from the camera where
// it can take one, otherwise the newest frame of the stream.

#include "pictures/CaptureSource.h"

#include <QStringList>

#include <memory>

class Webcam : public CaptureSource {
    Q_OBJECT
public:
    struct Found {
        QByteArray id;
        QString description; // "Integrated Camera"
    };
    // The webcams on this computer now. Empty with whyNot saying what to check when there is none.
    static QVector<Found> list(QString *whyNot);

    // The webcam of that id, or the computer's default one when empty.
    explicit Webcam(const QByteArray &id = QByteArray(), QObject *parent = nullptr);
    ~Webcam() override;

    QString name() const override;
    bool start(QString *whyNot) override;
    void stop() override;
    QString shoot(const QString &folder, QString *whyNot) override;

private:
    struct Private;
    void endView(const QString &why);
    void newestFrame();
    std::unique_ptr<Private> d;
};
