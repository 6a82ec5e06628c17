#include "data/AppError.h"
#include "pictures/GdiCanvas.h"
#include "pictures/PictureBudget.h"
#include "pictures/PictureLoader.h"

#include <QtEndian>
#include <QtTest>

#include <climits>

namespace {

// Little-endian record writer.
struct Out {
    QByteArray d;
    Out &w16(int v)
    {
        d += char(v & 0xFF);
        d += char((v >> 8) & 0xFF);
        return *this;
    }
    Out &w32(quint32 v)
    {
        w16(int(v & 0xFFFF));
        return w16(int(v >> 16));
    }
    Out &bytes(const QByteArray &b)
    {
        d += b;
        return *this;
    }
};

quint32 rgb(int r, int g, int b)
{
    return quint32(r) | quint32(g) << 8 | quint32(b) << 16;
}

// --- WMF -------------------------------------------------------------------------------------

struct Wmf {
    Out records;
    void rec(int function, const QVector<int> &params, const QByteArray &tail = QByteArray())
    {
        const int words = 3 + params.size() + (tail.size() + 1) / 2;
        records.w32(quint32(words)).w16(function);
        for (int p : params)
            records.w16(p);
        QByteArray t = tail;
        if (t.size() % 2)
            t += '\0';
        records.bytes(t);
    }
    void brush(int style, quint32 colour, int hatch = 0)
    {
        rec(0x02FC, {style, int(colour & 0xFFFF), int(colour >> 16), hatch});
    }
    void pen(int style, int width, quint32 colour)
    {
        rec(0x02FA, {style, width, 0, int(colour & 0xFFFF), int(colour >> 16)});
    }
    void select(int i) { rec(0x012D, {i}); }
    void rect(int l, int t, int r, int b) { rec(0x041B, {b, r, t, l}); }
    void polygon(const QVector<QPoint> &pts)
    {
        QVector<int> p{int(pts.size())};
        for (const QPoint &pt : pts)
            p << pt.x() << pt.y();
        rec(0x0324, p);
    }
    // Placeable when inch > 0.
    QByteArray bytes(int inch, QRect bounds, int objects)
    {
        rec(0, {});
        Out o;
        if (inch > 0) {
            Out h;
            h.w32(0x9AC6CDD7)
                .w16(0)
                .w16(bounds.left())
                .w16(bounds.top())
                .w16(bounds.right())
                .w16(bounds.bottom())
                .w16(inch)
                .w32(0);
            quint16 sum = 0;
            for (int i = 0; i < 20; i += 2)
                sum ^= qFromLittleEndian<quint16>(h.d.constData() + i);
            h.w16(sum);
            o.bytes(h.d);
        }
        o.w16(1).w16(9).w16(0x300).w32(quint32(9 + records.d.size() / 2)).w16(objects).w32(0).w16(0);
        return o.d + records.d;
    }
};

// A packed 2 x 2 24-bit DIB, stored bottom-up: blue, white below red, green.
QByteArray dib2x2()
{
    Out o;
    o.w32(40).w32(2).w32(2).w16(1).w16(24).w32(0).w32(16).w32(0).w32(0).w32(0).w32(0);
    auto px = [&](int r, int g, int b) {
        o.d += char(b);
        o.d += char(g);
        o.d += char(r);
    };
    px(0, 0, 255);
    px(255, 255, 255);
    o.w16(0); // bottom row, padded to 4 bytes
    px(255, 0, 0);
    px(0, 255, 0);
    o.w16(0); // top row
    return o.d;
}

// --- EMF -------------------------------------------------------------------------------------

struct Emf {
    Out records;
    int count = 1;
    void rec(quint32 type, const QVector<quint32> &params)
    {
        records.w32(type).w32(quint32(8 + params.size() * 4));
        for (quint32 p : params)
            records.w32(p);
        ++count;
    }
    void poly16(quint32 type, const QVector<QPoint> &pts)
    {
        Out o;
        o.w32(type).w32(quint32(28 + pts.size() * 4)).w32(0).w32(0).w32(0).w32(0).w32(quint32(pts.size()));
        for (const QPoint &p : pts)
            o.w16(p.x()).w16(p.y());
        records.bytes(o.d);
        ++count;
    }
    // Frame in 0.01 mm; the reference device is 96 dpi.
    QByteArray bytes(QRect frame)
    {
        rec(14, {0, 16, 20});
        Out h;
        h.w32(1).w32(88).w32(0).w32(0).w32(99).w32(49);
        h.w32(quint32(frame.left())).w32(quint32(frame.top())).w32(quint32(frame.right())).w32(quint32(frame.bottom()));
        h.w32(0x464D4520).w32(0x10000).w32(quint32(88 + records.d.size())).w32(quint32(count)).w16(8).w16(0);
        h.w32(0).w32(0).w32(0).w32(1920).w32(1080).w32(508).w32(286);
        return h.d + records.d;
    }
};

bool near(QRgb a, QColor b, int alpha = 255)
{
    return qAbs(qRed(a) - b.red()) < 40 && qAbs(qGreen(a) - b.green()) < 40 && qAbs(qBlue(a) - b.blue()) < 40
           && qAbs(qAlpha(a) - alpha) < 40;
}

} // namespace

