#include "align/AutoAlign.h"

#include "align/SyntheticPair.h"

#include <QtTest>

using Align::AutoFailure;
using Align::AutoResult;
using Align::Similarity;
using SyntheticPair::Exposure;

Q_DECLARE_METATYPE(Align::Similarity)
Q_DECLARE_METATYPE(SyntheticPair::Exposure)

class TestAutoAlign : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void alignsKnownPairs_data();
    void alignsKnownPairs();
    void refusesUnrelatedPairs();
    void refusesPicturesWithoutDetail();

private:
    QImage m_scene;
};

static const QSize SceneSize(1600, 1200);

// The largest distance, in pixels of the before picture shown 1000 pixels wide, between where the
// found and the true transform put points spread over the after picture.
static double landmarkError(const Similarity &found, const Similarity &truth, QSize afterSize, QSize beforeSize)
{
    double worst = 0.0;
    for (int i = 1; i <= 4; ++i) {
        for (int j = 1; j <= 4; ++j) {
            const QPointF p(afterSize.width() * i / 5.0, afterSize.height() * j / 5.0);
            const QPointF d = found.map(p) - truth.map(p);
            worst = std::max(worst, std::hypot(d.x(), d.y()));
        }
    }
    return worst * 1000.0 / beforeSize.width();
}

static QString describe(const AutoResult &r)
{
    return QStringLiteral("aligned %1 failure %2 features %3 matches %4 inliers %5 residual %6 spread %7 "
                          "overlap %8 correlation %9 -> %10")
        .arg(r.aligned)
        .arg(int(r.failure))
        .arg(r.features)
        .arg(r.matches)
        .arg(r.inliers)
        .arg(r.residual, 0, 'f', 2)
        .arg(r.spread, 0, 'f', 2)
        .arg(r.overlap, 0, 'f', 2)
        .arg(r.correlation, 0, 'f', 2)
        .arg(r.transform.toText());
}

void TestAutoAlign::initTestCase()
{
    m_scene = SyntheticPair::randomScene(SceneSize, 7);
}

void TestAutoAlign::alignsKnownPairs_data()
{
    QTest::addColumn<Similarity>("truth"); // after pixels -> before pixels
    QTest::addColumn<QSize>("afterSize");
    QTest::addColumn<QSize>("imageSize"); // the after image handed over, a reduced copy or not
    QTest::addColumn<Exposure>("exposure");

    Exposure darkWarm;
    darkWarm.gain[0] = 0.85, darkWarm.gain[1] = 0.72, darkWarm.gain[2] = 0.6;
    darkWarm.offset = -5, darkWarm.noise = 8, darkWarm.seed = 11;
    Exposure brightCold;
    brightCold.gain[0] = 1.1, brightCold.gain[1] = 1.25, brightCold.gain[2] = 1.4;
    brightCold.offset = 12, brightCold.noise = 6, brightCold.seed = 12;

    // clang-format off
    QTest::newRow("same framing, darker and warmer") << Similarity() << SceneSize << SceneSize << darkWarm;
    QTest::newRow("closer, turned, moved") << Similarity(0.8, 10.0, QPointF(300, 60)) << SceneSize << SceneSize
                                           << brightCold;
    QTest::newRow("further, turned back, moved") << Similarity(1.25, -10.0, QPointF(-320, -40)) << SceneSize
                                                 << SceneSize << darkWarm;
    // clang-format on
    // A camera of another resolution: the after picture has 1200 x 900 pixels for the same view.
    // clang-format off
    QTest::newRow("other resolution") << Similarity(1600.0 / 1200.0, 4.0, QPointF(-40, -120)) << QSize(1200, 900)
                                      << QSize(1200, 900) << brightCold;
    // clang-format on
    // The window hands over a reduced copy of a 3200 x 2400 picture with the picture's size.
    // clang-format off
    QTest::newRow("reduced copy of a large picture") << Similarity(0.5 * 0.9, -6.0, QPointF(120, 150))
                                                     << QSize(3200, 2400) << QSize(800, 600) << darkWarm;
    // clang-format on
}

