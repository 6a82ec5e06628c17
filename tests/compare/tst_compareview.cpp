// Where the compare view puts two photos of other cameras, sizes and framings, as it draws them:
// each fitted to its own pane while unaligned, at any zoom and after F, clicked landmarks in each
// picture's own pixels, and each picture only on its own side of the wipe divider.
#include "compare/CompareView.h"

#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

using Side = CompareView::Side;
using Mode = CompareView::Mode;
using Align::Similarity;

namespace {

const QColor BeforeColour(200, 60, 40), AfterColour(40, 90, 210);

// The bounding box of the pixels of `colour` within `area` of a shot (empty: none).
QRect boxOf(const QImage &shot, QColor colour, QRect area)
{
    QRect box;
    area = area.intersected(shot.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) + std::abs(c.green() - colour.green())
                    + std::abs(c.blue() - colour.blue())
                < 60)
                box |= QRect(x, y, 1, 1);
        }
    return box;
}

bool near(QRect a, QRect b, int tol = 2)
{
    return std::abs(a.left() - b.left()) <= tol && std::abs(a.top() - b.top()) <= tol
           && std::abs(a.right() - b.right()) <= tol && std::abs(a.bottom() - b.bottom()) <= tol;
}

QString text(QRect r)
{
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

class TestCompareView : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString picture(QSize size, QColor colour)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colour);
        const QString path = m_dir.filePath(QStringLiteral("%1x%2.jpg").arg(size.width()).arg(size.height()));
        if (!QFileInfo::exists(path))
            image.save(path, "JPG", 95);
        return path;
    }

