#include "data/AppError.h"
#include "pictures/JpegDecoder.h"
#include "pictures/PictureLoader.h"

#include <QtConcurrent>
#include <QtEndian>
#include <QtTest>

#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

namespace {

// The test picture as it should be seen: four coloured quadrants.
const QColor Quadrants[4] = {Qt::red, Qt::green, Qt::blue, Qt::white};

QImage quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, Quadrants[(y >= h / 2) * 2 + (x >= w / 2)].rgb());
    return img;
}

// Where stored pixel (x, y) of a Ws x Hs picture is seen once upright, per EXIF orientation.
QPoint seenAt(int o, int x, int y, int ws, int hs)
{
    switch (o) {
    case 2: return {ws - 1 - x, y};
    case 3: return {ws - 1 - x, hs - 1 - y};
    case 4: return {x, hs - 1 - y};
    case 5: return {y, x};
    case 6: return {hs - 1 - y, x};
    case 7: return {hs - 1 - y, ws - 1 - x};
    case 8: return {y, ws - 1 - x};
    default: return {x, y};
    }
}

QImage storedFor(const QImage &upright, int o)
{
    const bool swap = o >= 5;
    const int ws = swap ? upright.height() : upright.width();
    const int hs = swap ? upright.width() : upright.height();
    QImage stored(ws, hs, QImage::Format_RGB32);
    for (int y = 0; y < hs; ++y)
        for (int x = 0; x < ws; ++x)
            stored.setPixel(x, y, upright.pixel(seenAt(o, x, y, ws, hs)));
    return stored;
}

QByteArray exifSegment(int orientation, bool bigEndian)
{
    QByteArray tiff;
    auto u16 = [&](int v) {
        if (bigEndian) {
            tiff += char(v >> 8);
            tiff += char(v);
        } else {
            tiff += char(v);
            tiff += char(v >> 8);
        }
    };
    auto u32 = [&](quint32 v) {
        if (bigEndian) {
            u16(int(v >> 16));
            u16(int(v & 0xFFFF));
        } else {
            u16(int(v & 0xFFFF));
            u16(int(v >> 16));
        }
    };
    tiff += bigEndian ? "MM" : "II";
    u16(42);
    u32(8);
    u16(2); // two entries: Make first
    u16(0x010F);
    u16(2);
    u32(4);
    tiff += QByteArray("Cam\0", 4);
    u16(0x0112);
    u16(3);
    u32(1);
    u16(orientation);
    u16(0);
    u32(0);
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray seg("\xFF\xE1");
    const int len = payload.size() + 2;
    seg += char(len >> 8);
    seg += char(len & 0xFF);
    return seg + payload;
}

QByteArray jpegBytes(const QImage &img, int orientation = 0, bool bigEndian = false, int quality = 95)
{
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    if (!img.save(&buf, "JPG", quality))
        qFatal("cannot encode a JPEG");
    if (orientation)
        data.insert(2, exifSegment(orientation, bigEndian));
    return data;
}

bool near(QRgb a, QColor b)
{
    return qAbs(qRed(a) - b.red()) < 48 && qAbs(qGreen(a) - b.green()) < 48 && qAbs(qBlue(a) - b.blue()) < 48;
}

QString errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const AppError &e) {
        return e.text();
    }
    return QString();
}

} // namespace

class TestPictureLoader : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void orientation_data();
    void orientation();
    void previewScale_data();
    void previewScale();
    void scaleNumerator_data();
    void scaleNumerator();
    void failures_data();
    void failures();
    void headerOnlySizeOfTruncatedJpeg();
    void extensionsIgnoreCase_data();
    void extensionsIgnoreCase();
    void greyscaleAndCmyk();
    void largePictureLoads();
    void claimedSizeBeyondBudgetRefused();
    void parallelLoadsAgree();

private:
    QString write(const QString &name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }
    QTemporaryDir m_dir;
};

void TestPictureLoader::orientation_data()
{
    QTest::addColumn<int>("o");
    QTest::addColumn<bool>("bigEndian");
    for (int o = 1; o <= 8; ++o) {
        QTest::addRow("%d little-endian", o) << o << false;
        QTest::addRow("%d big-endian", o) << o << true;
    }
}