class TestMetafile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void placeableWmf();
    void wmfWithoutPlaceableHeaderUsesWindow();
    void wmfYAxisUp();
    void wmfBitmap();
    void wmfText();
    void emfShapesAndMapping();
    void truncatedRecordsDoNotCrash();
    void fontRecordsOfBothFormats();
    void claimedSizeIsBounded();
    void repeatedWholeCanvasFillsAreBounded();

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

void TestMetafile::placeableWmf()
{
    Wmf w;
    w.rec(0x020B, {0, 0});
    w.rec(0x020C, {720, 1440});
    w.brush(0, rgb(255, 0, 0)); // slot 0
    w.pen(5, 0, 0);             // slot 1: null pen
    w.select(0);
    w.select(1);
    w.rect(0, 0, 720, 720);     // left half red
    w.rec(0x01F0, {0});         // delete the red brush: slot 0 is free again
    w.brush(0, rgb(0, 0, 255)); // goes into slot 0
    w.select(0);
    w.polygon({{720, 720}, {1440, 720}, {1440, 0}}); // lower right triangle blue
    const QString path = write("shapes.wmf", w.bytes(1440, QRect(QPoint(0, 0), QPoint(1440, 720)), 2));

    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(96, 48));
    const QImage img = PictureLoader::loadPicture(path);
    QCOMPARE(img.size(), QSize(96, 48));
    QVERIFY(near(img.pixel(20, 24), Qt::red));
    QVERIFY(near(img.pixel(90, 40), Qt::blue));
    QCOMPARE(qAlpha(img.pixel(56, 4)), 0); // outside every shape the picture stays transparent
}

void TestMetafile::wmfWithoutPlaceableHeaderUsesWindow()
{
    Wmf w;
    w.rec(0x020B, {0, 0});
    w.rec(0x020C, {50, 100});
    w.brush(0, rgb(0, 255, 0));
    w.select(0);
    w.rect(50, 0, 100, 50);
    const QString path = write("plain.wmf", w.bytes(0, QRect(), 1));
    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(100, 50));
    const QImage img = PictureLoader::loadPicture(path);
    QVERIFY(near(img.pixel(75, 25), Qt::green));
    QCOMPARE(qAlpha(img.pixel(25, 25)), 0);
}

void TestMetafile::wmfYAxisUp()
{
    // Window origin at the bottom, extent upwards: logical (0,0)-(50,25) is the lower left.
    Wmf w;
    w.rec(0x020B, {50, 0});
    w.rec(0x020C, {-50, 100});
    w.brush(0, rgb(255, 0, 0));
    w.select(0);
    w.rect(0, 0, 50, 25);
    const QString path = write("up.wmf", w.bytes(96, QRect(QPoint(0, 0), QPoint(100, 50)), 1));
    const QImage img = PictureLoader::loadPicture(path);
    QCOMPARE(img.size(), QSize(100, 50));
    QVERIFY(near(img.pixel(25, 40), Qt::red));
    QCOMPARE(qAlpha(img.pixel(25, 10)), 0);
}

void TestMetafile::wmfBitmap()
{
    Wmf w;
    // STRETCHDIB: rop, usage, srcH, srcW, srcY, srcX, destH, destW, destY, destX, DIB
    w.rec(0x0F43, {0x0020, 0x00CC, 0, 2, 2, 0, 0, 48, 48, 0, 0}, dib2x2());
    const QString path = write("dib.wmf", w.bytes(96, QRect(QPoint(0, 0), QPoint(48, 48)), 0));
    const QImage img = PictureLoader::loadPicture(path);
    QVERIFY(near(img.pixel(6, 6), Qt::red));
    QVERIFY(near(img.pixel(42, 6), Qt::green));
    QVERIFY(near(img.pixel(6, 42), Qt::blue));
    QVERIFY(near(img.pixel(42, 42), Qt::white));
}

