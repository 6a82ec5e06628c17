#include "pictures/Webcam.h"

#include "pictures/ExifDate.h"

#include <QCamera>
#include <QCameraDevice>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QImageCapture>
#include <QMediaCaptureSession>
#include <QMediaDevices>
#include <QTimer>
#include <QVideoFrame>
#include <QVideoSink>

namespace {
const QString CheckWebcam = QStringLiteral("请检查：摄像头已插好（USB 摄像头换一个 USB 接口试试），"
                                           "没有被视频会议等其他程序占用。");
} // namespace

struct Webcam::Private {
    QByteArray id;
    QCameraDevice device;
    QMediaDevices devices;
    std::unique_ptr<QCamera> camera;
    std::unique_ptr<QImageCapture> still;
    QMediaCaptureSession session;
    QVideoSink sink;
    QVideoFrame waiting;    // the newest frame of the stream, not yet shown
    bool scheduled = false; // its conversion is on its way
    QImage latest;          // the newest frame shown
    bool running = false;
};

QVector<Webcam::Found> Webcam::list(QString *whyNot)
{
    QVector<Found> found;
    for (const QCameraDevice &device : QMediaDevices::videoInputs())
        found.push_back({device.id(), device.description()});
    if (found.isEmpty() && whyNot)
        *whyNot = QStringLiteral("没有找到摄像头。") + CheckWebcam;
    return found;
}

Webcam::Webcam(const QByteArray &id, QObject *parent) : CaptureSource(parent), d(new Private)
{
    d->id = id;
    // Frames arrive on the stream's own thread; only the newest is turned into a picture, once
    // the window thread gets to it, so a slow window never queues a backlog.
    connect(&d->sink, &QVideoSink::videoFrameChanged, this, [this](const QVideoFrame &f) {
        d->waiting = f;
        if (!d->scheduled) {
            d->scheduled = true;
            QMetaObject::invokeMethod(this, &Webcam::newestFrame, Qt::QueuedConnection);
        }
    });
    connect(&d->devices, &QMediaDevices::videoInputsChanged, this, [this] {
        if (!d->running)
            return;
        for (const QCameraDevice &device : QMediaDevices::videoInputs())
            if (device.id() == d->device.id())
                return;
        endView(QStringLiteral("摄像头已断开，实时画面已结束。") + CheckWebcam);
    });
}

Webcam::~Webcam()
{
    stop();
}

QString Webcam::name() const
{
    return d->device.isNull() ? QStringLiteral("摄像头") : QStringLiteral("摄像头 %1").arg(d->device.description());
}

bool Webcam::start(QString *whyNot)
{
    stop();
    d->device = QCameraDevice();
    const QList<QCameraDevice> inputs = QMediaDevices::videoInputs();
    for (const QCameraDevice &device : inputs)
        if (device.id() == d->id)
            d->device = device;
    if (d->device.isNull() && d->id.isEmpty())
        d->device = QMediaDevices::defaultVideoInput();
    if (d->device.isNull()) {
        if (whyNot)
            *whyNot = QStringLiteral("没有找到摄像头。") + CheckWebcam;
        return false;
    }
    d->camera = std::make_unique<QCamera>(d->device);
    d->still = std::make_unique<QImageCapture>();
    d->session.setCamera(d->camera.get());
    d->session.setImageCapture(d->still.get());
    d->session.setVideoSink(&d->sink);
    connect(d->camera.get(), &QCamera::errorOccurred, this, [this](QCamera::Error error, const QString &text) {
        if (error != QCamera::NoError)
            endView(QStringLiteral("摄像头出错，实时画面已结束（%1）。").arg(text) + CheckWebcam);
    });
    d->running = true;
    d->camera->start();
    if (d->camera->error() != QCamera::NoError) {
        const QString text = d->camera->errorString();
        stop();
        if (whyNot)
            *whyNot = QStringLiteral("摄像头无法打开（%1）。").arg(text) + CheckWebcam;
        return false;
    }
    return true;
}

void Webcam::stop()
{
    d->running = false;
    d->session.setImageCapture(nullptr);
    d->session.setCamera(nullptr);
    if (d->camera) {
        d->camera->disconnect(this);
        d->camera->stop();
    }
    d->still.reset();
    d->camera.reset();
    d->waiting = QVideoFrame();
    d->latest = QImage();
}

void Webcam::endView(const QString &why)
{
    if (!d->running)
        return;
    stop();
    emit ended(why);
}

void Webcam::newestFrame()
{
    d->scheduled = false;
    QVideoFrame f = d->waiting;
    d->waiting = QVideoFrame();
    if (!d->running || !f.isValid())
        return;
    const QImage image = f.toImage();
    if (image.isNull())
        return;
    d->latest = image.convertToFormat(QImage::Format_RGB32);
    emit frame(d->latest);
}

QString Webcam::shoot(const QString &folder, QString *whyNot)
{
    if (!d->running) {
        if (whyNot)
            *whyNot = QStringLiteral("摄像头没有打开，未能拍摄。") + CheckWebcam;
        return QString();
    }
    QImage shot;
    // A still from the camera where it takes one (often larger than the stream), within a few
    // seconds; otherwise the newest frame of the stream.
    if (d->still && d->still->isReadyForCapture()) {
        QEventLoop wait;
        QTimer timeout;
        timeout.setSingleShot(true);
        const int id = d->still->capture();
        connect(d->still.get(), &QImageCapture::imageAvailable, &wait, [&](int taken, const QVideoFrame &f) {
            if (taken == id) {
                shot = f.toImage();
                wait.quit();
            }
        });
        connect(d->still.get(), &QImageCapture::errorOccurred, &wait, [&](int failed, auto...) {
            if (failed == id || failed == -1)
                wait.quit();
        });
        connect(&timeout, &QTimer::timeout, &wait, &QEventLoop::quit);
        connect(this, &CaptureSource::ended, &wait, &QEventLoop::quit);
        timeout.start(5000);
        if (id >= 0)
            wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (shot.isNull())
        shot = d->latest;
    if (shot.isNull()) {
        if (whyNot)
            *whyNot = QStringLiteral("摄像头还没有画面，未能拍摄。") + CheckWebcam;
        return QString();
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QString path = QDir(folder).filePath(
        QStringLiteral("webcam-%1.jpg").arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))));
    if (!ExifDate::writeJpeg(path, shot.convertToFormat(QImage::Format_RGB32), now, 92, whyNot))
        return QString();
    return path;
}
