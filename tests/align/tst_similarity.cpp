#include "align/Similarity.h"
#include "data/AppError.h"

#include <QPainter>
#include <QtTest>

using Align::Similarity;

Q_DECLARE_METATYPE(Align::Similarity)

class TestSimilarity : public QObject {
    Q_OBJECT

private slots:
    void mapsComposesAndInverts();
    void agreesWithQTransform();
    void landmarksMapExactly_data();
    void landmarksMapExactly();
    void landmarksTooCloseAreRefused();
    void textRoundTrip();
    void textRefusesMalformed_data();
    void textRefusesMalformed();
};

static void compare(QPointF actual, QPointF expected, double tol = 1e-9)
{
    if (std::abs(actual.x() - expected.x()) > tol || std::abs(actual.y() - expected.y()) > tol)
        QFAIL(qPrintable(QStringLiteral("(%1, %2) instead of (%3, %4)")
                             .arg(actual.x(), 0, 'g', 17)
                             .arg(actual.y(), 0, 'g', 17)
                             .arg(expected.x(), 0, 'g', 17)
                             .arg(expected.y(), 0, 'g', 17)));
}

void TestSimilarity::mapsComposesAndInverts()
{
    // A quarter turn clockwise on screen takes +x to +y, then doubles and shifts.
    const Similarity turn(2.0, 90.0, QPointF(10, 20));
    compare(turn.map(QPointF(1, 0)), QPointF(10, 22));
    compare(turn.map(QPointF(0, 1)), QPointF(8, 20));
    QCOMPARE(Similarity(1, 190, {}).rotationDegrees(), -170.0);
    QCOMPARE(Similarity(1, -180, {}).rotationDegrees(), 180.0);

    const Similarity a(1.25, 17.5, QPointF(-40.5, 13));
    const Similarity b(0.8, 172.0, QPointF(300, -12.25));
    const QPointF p(123.5, -45.25);
    compare((a * b).map(p), a.map(b.map(p)));
    compare((b * a).map(p), b.map(a.map(p)));
    QCOMPARE((a * b).rotationDegrees(), -170.5); // 189.5 turns the other way
    compare(a.inverted().map(a.map(p)), p);
    compare(a.map(a.inverted().map(p)), p);
    QVERIFY((a * a.inverted()).fuzzyEquals(Similarity()));
    QVERIFY((b.inverted() * a.inverted()).fuzzyEquals((a * b).inverted()));

    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, Similarity(0.0, 0, {}));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, Similarity(-1.0, 0, {}));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, Similarity(1.0, qQNaN(), {}));
}

