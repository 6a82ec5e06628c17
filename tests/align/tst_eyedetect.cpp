#include "align/EyeDetect.h"
#include "align/SyntheticFace.h"

#include <QtTest>

class TestEyeDetect : public QObject {
    Q_OBJECT
private slots:
    void coversTheEyesOfAFace();
    void findsNothingWithoutAFace();
};

void TestEyeDetect::coversTheEyesOfAFace()
{
    const SyntheticFace::Face face = SyntheticFace::draw();
    const Align::EyeBars found = Align::findEyeBars(face.picture);
    QVERIFY(!found.detectorMissing);
    QCOMPARE(found.bars.size(), 1);
    const QRectF bar = found.bars.first();
    const QRectF eyes = face.leftEye.united(face.rightEye);
    // Both eyes lie under the bar...
    QVERIFY2(bar.contains(face.leftEye) && bar.contains(face.rightEye), "an eye shows beside the bar");
    // ... and the bar is not the whole face: it stays near the eye line.
    QVERIFY(bar.height() < eyes.height() * 4);
    QVERIFY(bar.width() < eyes.width() * 1.6);
    QVERIFY(std::abs(bar.center().y() - eyes.center().y()) < eyes.height());
}

void TestEyeDetect::findsNothingWithoutAFace()
{
    QImage landscape(1600, 1000, QImage::Format_RGB32);
    QPainter p(&landscape);
    QLinearGradient sky(0, 0, 0, 600);
    sky.setColorAt(0, QColor(90, 140, 220));
    sky.setColorAt(1, QColor(200, 220, 240));
    p.fillRect(landscape.rect(), sky);
    p.setBrush(QColor(70, 110, 60));
    p.setPen(Qt::NoPen);
    p.drawPolygon(QPolygonF({QPointF(0, 1000), QPointF(400, 500), QPointF(900, 800), QPointF(1300, 450),
                             QPointF(1600, 700), QPointF(1600, 1000)}));
    p.end();
    const Align::EyeBars found = Align::findEyeBars(landscape);
    QVERIFY(!found.detectorMissing);
    QCOMPARE(found.facesFound, 0);
    QVERIFY(found.bars.isEmpty());

    // Detector files that cannot be read are said so, never taken for "no face".
    const QString folder = Align::detectorFolder();
    Align::setDetectorFolder(QStringLiteral("/nonexistent"));
    const Align::EyeBars missing = Align::findEyeBars(SyntheticFace::draw().picture);
    Align::setDetectorFolder(folder);
    QVERIFY(missing.detectorMissing);
    QVERIFY(missing.bars.isEmpty());
}

QTEST_MAIN(TestEyeDetect)
#include "tst_eyedetect.moc"