void TestPictureLoader::orientation()
{
    QFETCH(int, o);
    QFETCH(bool, bigEndian);
    const QImage upright = quadrants(64, 32);
    const QString path = write(QStringLiteral("o%1%2.jpg").arg(o).arg(bigEndian),
                               jpegBytes(storedFor(upright, o), o, bigEndian));

    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(64, 32));
    const QImage full = PictureLoader::loadPicture(path);
    QCOMPARE(full.size(), QSize(64, 32));
    // A preview of at least 16 x 8 upright is decoded at 1/4, measured in the upright frame.
    const QImage preview = PictureLoader::loadPreview(path, QSize(16, 8));
    QCOMPARE(preview.size(), QSize(16, 8));
    for (const QImage &img : {full, preview}) {
        const int w = img.width(), h = img.height();
        const QPoint centres[4] = {{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}};
        for (int q = 0; q < 4; ++q)
            QVERIFY2(near(img.pixel(centres[q]), Quadrants[q]),
                     qPrintable(QStringLiteral("quadrant %1 of %2x%3").arg(q).arg(w).arg(h)));
    }
}

void TestPictureLoader::previewScale_data()
{
    QTest::addColumn<QSize>("atLeast");
    QTest::addColumn<QSize>("expected");
    // clang-format off
    QTest::newRow("1/8 exactly covers") << QSize(200, 150) << QSize(200, 150);
    QTest::newRow("one pixel more needs 2/8") << QSize(201, 150) << QSize(400, 300);
    QTest::newRow("height decides") << QSize(10, 301) << QSize(600, 450);
    QTest::newRow("frame of the main window") << QSize(600, 300) << QSize(600, 450);
    QTest::newRow("never above natural size") << QSize(2000, 2000) << QSize(1600, 1200);
    QTest::newRow("empty request") << QSize(0, 0) << QSize(200, 150);
    // clang-format on
}

void TestPictureLoader::previewScale()
{
    QFETCH(QSize, atLeast);
    QFETCH(QSize, expected);
    static const QString path = write(QStringLiteral("big.jpg"), jpegBytes(quadrants(1600, 1200), 0, false, 80));
    QCOMPARE(PictureLoader::loadPreview(path, atLeast).size(), expected);
}

void TestPictureLoader::scaleNumerator_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<QSize>("need");
    QTest::addColumn<int>("n");
    // libjpeg rounds the scaled size up: 1001 / 8 gives 126.
    // clang-format off
    QTest::newRow("rounding up counts") << QSize(1001, 1001) << QSize(126, 126) << 1;
    QTest::newRow("just over") << QSize(1001, 1001) << QSize(127, 1) << 2;
    QTest::newRow("7/8") << QSize(800, 800) << QSize(700, 1) << 7;
    QTest::newRow("7/8 not enough") << QSize(800, 800) << QSize(701, 1) << 8;
    // clang-format on
}

void TestPictureLoader::scaleNumerator()
{
    QFETCH(QSize, stored);
    QFETCH(QSize, need);
    QFETCH(int, n);
    QCOMPARE(JpegDecoder::scaleNumerator(stored, need), n);
}

