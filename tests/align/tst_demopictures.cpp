// The demo's before and after photos are taken as by other cameras (other sizes, the face
// larger or smaller, turned a little), and the automatic alignment finds how, so the demo shows
// it at work.
#include "align/AutoAlign.h"
#include "demo_pictures.h"

#include <QtTest>

class TestDemoPictures : public QObject {
    Q_OBJECT

private slots:
    void eachSubjectsPairAlignsAsItWasFramed()
    {
        using DemoPictures::PoolPicture;
        // At the size the demo makes them.
        const QList<PoolPicture> pool = DemoPictures::poolLayout(QSize(4000, 3000));
        QCOMPARE(pool.size(), 2 * DemoPictures::SubjectCount);
        for (int s = 0; s < DemoPictures::SubjectCount; ++s) {
            const PoolPicture &before = pool.at(2 * s), &after = pool.at(2 * s + 1);
            QVERIFY(!before.after && after.after && before.subject == s && after.subject == s);
            const QSize beforeSize = DemoPictures::uprightSize(before.storedSize, before.orientation);
            const QSize afterSize = DemoPictures::uprightSize(after.storedSize, after.orientation);
            const double tilt = after.framing.tiltDegrees;
            QVERIFY2(std::abs(tilt) >= 2 && std::abs(tilt) <= 6, qPrintable(QString::number(tilt)));
            const QImage b = DemoPictures::drawUpright(before, beforeSize, DemoPictures::poolCaption(before));
            const QImage a = DemoPictures::drawUpright(after, afterSize, DemoPictures::poolCaption(after));
            // As the compare view hands them over: its small decodes, 1600 pixels at most.
            const auto small = [](const QImage &i) {
                return i.scaled(1600, 1600, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            };
            const Align::AutoResult r = Align::alignAutomatically(small(b), small(a), beforeSize, afterSize);
            const QString what = QStringLiteral("subject %1: %2")
                                     .arg(s)
                                     .arg(r.aligned ? r.transform.toText() : r.message());
            QVERIFY2(r.aligned, qPrintable(what));
            // The scene is drawn in units of the picture's shorter side.
            const double units = double(std::min(beforeSize.width(), beforeSize.height()))
                                 / std::min(afterSize.width(), afterSize.height());
            QVERIFY2(std::abs(r.transform.scale() * after.framing.scale / units - 1) < 0.01, qPrintable(what));
            QVERIFY2(std::abs(r.transform.rotationDegrees() + tilt) < 0.3, qPrintable(what));
        }
    }
};

QTEST_MAIN(TestDemoPictures)
#include "tst_demopictures.moc"
