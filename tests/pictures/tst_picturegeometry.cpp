#include "pictures/PictureGeometry.h"

#include <QtTest>

using PictureGeometry::Fit;

Q_DECLARE_METATYPE(Fit)

class TestPictureGeometry : public QObject {
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
    void fitWithoutPicture();
    void arrange_data();
    void arrange();
    void columnsAndWindow();
};

static Fit fitOf(int left, int top, int width, int height)
{
    Fit f;
    f.left = left;
    f.top = top;
    f.width = width;
    f.height = height;
    f.stretch = true;
    return f;
}

void TestPictureGeometry::fit_data()
{
    QTest::addColumn<QSize>("natural");
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<Fit>("expected");

    // clang-format off
    QTest::newRow("too wide") << QSize(300, 200) << QSize(200, 300) << fitOf(8, 89, 184, 122);
    QTest::newRow("too tall") << QSize(100, 400) << QSize(200, 300) << fitOf(67, 20, 65, 260);
    QTest::newRow("fits: centred, not enlarged")
        << QSize(100, 50) << QSize(200, 300) << fitOf(50, 125, 100, 50);
    QTest::newRow("exactly the frame size") << QSize(200, 300) << QSize(200, 300) << fitOf(0, 0, 200, 300);
    // clang-format on
    // Only the comparison uses the full frame: 10 px narrower keeps the natural width.
    // clang-format off
    QTest::newRow("10 px narrower keeps width") << QSize(190, 100) << QSize(200, 300) << fitOf(5, 100, 190, 100);
    QTest::newRow("1 px too wide loses 17") << QSize(201, 100) << QSize(200, 300) << fitOf(8, 104, 184, 91);
    // clang-format on
    // Wide, then still too tall after the first step: both steps apply.
    // clang-format off
    QTest::newRow("too wide then too tall") << QSize(400, 1000) << QSize(200, 300) << fitOf(48, 20, 104, 260);
    // clang-format on
    // The single-precision ratio of 4:3 makes 184 / 1.3333334 = 137.99999 -> 137, not 138.
    // clang-format off
    QTest::newRow("single-precision 4:3") << QSize(400, 300) << QSize(200, 300) << fitOf(8, 81, 184, 137);
    QTest::newRow("6000x4000 photo") << QSize(6000, 4000) << QSize(598, 300) << fitOf(104, 20, 390, 260);
    // clang-format on
    // Frames smaller than the margins give negative sizes and offsets, rounded towards zero.
    // clang-format off
    QTest::newRow("tiny frame") << QSize(300, 200) << QSize(10, 10) << fitOf(8, 7, -6, -4);
    // clang-format on
    // A host too low for its frames gives frames of negative height; the arithmetic still runs.
    // clang-format off
    QTest::newRow("negative frame height") << QSize(300, 200) << QSize(278, -4) << fitOf(172, 20, -66, -44);
    // clang-format on
}

void TestPictureGeometry::fit()
{
    QFETCH(QSize, natural);
    QFETCH(QSize, frame);
    QFETCH(Fit, expected);
    const Fit got = PictureGeometry::fitPicture(natural, frame);
    QCOMPARE(QRect(got.left, got.top, got.width, got.height),
             QRect(expected.left, expected.top, expected.width, expected.height));
    QCOMPARE(got.stretch, expected.stretch);
}

void TestPictureGeometry::fitWithoutPicture()
{
    const Fit none = PictureGeometry::fitPicture(QSize(0, 0), QSize(200, 300));
    QVERIFY(!none.stretch);
    QVERIFY(!PictureGeometry::fitPicture(QSize(100, 0), QSize(200, 300)).stretch);
}

void TestPictureGeometry::arrange_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QVector<QRect>>("expected");

    // clang-format off
    QTest::newRow("none") << 300 << 600 << QVector<QRect>();
    QTest::newRow("one fills the host") << 300 << 600 << QVector<QRect>{QRect(12, 8, 278, 588)};
    QTest::newRow("three share equally")
        << 300 << 600
        << QVector<QRect>{QRect(12, 8, 278, 188), QRect(12, 204, 278, 188), QRect(12, 400, 278, 188)};
    // clang-format on
    // 601 div 3 = 200: the remainder is simply left below the last frame.
    // clang-format off
    QTest::newRow("height not divisible")
        << 100 << 601
        << QVector<QRect>{QRect(12, 8, 78, 188), QRect(12, 204, 78, 188), QRect(12, 400, 78, 188)};
    QTest::newRow("two") << 500 << 401 << QVector<QRect>{QRect(12, 8, 478, 188), QRect(12, 204, 478, 188)};
    QTest::newRow("tiny host") << 10 << 20 << QVector<QRect>{QRect(12, 8, -12, 8)};
    // clang-format on
}

void TestPictureGeometry::arrange()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QVector<QRect>, expected);
    const QVector<QRect> got = PictureGeometry::arrangeFrames(width, height, expected.size());
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got[i].left(), expected[i].left());
        QCOMPARE(got[i].top(), expected[i].top());
        QCOMPARE(got[i].width(), expected[i].width());
        QCOMPARE(got[i].height(), expected[i].height());
    }
}

void TestPictureGeometry::columnsAndWindow()
{
    QCOMPARE(PictureGeometry::beforeColumnWidth(801), 400);
    QCOMPARE(PictureGeometry::beforeColumnWidth(1), 0);
    QVERIFY(!PictureGeometry::splitterAccepts(1));
    QVERIFY(!PictureGeometry::splitterAccepts(0));
    QVERIFY(PictureGeometry::splitterAccepts(2));
    QCOMPARE(PictureGeometry::clampMainWidth(399), 400);
    QCOMPARE(PictureGeometry::clampMainWidth(1024), 1024);
}

QTEST_GUILESS_MAIN(TestPictureGeometry)
#include "tst_picturegeometry.moc"