void TestMetafile::wmfText()
{
    Wmf w;
    w.rec(0x0209, {0x0000, 0x00FF} /* text colour: blue */);
    w.rec(0x0102, {1}); // transparent background
    // CREATEFONTINDIRECT: height -30, bold
    QVector<int> font{-30, 0, 0, 0, 700, 0, 0, 0, 0};
    w.rec(0x02FB, font, QByteArray("Sans\0", 5));
    w.select(0);
    const QByteArray text("WWWW");
    QVector<int> params{int(text.size())};
    w.rec(0x0521, params, text + QByteArray("\x0A\0\x0A\0", 4)); // y 10, x 10
    const QString path = write("text.wmf", w.bytes(96, QRect(QPoint(0, 0), QPoint(120, 60)), 1));
    const QImage img = PictureLoader::loadPicture(path);
    int inked = 0;
    for (int y = 10; y < 45; ++y)
        for (int x = 10; x < 110; ++x)
            inked += qAlpha(img.pixel(x, y)) > 128 && qBlue(img.pixel(x, y)) > 128 && qRed(img.pixel(x, y)) < 100;
    QVERIFY2(inked > 100, qPrintable(QString::number(inked)));
    // Nothing above the reference point (the text hangs below it).
    for (int x = 0; x < 120; ++x)
        QCOMPARE(qAlpha(img.pixel(x, 5)), 0);
}

void TestMetafile::emfShapesAndMapping()
{
    Emf e;
    e.rec(39, {1, 0, rgb(255, 0, 0), 0}); // brush 1: red
    e.rec(37, {1});
    e.rec(37, {0x80000008});              // stock null pen
    e.rec(43, {0, 0, 48, 48});            // left half (device units = pixels here)
    e.rec(17, {8});                       // anisotropic
    e.rec(9, {200, 100});                 // window extent
    e.rec(11, {96, 48});                  // viewport extent
    e.rec(39, {2, 0, rgb(0, 0, 255), 0}); // brush 2: blue
    e.rec(37, {2});
    e.poly16(86, {{100, 50}, {200, 50}, {200, 100}, {100, 100}}); // lower right quarter
    const QString path = write("shapes.emf", e.bytes(QRect(QPoint(0, 0), QPoint(2540, 1270))));
    QCOMPARE(PictureLoader::readNaturalSize(path), QSize(96, 48));
    const QImage img = PictureLoader::loadPicture(path);
    QCOMPARE(img.size(), QSize(96, 48));
    QVERIFY(near(img.pixel(24, 24), Qt::red));
    QVERIFY(near(img.pixel(72, 36), Qt::blue));
    QCOMPARE(qAlpha(img.pixel(72, 12)), 0);
}

void TestMetafile::truncatedRecordsDoNotCrash()
{
    Wmf w;
    w.rec(0x020C, {100, 100});
    w.polygon({{0, 0}, {100, 0}, {100, 100}});
    QByteArray data = w.bytes(96, QRect(QPoint(0, 0), QPoint(100, 100)), 0);
    // A polygon claiming far more points than its record holds, then a cut-off record.
    data[22 + 18 + 10 + 6] = char(0xFF);
    data.chop(7);
    const QString path = write("cut.wmf", data);
    QCOMPARE(PictureLoader::loadPicture(path).size(), QSize(100, 100));
}

// The same logical font in the 16-bit form of WMF and the 32-bit form of EMF decodes alike,
// and a record cut short keeps what it holds.
void TestMetafile::fontRecordsOfBothFormats()
{
    const QByteArray gbkFace("\xCB\xCE\xCC\xE5\0garbage", 12); // 宋体 in code page 936
    Out wmf;
    wmf.w16(-24).w16(0).w16(900).w16(0).w16(700).bytes(QByteArray("\x01\x00\x01\x86\0\0\0\0", 8));
    wmf.bytes(gbkFace.leftJustified(32, '\0'));
    Out emf;
    emf.w32(quint32(-24)).w32(0).w32(900).w32(0).w32(700).bytes(QByteArray("\x01\x00\x01\x86\0\0\0\0", 8));
    for (QChar ch : QStringLiteral("宋体"))
        emf.w16(ch.unicode());
    emf.w16(0).w16('x');

    for (const bool wide : {false, true}) {
        const QByteArray &d = wide ? emf.d : wmf.d;
        const Metafile::GdiFont f = Metafile::decodeLogFont(Metafile::Bytes{reinterpret_cast<const unsigned char *>(
                                                                                d.constData()),
                                                                            std::size_t(d.size())},
                                                            wide);
        QCOMPARE(f.height, -24.0);
        QCOMPARE(f.escapement, 900);
        QCOMPARE(f.weight, 700);
        QVERIFY(f.italic && !f.underline && f.strikeOut);
        QCOMPARE(f.charset, 0x86);
        QCOMPARE(f.face, QStringLiteral("宋体"));
    }
    // Cut after the weight: no flags, the default character set, no face.
    const QByteArray cut = emf.d.left(20);
    const Metafile::GdiFont f = Metafile::decodeLogFont(Metafile::Bytes{reinterpret_cast<const unsigned char *>(
                                                                            cut.constData()),
                                                                        std::size_t(cut.size())},
                                                        true);
    QCOMPARE(f.weight, 700);
    QVERIFY(!f.italic && !f.strikeOut);
    QCOMPARE(f.charset, 1);
    QVERIFY(f.face.isEmpty());
}