void TestPictureLoader::failures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    const QByteArray jpeg = jpegBytes(quadrants(256, 256));
    QByteArray png;
    QBuffer buf(&png);
    buf.open(QIODevice::WriteOnly);
    quadrants(8, 8).save(&buf, "PNG");

    // clang-format off
    QTest::newRow("garbage jpeg") << "g.jpg" << QByteArray("not a picture at all") << QStringLiteral("JPEG error #%1").arg(JERR_NO_SOI);
    QTest::newRow("truncated jpeg") << "t.jpeg" << jpeg.left(jpeg.size() / 2) << QStringLiteral("JPEG error #%1").arg(JWRN_JPEG_EOF);
    QTest::newRow("empty jpeg") << "e.jpg" << QByteArray() << QStringLiteral("JPEG error #%1").arg(JERR_INPUT_EMPTY);
    QTest::newRow("garbage bmp") << "g.bmp" << QByteArray("BMxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx") << "Bitmap image is not valid";
    QTest::newRow("png named bmp") << "p.bmp" << png << "Bitmap image is not valid";
    QTest::newRow("garbage ico") << "g.ico" << QByteArray(40, '\x01') << "Icon image is not valid";
    QTest::newRow("garbage wmf") << "g.wmf" << QByteArray(64, 'w') << "Metafile is not valid";
    QTest::newRow("garbage emf") << "g.emf" << QByteArray(128, 'e') << "Metafile is not valid";
    QTest::newRow("png extension") << "p.png" << png << "Unknown picture file extension (.png)";
    QTest::newRow("case kept in message") << "p.PNG" << png << "Unknown picture file extension (.PNG)";
    QTest::newRow("no extension") << "jpg" << jpeg << "Unknown picture file extension (.)";
    QTest::newRow("last extension counts") << "x.jpg.gif" << jpeg << "Unknown picture file extension (.gif)";
    // clang-format on
}

void TestPictureLoader::failures()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QString path = write(name, content);
    QCOMPARE(errorOf([&] { PictureLoader::loadPicture(path); }), expected);
    QCOMPARE(errorOf([&] { PictureLoader::loadPreview(path, QSize(10, 10)); }), expected);
    if (!name.startsWith(QLatin1Char('t')))
        QCOMPARE(errorOf([&] { PictureLoader::readNaturalSize(path); }), expected);
    // A missing file is reported as such, not as a damaged picture.
    QVERIFY(errorOf([&] { PictureLoader::loadPicture(m_dir.filePath("missing.jpg")); }).startsWith("Cannot open file"));
}

void TestPictureLoader::headerOnlySizeOfTruncatedJpeg()
{
    const QByteArray jpeg = jpegBytes(quadrants(320, 200), 6);
    const QString path = write(QStringLiteral("head.jpg"), jpeg.left(jpeg.size() / 3));
    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(200, 320));
}

void TestPictureLoader::extensionsIgnoreCase_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    // clang-format off
    QTest::newRow("JPG") << "a.JPG" << QByteArray("JPG");
    QTest::newRow("JpEg") << "b.JpEg" << QByteArray("JPG");
    QTest::newRow("BMP") << "c.BMP" << QByteArray("BMP");
    QTest::newRow("Ico") << "d.Ico" << QByteArray("ICO");
    // clang-format on
}

void TestPictureLoader::extensionsIgnoreCase()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QByteArray data;
    QBuffer buf(&data);
    buf.open(QIODevice::WriteOnly);
    QVERIFY(quadrants(32, 16).save(&buf, format.constData()));
    const QString path = write(name, data);
    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(32, 16));
    const QImage img = PictureLoader::loadPicture(path);
    QCOMPARE(img.size(), QSize(32, 16));
    QVERIFY(near(img.pixel(4, 4), Qt::red));
    QVERIFY(near(img.pixel(28, 12), Qt::white));
}

void TestPictureLoader::greyscaleAndCmyk()
{
    QImage grey(40, 20, QImage::Format_Grayscale8);
    grey.fill(200);
    const QString g = write(QStringLiteral("grey.jpg"), jpegBytes(grey));
    QCOMPARE(qGray(PictureLoader::loadPicture(g).pixel(10, 10)), 200);

    // A CMYK JPEG as Adobe applications write it (inverted), encoded with libjpeg.
    const QString c = m_dir.filePath(QStringLiteral("cmyk.jpg"));
    FILE *f = std::fopen(QFile::encodeName(c).constData(), "wb");
    QVERIFY(f);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, f);
    cinfo.image_width = 16;
    cinfo.image_height = 16;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    cinfo.write_Adobe_marker = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    // Inverted CMYK for pure red: C = 0, M = Y = K = 100 % -> stored 255, 0, 0, 255.
    unsigned char row[16 * 4];
    for (int x = 0; x < 16; ++x) {
        row[x * 4] = 255;
        row[x * 4 + 1] = 0;
        row[x * 4 + 2] = 0;
        row[x * 4 + 3] = 255;
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW r = row;
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(f);
    QVERIFY(near(PictureLoader::loadPicture(c).pixel(8, 8), Qt::red));
}

