#include "pictures/CaptureSource.h"

#include "data/AppError.h"
#include "pictures/ExifDate.h"
#include "pictures/PictureLoader.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QtMath>

#include <cmath>

// ---- the demo camera ------------------------------------------------------------------------

DemoCamera::DemoCamera(const QImage &subject, QSize frameSize, QObject *parent)
    : CaptureSource(parent), m_subject(subject.convertToFormat(QImage::Format_RGB32)), m_size(frameSize)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DemoCamera::tick);
    // Drawn from a reduced copy: the frame never needs more than its own resolution.
    if (!m_subject.isNull() && (m_subject.width() > m_size.width() * 2 || m_subject.height() > m_size.height() * 2))
        m_subject = m_subject.scaled(m_size * 2, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QString DemoCamera::name() const
{
    return QStringLiteral("演示相机");
}

bool DemoCamera::start(QString *whyNot)
{
    if (m_unplugged || m_subject.isNull()) {
        if (whyNot)
            *whyNot = QStringLiteral("演示相机没有可拍的画面（案例没有术前照片）。");
        return false;
    }
    m_clock.start();
    m_timer.start(1000 / m_fps);
    tick();
    return true;
}

void DemoCamera::stop()
{
    m_timer.stop();
}

void DemoCamera::setFramesPerSecond(int fps)
{
    m_fps = qBound(1, fps, 200);
    if (m_timer.isActive())
        m_timer.start(1000 / m_fps);
}

DemoCamera::Pose DemoCamera::poseAt(qint64 ms)
{
    const double t = double(ms % 12000) / 1000.0;
    Pose p;
    if (t < 3.0)
        return p;
    // Out and back again as one smooth swell over the remaining nine seconds.
    const double k = std::sin((t - 3.0) / 9.0 * M_PI);
    p.roll = 8.0 * k;
    p.scale = 1.0 - 0.15 * k;
    p.dx = 0.06 * k;
    p.dy = -0.03 * k;
    return p;
}

void DemoCamera::setPose(const Pose &pose)
{
    m_fixed = true;
    m_pose = pose;
    if (m_timer.isActive())
        tick();
}

void DemoCamera::resumeCycle()
{
    m_fixed = false;
}

DemoCamera::Pose DemoCamera::pose() const
{
    return m_fixed || !m_clock.isValid() ? m_pose : poseAt(m_clock.elapsed());
}

QImage DemoCamera::frameAt(const Pose &pose) const
{
    QImage out(m_size, QImage::Format_RGB32);
    out.fill(QColor(40, 40, 40));
    if (m_subject.isNull())
        return out;
    QPainter g(&out);
    g.setRenderHint(QPainter::SmoothPixmapTransform);
    const double fit = std::min(double(m_size.width()) / m_subject.width(),
                                double(m_size.height()) / m_subject.height());
    g.translate(m_size.width() / 2.0 + pose.dx * m_size.width(), m_size.height() / 2.0 + pose.dy * m_size.height());
    g.rotate(pose.roll);
    g.scale(fit * pose.scale, fit * pose.scale);
    g.drawImage(QPointF(-m_subject.width() / 2.0, -m_subject.height() / 2.0), m_subject);
    g.end();
    if (pose.light != 1.0 || pose.warmth != 0.0) {
        // Brighter or darker light, warmer (redder) or colder (bluer) light on the whole scene.
        const double r = pose.light * (1.0 + pose.warmth), gr = pose.light, b = pose.light * (1.0 - pose.warmth);
        for (int y = 0; y < out.height(); ++y) {
            auto *px = reinterpret_cast<QRgb *>(out.scanLine(y));
            for (int x = 0; x < out.width(); ++x)
                px[x] = qRgb(std::min(255, int(qRed(px[x]) * r)), std::min(255, int(qGreen(px[x]) * gr)),
                             std::min(255, int(qBlue(px[x]) * b)));
        }
    }
    return out;
}

void DemoCamera::tick()
{
    if (!m_fixed)
        m_pose = poseAt(m_clock.elapsed());
    emit frame(frameAt(m_pose));
}

void DemoCamera::unplug()
{
    m_unplugged = true;
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    emit ended(QStringLiteral("相机已断开，实时画面已结束。请检查相机的连接线和电源。"));
}

QString DemoCamera::shoot(const QString &folder, QString *whyNot)
{
    if (m_unplugged) {
        if (whyNot)
            *whyNot = QStringLiteral("相机已断开，未能拍摄。");
        return QString();
    }
    // The shot at the subject's full resolution (a camera's shot is larger than its live view).
    const QSize full = m_subject.size().scaled(m_size * 2, Qt::KeepAspectRatio);
    DemoCamera big(m_subject, full);
    const QImage shot = big.frameAt(pose());
    const QDateTime now = QDateTime::currentDateTime();
    const QString path = QDir(folder).filePath(
        QStringLiteral("demo-%1.jpg").arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))));
    // Dated as a camera dates its pictures, so that the case shows when the photo was taken.
    if (!ExifDate::writeJpeg(path, shot, now, 92, whyNot))
        return QString();
    return path;
}