void TestMetafile::claimedSizeIsBounded()
{
    auto errorOf = [](const std::function<void()> &f) {
        try {
            f();
        } catch (const AppError &e) {
            return e.text();
        }
        return QString();
    };
    // Headers of about a hundred bytes claiming huge frames: refused at once, before any canvas
    // is allocated. The extreme frame's width does not fit in 32 bits.
    const struct {
        const char *name;
        QRect frame;
    } refused[] = {
        {"20000.emf", QRect(QPoint(0, 0), QPoint(529167, 529167))},
        {"extreme.emf", QRect(QPoint(INT_MIN, INT_MIN), QPoint(INT_MAX, INT_MAX))},
        {"wide.emf", QRect(QPoint(-2000000000, 0), QPoint(2000000000, 2540))},
    };
    for (const auto &r : refused) {
        Emf e;
        const QString path = write(r.name, e.bytes(r.frame));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(errorOf([&] { PictureLoader::readNaturalSize(path); }), QStringLiteral("Metafile is not valid"));
        QCOMPARE(errorOf([&] { PictureLoader::loadPicture(path); }), QStringLiteral("Metafile is not valid"));
        QCOMPARE(errorOf([&] { PictureLoader::loadPreview(path, QSize(100, 100)); }),
                 QStringLiteral("Metafile is not valid"));
        QVERIFY2(clock.elapsed() < 1000, r.name);
    }
    Wmf far;
    far.rect(0, 0, 1000, 1000);
    const QString farPath = write("inch.wmf", far.bytes(1, QRect(QPoint(0, 0), QPoint(1000, 1000)), 0));
    QCOMPARE(errorOf([&] { PictureLoader::loadPicture(farPath); }), QStringLiteral("Metafile is not valid"));

    // Within the budget but above the canvas: drawn scaled down, keeping proportions and content.
    Emf big;
    big.rec(39, {1, 0, rgb(255, 0, 0), 0});
    big.rec(37, {1});
    big.rec(37, {0x80000008});
    big.rec(43, {0, 0, 6000, 4000});
    const QString bigPath = write("big.emf", big.bytes(QRect(QPoint(0, 0), QPoint(158750, 105833))));
    QCOMPARE(PictureLoader::readNaturalSize(bigPath), QSize(6000, 4000));
    const QImage img = PictureLoader::loadPicture(bigPath);
    QVERIFY(qint64(img.width()) * img.height() <= PictureBudget::MaxCanvasPixels);
    QVERIFY(img.width() > 4000 && qAbs(img.width() * 2 - img.height() * 3) <= 3);
    QVERIFY(near(img.pixel(img.width() / 2, img.height() / 2), Qt::red));
    QVERIFY(near(img.pixel(img.width() - 3, img.height() - 3), Qt::red));
}

void TestMetafile::repeatedWholeCanvasFillsAreBounded()
{
    // 48 kilobytes of records filling the largest canvas again and again: drawing stops when the
    // painting work is spent, instead of taking half a minute or more.
    Emf e;
    e.rec(39, {1, 0, rgb(0, 0, 255), 0});
    e.rec(37, {1});
    e.rec(37, {0x80000008});
    for (int i = 0; i < 2000; ++i)
        e.rec(43, {0, 0, 4096, 4096});
    const QString path = write("fills.emf", e.bytes(QRect(QPoint(0, 0), QPoint(108373, 108373))));
    QElapsedTimer clock;
    clock.start();
    const QImage img = PictureLoader::loadPicture(path);
    QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(img.size(), QSize(4096, 4096));
    QVERIFY(near(img.pixel(2048, 2048), Qt::blue));

    // Many small shapes in an ordinary picture are all drawn: the last one too.
    Emf many;
    many.rec(39, {1, 0, rgb(255, 0, 0), 0});
    many.rec(37, {1});
    many.rec(37, {0x80000008});
    for (int i = 0; i < 5000; ++i)
        many.rec(43, {quint32(i % 100), quint32(i / 100), quint32(i % 100 + 1), quint32(i / 100 + 1)});
    many.rec(39, {2, 0, rgb(0, 255, 0), 0});
    many.rec(37, {2});
    many.rec(43, {80, 80, 90, 90});
    const QImage small = PictureLoader::loadPicture(
        write("many.emf", many.bytes(QRect(QPoint(0, 0), QPoint(2646, 2646)))));
    QCOMPARE(small.size(), QSize(100, 100));
    QVERIFY(near(small.pixel(85, 85), Qt::green));
}

QTEST_MAIN(TestMetafile)
#include "tst_metafile.moc"