void TestPictureLoader::largePictureLoads()
{
    // 48 MP: beyond the 128 MB that Qt's own reader allows by default.
    QImage big(8000, 6000, QImage::Format_RGB32);
    big.fill(Qt::black);
    const QString path = write(QStringLiteral("48mp.jpg"), jpegBytes(big, 0, false, 50));
    big = QImage();
    const QImage img = PictureLoader::loadPicture(path);
    QCOMPARE(img.size(), QSize(8000, 6000));
    QCOMPARE(PictureLoader::loadPreview(path, QSize(600, 300)).size(), QSize(1000, 750));
}

void TestPictureLoader::claimedSizeBeyondBudgetRefused()
{
    // Small files whose headers claim 20000 x 20000 pixels (400 MP): refused before the pixels
    // are allocated, with the kind's usual text; the size alone can still be read.
    QByteArray jpeg = jpegBytes(quadrants(16, 16));
    const int sof = jpeg.indexOf("\xFF\xC0");
    QVERIFY(sof > 0);
    qToBigEndian<quint16>(20000, jpeg.data() + sof + 5);
    qToBigEndian<quint16>(20000, jpeg.data() + sof + 7);
    const QString bigJpeg = write(QStringLiteral("huge.jpg"), jpeg);
    QCOMPARE(PictureLoader::readNaturalSize(bigJpeg), QSize(20000, 20000));
    const QString tooBig = QStringLiteral("JPEG error #%1").arg(JERR_IMAGE_TOO_BIG);
    QCOMPARE(errorOf([&] { PictureLoader::loadPicture(bigJpeg); }), tooBig);
    QCOMPARE(errorOf([&] { PictureLoader::loadPreview(bigJpeg, QSize(100, 100)); }), tooBig);

    QByteArray bmp("BM", 2);
    bmp.resize(54 + 16);
    auto put32 = [&](int at, qint32 v) { qToLittleEndian<qint32>(v, bmp.data() + at); };
    put32(2, bmp.size());
    put32(6, 0);
    put32(10, 54);
    put32(14, 40);
    put32(18, 20000);
    put32(22, 20000);
    qToLittleEndian<quint16>(1, bmp.data() + 26);
    qToLittleEndian<quint16>(24, bmp.data() + 28);
    for (int at = 30; at < 54; at += 4)
        put32(at, 0);
    const QString bigBmp = write(QStringLiteral("huge.bmp"), bmp);
    QCOMPARE(errorOf([&] { PictureLoader::loadPicture(bigBmp); }), QStringLiteral("Bitmap image is not valid"));
    QCOMPARE(errorOf([&] { PictureLoader::readNaturalSize(bigBmp); }), QStringLiteral("Bitmap image is not valid"));
}

void TestPictureLoader::parallelLoadsAgree()
{
    const QString good = write(QStringLiteral("par.jpg"), jpegBytes(quadrants(640, 480), 6));
    const QString bad = write(QStringLiteral("par-bad.jpg"), QByteArray(1000, 'x'));
    QStringList paths;
    for (int i = 0; i < 24; ++i)
        paths << (i % 3 ? good : bad);
    const QImage reference = PictureLoader::loadPreview(good, QSize(100, 100));
    const QList<QString> results = QtConcurrent::blockingMapped(paths, [&](const QString &p) {
        try {
            return PictureLoader::loadPreview(p, QSize(100, 100)) == reference ? QStringLiteral("same")
                                                                               : QStringLiteral("differs");
        } catch (const AppError &e) {
            return e.text();
        }
    });
    for (int i = 0; i < results.size(); ++i)
        QCOMPARE(results[i], i % 3 ? QStringLiteral("same") : QStringLiteral("JPEG error #%1").arg(JERR_NO_SOI));
}

QTEST_MAIN(TestPictureLoader)
#include "tst_pictureloader.moc"