void TestSimilarity::agreesWithQTransform()
{
    // What QPainter draws through toTransform() is where map() says the points go.
    const Similarity s(0.9, 12.0, QPointF(-30, 55.5));
    const QTransform t = s.toTransform();
    for (const QPointF p : {QPointF(0, 0), QPointF(640, 0), QPointF(0, 480), QPointF(321.5, 77.25)})
        compare(t.map(p), s.map(p));
    QImage canvas(60, 60, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    {
        QPainter g(&canvas);
        g.setTransform(Similarity(2.0, 90.0, QPointF(40, 10)).toTransform());
        g.fillRect(QRectF(5, 3, 1, 1), Qt::white); // the pixel (5, 3) ...
    }
    // ... lands on [32, 34) x [20, 22): x' = 40 - 2y, y' = 10 + 2x.
    QCOMPARE(canvas.pixel(32, 20), qRgb(255, 255, 255));
    QCOMPARE(canvas.pixel(33, 21), qRgb(255, 255, 255));
    QCOMPARE(canvas.pixel(31, 20), qRgb(0, 0, 0));
    QCOMPARE(canvas.pixel(34, 21), qRgb(0, 0, 0));
    QCOMPARE(canvas.pixel(33, 22), qRgb(0, 0, 0));

    const auto back = Similarity::fromTransform(t);
    QVERIFY(back);
    QVERIFY(back->fuzzyEquals(s));
    const auto built = Similarity::fromTransform(QTransform().translate(7, -2).rotate(-33).scale(3, 3));
    QVERIFY(built && built->fuzzyEquals(Similarity(3, -33, QPointF(7, -2))));
    QVERIFY(!Similarity::fromTransform(QTransform().scale(2, 1)));                  // unequal scales
    QVERIFY(!Similarity::fromTransform(QTransform().scale(-1, 1)));                 // a mirror
    QVERIFY(!Similarity::fromTransform(QTransform().shear(0.2, 0)));                // a shear
    QVERIFY(!Similarity::fromTransform(QTransform(1, 0, 0.001, 0, 1, 0, 0, 0, 1))); // perspective
    QVERIFY(!Similarity::fromTransform(QTransform(0, 0, 0, 0, 0, 0)));              // degenerate
}

void TestSimilarity::landmarksMapExactly_data()
{
    QTest::addColumn<Similarity>("truth");
    QTest::newRow("same framing") << Similarity();
    QTest::newRow("closer, turned, moved") << Similarity(1.23, 8.5, QPointF(-210, 95));
    QTest::newRow("further, turned back") << Similarity(0.81, -9.75, QPointF(330.25, -12));
    QTest::newRow("upside down") << Similarity(1.0, 180.0, QPointF(4000, 3000));
    QTest::newRow("24 MP picture against a small one") << Similarity(0.166, 3.0, QPointF(20, 10));
}

void TestSimilarity::landmarksMapExactly()
{
    QFETCH(Similarity, truth);
    // The two pupils clicked on the after picture and where they are on the before picture.
    const QPointF left(2412.5, 1830.25), right(3405.75, 1790.0);
    const Similarity found = Similarity::fromLandmarks(left, right, truth.map(left), truth.map(right));
    QVERIFY2(found.fuzzyEquals(truth, 1e-12, 1e-9, 1e-7), qPrintable(found.toText()));
    compare(found.map(left), truth.map(left), 1e-7);
    compare(found.map(right), truth.map(right), 1e-7);
    // Clicking the pupils in the other order gives the same transform.
    QVERIFY(
        Similarity::fromLandmarks(right, left, truth.map(right), truth.map(left)).fuzzyEquals(found, 1e-12, 1e-9, 1e-7));
}

void TestSimilarity::landmarksTooCloseAreRefused()
{
    const QPointF a(100, 100), b(400, 120);
    QVERIFY_THROWS_EXCEPTION(AppError, Similarity::fromLandmarks(a, a, a, b));                 // same point twice
    QVERIFY_THROWS_EXCEPTION(AppError, Similarity::fromLandmarks(a, b, b, b));                 // on the before picture
    QVERIFY_THROWS_EXCEPTION(AppError, Similarity::fromLandmarks(a, a + QPointF(1, 1), a, b)); // a slip of the mouse
    QVERIFY(Similarity::fromLandmarks(a, b, a, a + QPointF(0, 3)).scale() > 0);                // close, but usable
}

void TestSimilarity::textRoundTrip()
{
    QLocale::setDefault(QLocale(QLocale::German)); // a decimal comma must not leak into the text
    const Similarity awkward(1.0 / 3.0, -123.456789012345678, QPointF(0.1 + 0.2, -1e-7));
    QCOMPARE(Similarity::parse(awkward.toText()), std::optional<Similarity>(awkward));
    QCOMPARE(Similarity(1.25, 90, QPointF(-12.5, 40)).toText(), QStringLiteral("s=1.25;r=90;dx=-12.5;dy=40"));
    QCOMPARE(Similarity().toText(), QStringLiteral("s=1;r=0;dx=0;dy=0"));
    const auto read = Similarity::parse(QStringLiteral("s=0.5;r=-10;dx=3;dy=4"));
    QVERIFY(read);
    compare(read->map(QPointF(0, 0)), QPointF(3, 4));
    QLocale::setDefault(QLocale::c());
}

void TestSimilarity::textRefusesMalformed_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("a key missing") << QStringLiteral("s=1;r=0;dx=0");
    QTest::newRow("one key too many") << QStringLiteral("s=1;r=0;dx=0;dy=0;k=2");
    QTest::newRow("keys swapped") << QStringLiteral("r=0;s=1;dx=0;dy=0");
    QTest::newRow("not a number") << QStringLiteral("s=1;r=abc;dx=0;dy=0");
    QTest::newRow("decimal comma") << QStringLiteral("s=1,5;r=0;dx=0;dy=0");
    QTest::newRow("zero scale") << QStringLiteral("s=0;r=0;dx=0;dy=0");
    QTest::newRow("negative scale") << QStringLiteral("s=-2;r=0;dx=0;dy=0");
    QTest::newRow("infinite shift") << QStringLiteral("s=1;r=0;dx=inf;dy=0");
    QTest::newRow("not a number shift") << QStringLiteral("s=1;r=0;dx=0;dy=nan");
}

void TestSimilarity::textRefusesMalformed()
{
    QFETCH(QString, text);
    QVERIFY(!Similarity::parse(text));
}

QTEST_GUILESS_MAIN(TestSimilarity)
#include "tst_similarity.moc"