// ---- the watched folder ---------------------------------------------------------------------

namespace {
bool isPictureName(const QString &name)
{
    const QString s = name.toLower();
    return s.endsWith(QLatin1String(".jpg")) || s.endsWith(QLatin1String(".jpeg")) || s.endsWith(QLatin1String(".png"))
           || s.endsWith(QLatin1String(".bmp"));
}
} // namespace

WatchedFolder::WatchedFolder(const QString &folder, QObject *parent) : CaptureSource(parent), m_folder(folder)
{
    connect(&m_timer, &QTimer::timeout, this, &WatchedFolder::scan);
}

QString WatchedFolder::name() const
{
    return QStringLiteral("监视文件夹");
}

bool WatchedFolder::start(QString *whyNot)
{
    const QDir dir(m_folder);
    if (m_folder.isEmpty() || !dir.exists()) {
        if (whyNot)
            *whyNot = QStringLiteral("找不到监视的文件夹“%1”，请检查相机上传的文件夹或读卡器。").arg(m_folder);
        return false;
    }
    m_seen.clear();
    m_pending.clear();
    for (const QString &name : dir.entryList(QDir::Files))
        m_seen.insert(name);
    m_timer.start(500);
    return true;
}

void WatchedFolder::stop()
{
    m_timer.stop();
}

void WatchedFolder::scan()
{
    const QDir dir(m_folder);
    if (!dir.exists()) {
        if (m_timer.isActive()) {
            m_timer.stop();
            emit ended(QStringLiteral("监视的文件夹已不可用，请检查读卡器或网络连接。"));
        }
        return;
    }
    for (const QString &name : dir.entryList(QDir::Files)) {
        if (m_seen.contains(name) || !isPictureName(name) || name.startsWith(QLatin1Char('.')))
            continue;
        const qint64 size = QFileInfo(dir.filePath(name)).size();
        const auto it = m_pending.find(name);
        // Offered at the second look that finds the same, non-zero size: the upload is done.
        if (it == m_pending.end() || it.value() != size || size == 0) {
            m_pending.insert(name, size);
            continue;
        }
        const QString path = dir.filePath(name);
        QImage image;
        try {
            image = PictureLoader::loadPicture(path);
        } catch (const AppError &) {
            // A damaged or unfinished picture: looked at again, offered once it can be read.
        }
        if (image.isNull())
            continue;
        m_pending.remove(name);
        m_seen.insert(name);
        m_offered = path;
        emit pictureOffered(path);
        emit frame(image);
    }
}

QString WatchedFolder::shoot(const QString &, QString *whyNot)
{
    if (m_offered.isEmpty() || !QFileInfo::exists(m_offered)) {
        if (whyNot)
            *whyNot = QStringLiteral("文件夹中还没有新的照片。");
        return QString();
    }
    return m_offered;
}
