// Faces on real photos: alignment of one person's photos, eye bars on a turned head, refusals,
// the kept landmarks, and the capture station's pose hints. Skipped where the annotated photos
// are absent.
#include "align/AutoAlign.h"
#include "align/EyeDetect.h"
#include "align/Faces.h"
#include "align/PoseGuide.h"

#include "align/RealFaces.h"
#include "align/SyntheticPair.h"

#include <QtTest>

using Align::AutoResult;
using Align::Similarity;

class TestFaces : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void alignsOnePersonsPhotos();
    void barCoversTheEyesOfATurnedHead();
    void refusesAFaceAgainstSceneOrNoise();
    void keepsFoundFacesPerFile();
    void poseHintsOnRealPhotos();

private:
    QString m_folder = QStringLiteral(BELCARA_SOURCE_DIR "/../shared/faces");
    RealFaces::Set m_set;
    QTemporaryDir m_cache;
};

void TestFaces::initTestCase()
{
    // The kept faces go to a folder of the test's own, never the user's.
    QVERIFY(m_cache.isValid());
    qputenv("XDG_CACHE_HOME", m_cache.path().toUtf8());
    m_set = RealFaces::load(m_folder);
    if (m_set.isEmpty())
        QSKIP("the annotated real photos (../shared/faces) are not there");
    Align::preloadFaceModel();
    QVERIFY2(Align::faceModelError().isEmpty(), qPrintable(Align::faceModelError()));
}

