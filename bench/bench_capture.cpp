// The capture station with its demo camera filming a real face (the first argument, or a1.jpg of
// the real photos beside the source tree): live view frames per second with ghost and guidance at
// 1280x720 and the window thread's time per frame, the latency from a pose change to its hint, the
// pose error on the camera's known poses, and shot-to-stored time for a 24 MP picture.
#include "align/Faces.h"
#include "align/PoseGuide.h"
#include "capture/CaptureWindow.h"
#include "consent/ShotStore.h"
#include "data/Schema.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "pictures/CaptureSource.h"
#include "pictures/PictureLoader.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
const QString Customer = QStringLiteral("A1200612070001");

void waitFor(const std::function<bool()> &done, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    // Sleeps between events as the program's own loop does: a polling window thread would take
    // a core from the camera and the face finder being measured.
    QTimer tick;
    tick.start(5);
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString photo = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(BELCARA_FACES_DIR "/a1.jpg");
    if (!QFile::exists(photo)) {
        std::printf("no photo to film: %s\n", qPrintable(photo));
        return 1;
    }
    Align::preloadFaceModel();
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    Settings::setPath(folder + QStringLiteral("Belcara.ini"));
    Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
    QDir().mkpath(folder + QStringLiteral("pic/") + Customer);
    QFile::copy(photo, folder + QStringLiteral("pic/") + Customer + QStringLiteral("/1.jpg"));
    TDataMod mod(folder);
    mod.DataModuleCreate();
    const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn, false);
    QSqlQuery q(db);
    q.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术前) VALUES ('%1', '面部', '%1\\1.jpg')")
               .arg(Customer));
    q.exec(QStringLiteral("SELECT max(id) FROM Surgery"));
    q.next();
    const qint64 caseId = q.value(0).toLongLong();
    q.finish();

    CaptureWindow w(nullptr, mod.ADOConn, folder, caseId, true, 0);
    w.resize(1400, 900);
    w.show();
    waitFor([&] { return w.beforeSearched(); });
    if (!w.startSource() || !w.demoCamera()) {
        std::printf("the demo camera did not start\n");
        return 1;
    }
    DemoCamera *camera = w.demoCamera();
    std::printf("photo %s, live view 1280x720, %d threads\n", qPrintable(photo), QThread::idealThreadCount());

    // Live view: the camera at 30 frames a second, the cycle playing.
    camera->setFramesPerSecond(30);
    int frames = 0;
    std::vector<double> busy;
    QObject::connect(camera, &CaptureSource::frame, &w, [&] {
        QTimer::singleShot(0, &w, [&] {
            ++frames;
            busy.push_back(w.lastFrameMs());
        });
    });
    const int guidedBefore = w.guidedFrames();
    QElapsedTimer run;
    run.start();
    waitFor([&] { return run.elapsed() >= 5000; }, 6000);
    const double seconds = run.elapsed() / 1000.0;
    std::sort(busy.begin(), busy.end());
    std::printf("live view: %.1f frames/s shown, %.1f guidance searches/s; window thread per frame: median "
                "%.1f ms, 95th %.1f ms\n",
                frames / seconds, (w.guidedFrames() - guidedBefore) / seconds, median(busy),
                busy.empty() ? 0.0 : busy[size_t(busy.size() * 0.95)]);

    // Latency: from a pose change to the hint that tells of it.
    std::vector<double> latency;
    for (int i = 0; i < 12; ++i) {
        DemoCamera::Pose p;
        if (i % 2 == 0) {
            p.scale = 0.85;
            p.roll = 5.0;
        }
        camera->setPose(DemoCamera::Pose());
        waitFor([&] { return w.hint() == QStringLiteral("姿势一致") || i % 2 == 1; }, 3000);
        const int seen = w.guidedFrames();
        waitFor([&] { return w.guidedFrames() >= seen + 4; }, 3000);
        if (i % 2 == 1)
            continue;
        QElapsedTimer t;
        t.start();
        camera->setPose(p);
        waitFor([&] { return w.hint().contains(QStringLiteral("靠近")); }, 3000);
        latency.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("guidance latency (pose change to hint): median %.0f ms, worst %.0f ms\n", median(latency),
                *std::max_element(latency.begin(), latency.end()));

    // Pose error: the measured differences against those the camera played.
    const PoseGuide::Pose before = PoseGuide::fitted(PoseGuide::poseOf(
                                                         Align::facesOfFile(folder + QStringLiteral("pic/") + Customer
                                                                            + QStringLiteral("/1.jpg"))),
                                                     PictureLoader::loadPicture(photo).size(), QSize(1280, 720));
    double rollErr = 0, sizeErr = 0, posErr = 0;
    int measured = 0, missed = 0;
    const DemoCamera::Pose poses[] = {{0, 1, 0, 0},          {4, 1, 0, 0},       {-6, 0.9, 0.02, 0},
                                      {2, 1.1, -0.03, 0.02}, {0, 0.85, 0, 0.03}, {8, 0.95, 0.05, -0.02}};
    for (const DemoCamera::Pose &p : poses) {
        camera->setPose(p);
        const int seen = w.guidedFrames();
        // Four searches: the first may have begun on a frame from before the change, and the
        // guidance is the median of the last three.
        waitFor([&] { return w.guidedFrames() >= seen + 4; });
        const PoseGuide::Guidance g = w.guidance();
        if (!g.compared) {
            ++missed;
            continue;
        }
        QTransform t;
        t.translate(640 + p.dx * 1280, 360 + p.dy * 720);
        t.rotate(p.roll);
        t.scale(p.scale, p.scale);
        t.translate(-640, -360);
        const QPointF expected = t.map(before.centre);
        const QPointF measuredCentre(before.centre.x() + g.dx / 100.0 * before.width,
                                     before.centre.y() + g.dy / 100.0 * before.width);
        std::printf("  played roll %+.1f size %+.0f %% shift %+.2f,%+.2f: measured roll %+.2f size %+.2f %% hint %s\n",
                    p.roll, (p.scale - 1.0) * 100.0, p.dx, p.dy, g.roll, g.size, qPrintable(g.text()));
        rollErr = std::max(rollErr, std::abs(g.roll - p.roll));
        sizeErr = std::max(sizeErr, std::abs(g.size - (p.scale - 1.0) * 100.0));
        posErr = std::max(posErr, std::hypot(measuredCentre.x() - expected.x(), measuredCentre.y() - expected.y())
                                      / (before.faceWidth * p.scale) * 100.0);
        ++measured;
    }
    std::printf("pose error on %d known poses (%d without a face): roll %.2f deg, size %.2f %%, position %.2f %% of the "
                "face width (worst)\n",
                measured, missed, rollErr, sizeErr, posErr);
    w.stopSource();

    // Shot to stored and shown: a 24 MP picture through the import into an empty slot.
    QImage big(6000, 4000, QImage::Format_RGB32);
    {
        QPainter g(&big);
        g.drawImage(big.rect(), PictureLoader::loadPicture(photo));
    }
    const QString shotFile = dir.filePath(QStringLiteral("shot24.jpg"));
    QImageWriter writer(shotFile, "jpeg");
    writer.setQuality(92);
    writer.write(big);
    QElapsedTimer stored;
    stored.start();
    ShotStore::Shot shot;
    shot.caseId = caseId;
    shot.after = true;
    shot.slot = 0;
    shot.file = shotFile;
    shot.sourceName = QStringLiteral("演示相机");
    const QString ref = ShotStore::store(db, folder, shot);
    const double storeMs = stored.nsecsElapsed() / 1e6;
    const QImage shown = PictureLoader::loadPreview(folder + QStringLiteral("pic/") + QString(ref).replace('\\', '/'),
                                                    QSize(200, 150));
    std::printf("24 MP shot (%lld KB) stored in %.0f ms, stored and shown in its slot in %.0f ms%s\n",
                QFileInfo(shotFile).size() / 1024, storeMs, stored.nsecsElapsed() / 1e6,
                shown.isNull() ? " (NOT SHOWN)" : "");
    return 0;
}
