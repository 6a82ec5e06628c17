// The comparison's geometry: zooming around the pointer, moving both sides together or one alone
// and keeping that offset, fitting, and the wipe divider.
#include "compare/CompareState.h"

#include <QtTest>

using Mode = CompareState::Mode;
using Side = CompareState::Side;

static const QSizeF View(1004, 600); // side by side: two halves of 500 with a gap of 4

static bool near(QPointF a, QPointF b, double tol = 1e-6)
{
    return std::abs(a.x() - b.x()) < tol && std::abs(a.y() - b.y()) < tol;
}

class TestCompareState : public QObject {
    Q_OBJECT

private slots:
    void zoomKeepsThePointUnderThePointerOnBothSides_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("side");
        QTest::addColumn<bool>("linked");
        QTest::newRow("side by side, before half") << int(Mode::SideBySide) << int(Side::Before) << true;
        QTest::newRow("side by side, after half") << int(Mode::SideBySide) << int(Side::After) << true;
        QTest::newRow("unlocked, after half") << int(Mode::SideBySide) << int(Side::After) << false;
        QTest::newRow("wipe") << int(Mode::Wipe) << int(Side::Before) << true;
    }
    void zoomKeepsThePointUnderThePointerOnBothSides()
    {
        QFETCH(int, mode);
        QFETCH(int, side);
        QFETCH(bool, linked);
        CompareState s;
        s.mode = Mode(mode);
        s.linked = linked;
        s.zoom = 0.25;
        s.centre = QPointF(2000, 1500);
        s.afterOffset = QPointF(40, -30);
        const Side at = Side(side);
        const Side other = at == Side::Before ? Side::After : Side::Before;
        const QRectF pane = s.paneRect(View, at);
        const QPointF pointer = pane.topLeft() + QPointF(pane.width() * 0.8, pane.height() * 0.3);
        const QPointF under = s.toReference(View, at, pointer);
        // The same place in the other half (the pointer's mirror).
        const QPointF mirror = s.paneRect(View, other).topLeft() + (pointer - pane.topLeft());
        const QPointF otherUnder = s.toReference(View, other, mirror);

        CompareState z = s.zoomedAt(View, at, pointer, 3.0);
        QCOMPARE(z.zoom, 0.75);
        QVERIFY(!z.fitted);
        QVERIFY(near(z.toReference(View, at, pointer), under));
        if (s.mode == Mode::SideBySide && linked) {
            // The other half zooms around the pointer's mirror: the halves stay in step.
            QVERIFY(near(z.afterOffset, s.afterOffset));
            QVERIFY(near(z.toReference(View, other, mirror), otherUnder));
        }
        if (!linked) {
            // Unlocked, the before half keeps its centre and so does not zoom around the mirror.
            QVERIFY(near(z.centre, s.centre));
            QVERIFY(!near(z.toReference(View, other, mirror), otherUnder));
        }

        // Clamped to 10 % .. 800 %, and a clamped zoom does not move anything.
        CompareState big = z.zoomedAt(View, at, pointer, 1000);
        QCOMPARE(big.zoom, CompareState::MaxZoom);
        QVERIFY(near(big.toReference(View, at, pointer), under, 1e-3));
        CompareState again = big.zoomedAt(View, at, pointer, 2);
        QCOMPARE(again.zoom, CompareState::MaxZoom);
        QVERIFY(near(again.centre, big.centre) && near(again.afterOffset, big.afterOffset));
        QCOMPARE(z.zoomedAt(View, at, pointer, 1e-6).zoom, CompareState::MinZoom);
        QCOMPARE(CompareState::clampZoom(std::nan("")), 1.0);
    }

    void lockMovesBothSidesAndKeepsTheOffsetOnceRelocked()
    {
        CompareState s;
        s.zoom = 2.0;
        s.centre = QPointF(500, 400);
        const QRectF before0 = s.visibleRegion(View, Side::Before);
        const QRectF after0 = s.visibleRegion(View, Side::After);
        QCOMPARE(before0, after0); // in step: both halves show the same region

        // Locked: a drag on either half moves both.
        CompareState d = s.dragged(Side::After, QPointF(100, -50));
        QVERIFY(near(d.centre, QPointF(450, 425)));
        QCOMPARE(d.visibleRegion(View, Side::Before), d.visibleRegion(View, Side::After));

        // Unlocked: only the half dragged moves.
        CompareState u = d.withLinked(false).dragged(Side::After, QPointF(20, 10));
        QCOMPARE(u.visibleRegion(View, Side::Before), d.visibleRegion(View, Side::Before));
        QVERIFY(near(u.afterOffset, QPointF(-10, -5)));
        CompareState b = u.dragged(Side::Before, QPointF(-40, 0));
        QCOMPARE(b.visibleRegion(View, Side::After), u.visibleRegion(View, Side::After));
        QVERIFY(near(b.afterOffset, QPointF(-30, -5)));

        // Locked again: the offset stays and both move by the same amount.
        CompareState l = b.withLinked(true).dragged(Side::Before, QPointF(10, 10));
        QVERIFY(near(l.afterOffset, b.afterOffset));
        const QPointF moved = l.visibleRegion(View, Side::Before).topLeft()
                              - b.visibleRegion(View, Side::Before).topLeft();
        QVERIFY(
            near(l.visibleRegion(View, Side::After).topLeft() - b.visibleRegion(View, Side::After).topLeft(), moved));
        QVERIFY(near(moved, QPointF(-5, -5)));

        // The offset belongs to side by side: wiped, both pictures lie on each other.
        CompareState w = l;
        w.mode = Mode::Wipe;
        QCOMPARE(w.visibleRegion(View, Side::After), w.visibleRegion(View, Side::Before));

        // Fit shows both whole pictures again: the offset goes.
        const CompareState f = l.fittedTo(View, QRectF(0, 0, 4000, 3000));
        QVERIFY(f.fitted);
        QCOMPARE(f.afterOffset, QPointF());
        QCOMPARE(f.zoom, 0.125); // 500 / 4000 wide, 600 / 3000 high
        QVERIFY(f.visibleRegion(View, Side::Before).contains(QRectF(0, 0, 4000, 3000)));
        QVERIFY(near(f.centre, QPointF(2000, 1500)));
        // Nothing to fit, or no room: the zoom stays as it was.
        QCOMPARE(l.fittedTo(View, QRectF()).zoom, l.zoom);
        QCOMPARE(l.fittedTo(QSizeF(2, 0), QRectF(0, 0, 10, 10)).zoom, l.zoom);
        // A huge picture in a small view fits no further than 10 %.
        QCOMPARE(l.fittedTo(View, QRectF(0, 0, 100000, 80000)).zoom, CompareState::MinZoom);
    }

    void viewPointsMapBothWays()
    {
        CompareState s;
        s.zoom = 0.37;
        s.centre = QPointF(1234, 567);
        s.afterOffset = QPointF(12, 34);
        for (Side side : {Side::Before, Side::After}) {
            const QTransform t = s.referenceToView(View, side);
            const QPointF p(321, 987);
            QVERIFY(near(s.toReference(View, side, t.map(p)), p, 1e-9));
        }
        // The halves do not overlap and leave a gap.
        QVERIFY(s.paneRect(View, Side::Before).right() < s.paneRect(View, Side::After).left());
    }

    void wipeDividerStaysInTheView()
    {
        CompareState s;
        s.mode = Mode::Wipe;
        QCOMPARE(s.withWipeAt(View, QPointF(251, 0)).wipePosition, 0.25);
        QCOMPARE(s.withWipeAt(View, QPointF(-30, 0)).wipePosition, 0.0);
        QCOMPARE(s.withWipeAt(View, QPointF(5000, 0)).wipePosition, 1.0);
        s.wipeOrientation = Qt::Horizontal;
        QCOMPARE(s.withWipeAt(View, QPointF(1000, 150)).wipePosition, 0.25);
        QCOMPARE(s.withWipeAt(QSizeF(0, 0), QPointF(1, 1)).wipePosition, 0.5);
    }
};

QTEST_APPLESS_MAIN(TestCompareState)
#include "tst_comparestate.moc"