void TestFaces::alignsOnePersonsPhotos()
{
    const RealFaces::Photo &before = m_set.photos[QStringLiteral("a1.jpg")];
    struct Case {
        const char *what;
        RealFaces::Variant after;
    };
    const RealFaces::Photo &other = m_set.photos[QStringLiteral("a3.jpg")];
    const Case cases[] = {
        {"another day's photo", RealFaces::draw(other, Similarity(), other.image.size())},
        {"another day's photo, turned", RealFaces::turned(other, -20)},
        // The same photo from a camera of three times and of a third of the resolution.
        {"at 3x resolution", RealFaces::rescaled(before, 3.0)},
        {"at 1/3 resolution", RealFaces::rescaled(before, 1.0 / 3)},
    };
    for (const Case &c : cases) {
        const AutoResult r = Align::alignAutomatically(before.image, c.after.image);
        QVERIFY2(r.aligned, c.what);
        const double error = RealFaces::eyeError(r.transform, c.after.eyes, before);
        QVERIFY2(error < 0.05,
                 qPrintable(QStringLiteral("%1: eyes %2 % off").arg(QLatin1String(c.what)).arg(100 * error)));
    }
    // Given as a reduced copy with the full size, the answer is in full-size pixels.
    const RealFaces::Variant large = RealFaces::rescaled(other, 2.0);
    const QImage reduced = large.image.scaled(large.image.size() / 4, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    const AutoResult r = Align::alignAutomatically(before.image, reduced, QSize(), large.image.size());
    QVERIFY(r.aligned);
    QVERIFY(RealFaces::eyeError(r.transform, large.eyes, before) < 0.05);
}

void TestFaces::barCoversTheEyesOfATurnedHead()
{
    for (const char *name : {"a1.jpg", "b2.jpg"}) {
        for (double degrees : {-28.0, 28.0}) {
            const RealFaces::Variant turned = RealFaces::turned(m_set.photos[QLatin1String(name)], degrees);
            const Align::EyeBars found = Align::findEyeBars(turned.image);
            QCOMPARE(found.shapes.size(), 1);
            QCOMPARE(found.bars.size(), 1);
            const QPolygonF &bar = found.shapes.first();
            for (const QPointF &eye : turned.eyes)
                QVERIFY2(bar.containsPoint(eye, Qt::OddEvenFill), name);
            // The bar turns with the head: it is not the whole face's upright box.
            const double along = std::hypot(bar[1].x() - bar[0].x(), bar[1].y() - bar[0].y());
            const double across = std::hypot(bar[3].x() - bar[0].x(), bar[3].y() - bar[0].y());
            QVERIFY(across < along * 0.6);
            QVERIFY(found.bars.first().contains(bar.boundingRect().intersected(QRectF(turned.image.rect()))));
        }
    }
}

void TestFaces::refusesAFaceAgainstSceneOrNoise()
{
    const QImage face = m_set.photos[QStringLiteral("a1.jpg")].image;
    const QImage scene = SyntheticPair::randomScene(face.size(), 5);
    QImage noise(face.size(), QImage::Format_RGB32);
    noise.fill(QColor(128, 128, 128));
    SyntheticPair::Exposure loud;
    loud.noise = 40;
    SyntheticPair::expose(noise, loud);
    for (const QImage *other : {&scene, static_cast<const QImage *>(&noise)}) {
        for (const AutoResult &r : {Align::alignAutomatically(face, *other), Align::alignAutomatically(*other, face)}) {
            QVERIFY(!r.aligned);
            QCOMPARE(r.message(), QStringLiteral("无法自动对齐，请手动选点"));
            QCOMPARE(r.transform, Similarity());
        }
    }
}

void TestFaces::keepsFoundFacesPerFile()
{
    const QString a1 = m_folder + QStringLiteral("/a1.jpg"), a3 = m_folder + QStringLiteral("/a3.jpg");
    QVERIFY(Align::faceCacheFolder().startsWith(m_cache.path()));
    const Align::FaceSearch first = Align::facesOfFile(a1);
    QCOMPARE(first.faces.size(), 1);
    QCOMPARE(first.pictureSize, QSize(910, 1137));
    QVERIFY(RealFaces::eyeError(Similarity(), first.faces[0].eyes, m_set.photos[QStringLiteral("a1.jpg")]) < 0.05);
    const QStringList kept = QDir(Align::faceCacheFolder()).entryList(QDir::Files);
    QCOMPARE(kept.size(), 1);

    // Read back from disk in another session, the same points; a damaged entry is searched again.
    Align::clearFaceMemoryCache();
    const Align::FaceSearch again = Align::facesOfFile(a1);
    QCOMPARE(again.faces.size(), 1);
    for (int i = 0; i < Align::Landmark::Count; ++i)
        QVERIFY((again.faces[0].points[i] - first.faces[0].points[i]).manhattanLength() < 0.02);
    QFile entry(Align::faceCacheFolder() + QLatin1Char('/') + kept.first());
    QVERIFY(entry.open(QIODevice::WriteOnly | QIODevice::Truncate));
    entry.write("belcara-faces 2\ngarbage\n");
    entry.close();
    Align::clearFaceMemoryCache();
    QCOMPARE(Align::facesOfFile(a1).faces.size(), 1);

    // The windows' entry point: files, their kept faces.
    const AutoResult r = Align::alignFiles(a1, a3);
    QVERIFY(r.aligned);
    QVERIFY(RealFaces::eyeError(r.transform, m_set.photos[QStringLiteral("a3.jpg")].eyes,
                                m_set.photos[QStringLiteral("a1.jpg")])
            < 0.05);
    QVERIFY(!Align::facesOfFile(m_folder + QStringLiteral("/none.jpg")).error.isEmpty());
}

QTEST_MAIN(TestFaces)
#include "tst_faces.moc"

// The capture station's pose hints between real photos: the same photo turned and framed from
// further away reads as that roll, size and shift, with no turn of the head; the photo of the
// head turned and raised (a2) against the straight one (a1) tells to turn it and lower it, and
// the other way round to turn it back and raise it.
void TestFaces::poseHintsOnRealPhotos()
{
    const RealFaces::Photo &straight = m_set.photos[QStringLiteral("a1.jpg")];
    const PoseGuide::Pose before = PoseGuide::poseOf(Align::findFaces(straight.image));
    QVERIFY(before.found);
    const QPointF middle(straight.image.width() / 2.0, straight.image.height() / 2.0);
    const Similarity turn(0.8, 7.0, QPointF());
    const Similarity moved(0.8, 7.0, middle - turn.map(middle) + QPointF(40, -25));
    const RealFaces::Variant variant = RealFaces::draw(straight, moved, straight.image.size());
    const PoseGuide::Guidance g = PoseGuide::compare(before, PoseGuide::poseOf(Align::findFaces(variant.image)));
    QVERIFY(g.compared);
    const QPointF shift = (moved.map(before.centre) - before.centre) / before.width * 100.0;
    const QString measured = QStringLiteral("roll %1 size %2 shift %3,%4 (played %5,%6) yaw %7 pitch %8")
                                 .arg(g.roll)
                                 .arg(g.size)
                                 .arg(g.dx)
                                 .arg(g.dy)
                                 .arg(shift.x())
                                 .arg(shift.y())
                                 .arg(g.yaw)
                                 .arg(g.pitch);
    QVERIFY2(std::abs(g.roll - 7.0) < 1.0 && std::abs(g.size + 20.0) < 2.0, qPrintable(measured));
    QVERIFY2(std::hypot(g.dx - shift.x(), g.dy - shift.y()) < 3.0, qPrintable(measured));
    QVERIFY2(std::abs(g.yaw) < PoseGuide::Tolerances().yaw && std::abs(g.pitch) < PoseGuide::Tolerances().pitch,
             qPrintable(measured));

    const RealFaces::Photo &raised = m_set.photos[QStringLiteral("a2.jpg")];
    const PoseGuide::Pose up = PoseGuide::poseOf(Align::findFaces(raised.image));
    QVERIFY(up.found);
    const PoseGuide::Guidance toRaised = PoseGuide::compare(PoseGuide::fitted(before, straight.image.size(),
                                                                              raised.image.size()),
                                                            up);
    const PoseGuide::Guidance toStraight = PoseGuide::compare(PoseGuide::fitted(up, raised.image.size(),
                                                                                straight.image.size()),
                                                              before);
    // In a2 the nose points to the picture's left: the hints are given as seen on the screen.
    for (const char *hint : {"向右转一点", "低头一点"})
        QVERIFY2(toRaised.hints.contains(QString::fromUtf8(hint)), qPrintable(toRaised.text()));
    for (const char *hint : {"向左转一点", "抬头一点"})
        QVERIFY2(toStraight.hints.contains(QString::fromUtf8(hint)), qPrintable(toStraight.text()));
}