private slots:
    void unalignedPicturesOfOtherSizesEachFillTheirPane_data()
    {
        QTest::addColumn<QSize>("before");
        QTest::addColumn<QSize>("after");
        QTest::newRow("small after picture") << QSize(910, 1137) << QSize(273, 341);
        QTest::newRow("large after picture") << QSize(364, 455) << QSize(1109, 1334);
    }
    void unalignedPicturesOfOtherSizesEachFillTheirPane()
    {
        QFETCH(QSize, before);
        QFETCH(QSize, after);
        CompareView v;
        v.resize(1204, 500); // two halves of 600 x 500: the tall pictures fit their height
        v.show();
        v.setPictures(picture(before, BeforeColour), picture(after, AfterColour));
        v.waitUntilLoaded();
        QVERIFY(!v.isAligned());
        QRect left, right;
        // Each picture fitted to its pane, keeping its aspect, centred.
        auto fittedIn = [](QSize picture, QRect pane) {
            const QSizeF s = QSizeF(picture).scaled(QSizeF(pane.size()), Qt::KeepAspectRatio);
            return QRectF(QPointF(pane.center()) - QPointF(s.width(), s.height()) / 2, s);
        };
        // The after half shows the whole after picture as the before half shows the before one:
        // enlarged alike from its fit, and moved alike. Returns the before picture's box; a
        // difference is written to `fault`.
        QString fault;
        auto halvesAlike = [&](const char *when) {
            left = v.state().paneRect(v.size(), Side::Before).toAlignedRect();
            right = v.state().paneRect(v.size(), Side::After).toAlignedRect();
            const QImage shot = v.grab().toImage();
            const QRect b = boxOf(shot, BeforeColour, left);
            const QRect a = boxOf(shot, AfterColour, right);
            const QRectF fb = fittedIn(before, left), fa = fittedIn(after, right);
            const double k = b.height() / fb.height();
            const QPointF moved = QRectF(b).center() - fb.center();
            const QSizeF size = fa.size() * k;
            const QRect expected = QRectF(fa.center() + moved - QPointF(size.width(), size.height()) / 2, size).toRect();
            if (!near(a, expected))
                fault = QStringLiteral("%1: before %2, after %3, wanted %4").arg(when, text(b), text(a), text(expected));
            else if (!boxOf(shot, AfterColour, left).isEmpty() || !boxOf(shot, BeforeColour, right).isEmpty())
                fault = QStringLiteral("%1: a picture in the other half").arg(when);
            return b;
        };
        const QRect fitted = halvesAlike("fitted");
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        QVERIFY2(near(fitted, fittedIn(before, left).toRect()), qPrintable(text(fitted)));

        // Landmarks clicked on the fitted after picture are points of that picture.
        QSignalSpy picked(&v, &CompareView::pointPicked);
        v.setPicking(true);
        const QRect shown = fittedIn(after, right).toRect();
        QTest::mouseClick(&v, Qt::LeftButton, {}, shown.topLeft() + QPoint(shown.width() / 4, shown.height() / 4));
        QCOMPARE(picked.size(), 1);
        QCOMPARE(picked.at(0).at(0).value<Side>(), Side::After);
        const QPointF point = picked.at(0).at(1).toPointF();
        const double tol = 2.0 * after.height() / shown.height();
        QVERIFY2(std::abs(point.x() - after.width() / 4.0) <= tol && std::abs(point.y() - after.height() / 4.0) <= tol,
                 qPrintable(QStringLiteral("%1,%2").arg(point.x()).arg(point.y())));
        v.setPicking(false);

        // Zoomed out, both shrink alike; zoomed in and moved, F fits both again; so does a new size.
        v.setFocus();
        QTest::keyClick(&v, Qt::Key_Minus);
        QTest::keyClick(&v, Qt::Key_Minus);
        QVERIFY(halvesAlike("zoomed out").height() < 400);
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        QTest::keyClick(&v, Qt::Key_Plus);
        QTest::keyClick(&v, Qt::Key_Plus);
        QTest::keyClick(&v, Qt::Key_Plus);
        QTest::mousePress(&v, Qt::LeftButton, {}, QPoint(300, 250));
        QTest::mouseMove(&v, QPoint(340, 230));
        QTest::mouseMove(&v, QPoint(380, 200));
        QTest::mouseRelease(&v, Qt::LeftButton, {}, QPoint(380, 200));
        QVERIFY(!v.state().fitted);
        QTest::keyClick(&v, Qt::Key_F);
        QVERIFY(near(halvesAlike("fitted again"), fitted));
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
        v.resize(1004, 700);
        halvesAlike("resized");
        QVERIFY2(fault.isEmpty(), qPrintable(fault));
    }

    void eachPictureShowsOnlyOnItsOwnSide()
    {
        // An aligned close-up: the after picture covers only the middle of the before picture.
        CompareView v;
        v.resize(1004, 600);
        v.show();
        const QSize before(910, 1137), after(273, 341);
        v.setPictures(picture(before, BeforeColour), picture(after, AfterColour));
        v.setAlignment(Similarity(1.0, 0, QPointF(455 - 136.5, 568.5 - 170.5)));
        v.waitUntilLoaded();
        QVERIFY(v.isAligned());
        for (Mode mode : {Mode::Wipe, Mode::SideBySide}) {
            v.setMode(mode);
            const QImage shot = v.grab().toImage();
            // The divider's line (wipe) or the gap between the halves lies within a few pixels.
            const QRect beforeSide(0, 0, v.width() / 2 - 4, v.height());
            const QRect afterSide(v.width() / 2 + 4, 0, v.width() / 2 - 4, v.height());
            const char *name = mode == Mode::Wipe ? "wipe" : "side by side";
            QVERIFY2(boxOf(shot, BeforeColour, afterSide).isEmpty(), name);
            QVERIFY2(boxOf(shot, AfterColour, beforeSide).isEmpty(), name);
            QVERIFY2(!boxOf(shot, BeforeColour, beforeSide).isEmpty(), name);
            const QRect shownAfter = boxOf(shot, AfterColour, afterSide);
            QVERIFY2(!shownAfter.isEmpty(), name);
            // Above the after picture, on its side, the background.
            const QColor above = shot.pixelColor(shownAfter.center().x(), shownAfter.top() / 2);
            QVERIFY2(above.red() < 80 && above.green() < 80 && above.blue() < 80, name);
        }
    }

    // Qt's painting waits for its global thread pool (a smooth drawImage is split over it):
    // decodes must not queue there, or the window stalls in a paint until they end. With the
    // global pool held up entirely, the pictures still arrive.
    void picturesArriveWhileQtsGlobalPoolIsBusy()
    {
        QThreadPool *global = QThreadPool::globalInstance();
        const int threads = global->maxThreadCount();
        QSemaphore release;
        auto releaseAll = [&] {
            release.release(threads);
            global->waitForDone();
        };
        for (int i = 0; i < threads; ++i)
            global->start([&release] { release.acquire(); });
        CompareView v;
        v.resize(800, 500);
        v.setPictures(picture(QSize(910, 1137), BeforeColour), picture(QSize(1109, 1334), AfterColour));
        for (int i = 0; i < 2000 && v.isLoading(); ++i)
            QTest::qWait(10);
        const bool arrived = !v.isLoading();
        releaseAll();
        QVERIFY2(arrived, "the decodes waited for Qt's global pool");
        v.show();
        const QImage shot = v.grab().toImage();
        QVERIFY(!boxOf(shot, AfterColour, QRect(400, 0, 400, 500)).isEmpty());
    }
};

QTEST_MAIN(TestCompareView)
#include "tst_compareview.moc"