void TestAutoAlign::alignsKnownPairs()
{
    QFETCH(Similarity, truth);
    QFETCH(QSize, afterSize);
    QFETCH(QSize, imageSize);
    QFETCH(Exposure, exposure);

    Exposure beforeNoise;
    beforeNoise.noise = 5;
    QImage before = m_scene;
    SyntheticPair::expose(before, beforeNoise);
    // Drawn at the reduced size through the truth composed with the reduction.
    const Similarity reduce(double(afterSize.width()) / imageSize.width(), 0, QPointF());
    const QImage after = SyntheticPair::photograph(m_scene, truth * reduce, imageSize, exposure);

    const AutoResult r = Align::alignAutomatically(before, after, QSize(), afterSize);
    QVERIFY2(r.aligned, qPrintable(describe(r)));
    QVERIFY(r.message().isEmpty());
    const double error = landmarkError(r.transform, truth, afterSize, before.size());
    QVERIFY2(error < 2.0, qPrintable(QStringLiteral("%1 px: ").arg(error) + describe(r)));
}

void TestAutoAlign::refusesUnrelatedPairs()
{
    Exposure look;
    look.noise = 5;
    const QImage other = SyntheticPair::photograph(SyntheticPair::randomScene(SceneSize, 8), Similarity(), SceneSize,
                                                   look);
    QImage noise(SceneSize, QImage::Format_RGB32);
    noise.fill(QColor(128, 128, 128));
    look.noise = 40;
    SyntheticPair::expose(noise, look);
    // The scene mirrored: alike everywhere, yet no similarity lays one over the other.
    const QImage mirrored = m_scene.mirrored(true, false);

    for (const QImage *after : {&other, static_cast<const QImage *>(&noise), &mirrored}) {
        const AutoResult r = Align::alignAutomatically(m_scene, *after);
        QVERIFY2(!r.aligned, qPrintable(describe(r)));
        QVERIFY(r.failure != AutoFailure::None);
        QCOMPARE(r.message(), QStringLiteral("无法自动对齐，请手动选点"));
        QCOMPARE(r.transform, Similarity());
    }
}

void TestAutoAlign::refusesPicturesWithoutDetail()
{
    QImage blank(SceneSize, QImage::Format_RGB32);
    blank.fill(QColor(200, 180, 170));
    AutoResult r = Align::alignAutomatically(m_scene, blank);
    QVERIFY2(!r.aligned && r.failure == AutoFailure::TooFewFeatures, qPrintable(describe(r)));
    r = Align::alignAutomatically(QImage(), m_scene);
    QVERIFY(!r.aligned && r.failure == AutoFailure::EmptyPicture);
    // Pictures too small or too thin to work on are refused, not passed to OpenCV to fail in.
    for (const QSize size : {QSize(1, 1), QSize(40, 30), QSize(6000, 3)}) {
        r = Align::alignAutomatically(m_scene, m_scene.scaled(size));
        QVERIFY2(!r.aligned && r.failure == AutoFailure::TooFewFeatures, qPrintable(describe(r)));
    }
    // A picture of other formats is read as well: the same scene in grey, with a little noise.
    Exposure look;
    look.noise = 4;
    QImage gray = SyntheticPair::photograph(m_scene, Similarity(1.1, 3, QPointF(-20, 30)), SceneSize, look)
                      .convertToFormat(QImage::Format_Grayscale8);
    r = Align::alignAutomatically(m_scene.convertToFormat(QImage::Format_RGB888), gray);
    QVERIFY2(r.aligned, qPrintable(describe(r)));
    QVERIFY(landmarkError(r.transform, Similarity(1.1, 3, QPointF(-20, 30)), SceneSize, SceneSize) < 2.0);
}

QTEST_MAIN(TestAutoAlign)
#include "tst_autoalign.moc"
