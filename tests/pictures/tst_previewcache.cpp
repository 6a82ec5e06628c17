// The preview cache on disk: where entries go and what they record, that they hold the pixels
// stored, which entries are trusted, which size serves which frame, and that a failed write
// leaves nothing behind.
#include "pictures/PreviewCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QImage filled(QSize size, QColor colour)
{
    QImage img(size, QImage::Format_RGB32);
    img.fill(colour);
    return img;
}

// The tEXt chunks of a PNG file, keyword to text.
QMap<QByteArray, QByteArray> textChunks(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray d = f.readAll();
    QMap<QByteArray, QByteArray> out;
    for (int i = 8; i + 12 <= d.size();) {
        const int n = int(quint8(d[i]) << 24 | quint8(d[i + 1]) << 16 | quint8(d[i + 2]) << 8 | quint8(d[i + 3]));
        if (d.mid(i + 4, 4) == "tEXt") {
            const QByteArray body = d.mid(i + 8, n);
            const int zero = body.indexOf('\0');
            out.insert(body.left(zero), body.mid(zero + 1));
        }
        i += 12 + n;
    }
    return out;
}

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

} // namespace

class TestPreviewCache : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    QString picture(const QString &name, QSize size = QSize(1600, 1200))
    {
        const QString p = m_dir.filePath(name);
        filled(size, Qt::darkCyan).save(p, "JPG");
        return p;
    }

private slots:
    void uriIsThePercentEncodedAbsolutePath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("uri");
        // clang-format off
        QTest::newRow("plain") << "/srv/pic/A1/1.jpg" << QByteArray("file:///srv/pic/A1/1.jpg");
        QTest::newRow("space and percent") << "/srv/a b%.jpg" << QByteArray("file:///srv/a%20b%25.jpg");
        QTest::newRow("chinese, as UTF-8") << QString::fromUtf8("/srv/术前.jpg")
                                           << QByteArray("file:///srv/%E6%9C%AF%E5%89%8D.jpg");
        QTest::newRow("dot segments resolved") << "/srv/x/../y/./1.jpg" << QByteArray("file:///srv/y/1.jpg");
        // clang-format on
    }
    void uriIsThePercentEncodedAbsolutePath()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, uri);
        QCOMPARE(PreviewCache::uriOf(path), uri);
        const PreviewCache cache(QStringLiteral("/c/thumbnails"));
        QCOMPARE(cache.entryPath(path, PreviewCache::XXLarge),
                 QStringLiteral("/c/thumbnails/xx-large/")
                     + QString::fromLatin1(QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex()) + ".png");
        QVERIFY(cache.entryPath(path, PreviewCache::XLarge).startsWith(QStringLiteral("/c/thumbnails/x-large/")));
    }

    void sizesServeTheFrames_data()
    {
        QTest::addColumn<QSize>("natural");
        QTest::addColumn<QSize>("shown");
        QTest::addColumn<int>("edge"); // 0: no entry is large enough
        QTest::addColumn<QSize>("entry");
        // clang-format off
        QTest::newRow("three to a column") << QSize(4000, 3000) << QSize(321, 241) << 512 << QSize(512, 384);
        QTest::newRow("exactly x-large") << QSize(4000, 3000) << QSize(512, 384) << 512 << QSize(512, 384);
        QTest::newRow("one to a column") << QSize(4000, 3000) << QSize(762, 571) << 1024 << QSize(1024, 768);
        QTest::newRow("portrait") << QSize(3000, 4000) << QSize(400, 533) << 1024 << QSize(768, 1024);
        QTest::newRow("wider than xx-large, as on a high-density screen") << QSize(6000, 4000) << QSize(1200, 800) << 2048
                                                                           << QSize(2048, 1365);
        QTest::newRow("wider than every entry") << QSize(6000, 4000) << QSize(2400, 1600) << 0 << QSize(2048, 1365);
        QTest::newRow("small picture, never enlarged") << QSize(800, 600) << QSize(300, 225) << 512 << QSize(512, 384);
        QTest::newRow("smaller than x-large") << QSize(400, 300) << QSize(400, 300) << 512 << QSize(400, 300);
        // clang-format on
    }
    void sizesServeTheFrames()
    {
        QFETCH(QSize, natural);
        QFETCH(QSize, shown);
        QFETCH(int, edge);
        QFETCH(QSize, entry);
        PreviewCache::Edge e = PreviewCache::XLarge;
        QCOMPARE(PreviewCache::edgeFor(natural, shown, &e), edge != 0);
        if (edge) {
            QCOMPARE(int(e), edge);
            QCOMPARE(PreviewCache::entrySize(natural, e), entry);
            QCOMPARE(PreviewCache::worthCaching(natural, e), natural != entry);
        } else {
            QCOMPARE(PreviewCache::entrySize(natural, PreviewCache::Huge), entry);
        }
    }

    void entryIsPrivateAndCarriesTheStamp()
    {
        const QString pic = picture(QStringLiteral("a.jpg"));
        const QString root = m_dir.filePath(QStringLiteral("home/.cache/thumbnails"));
        const PreviewCache cache(root);
        const PreviewCache::Stamp stamp = PreviewCache::stampOf(pic);
        QVERIFY(stamp.isValid());
        QVERIFY(cache.store(pic, stamp, PreviewCache::XLarge, filled(QSize(512, 384), Qt::red)));

        const QString entry = cache.entryPath(pic, PreviewCache::XLarge);
        QCOMPARE(modeOf(entry), 0600);
        for (const QString &folder : {m_dir.filePath("home/.cache"), root, root + "/x-large"})
            QCOMPARE(modeOf(folder), 0700);
        const auto text = textChunks(entry);
        QCOMPARE(text.value("Thumb::URI"), PreviewCache::uriOf(pic));
        QCOMPARE(text.value("Thumb::MTime"), QByteArray::number(QFileInfo(pic).lastModified().toSecsSinceEpoch()));
        QCOMPARE(text.value("Thumb::Size"), QByteArray::number(QFileInfo(pic).size()));
        // Written through a temporary file: only the entry is left in the folder.
        QCOMPARE(QDir(root + "/x-large").entryList(QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(entry).fileName()});
        // The picture's own folder is untouched.
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"a.jpg"});

        // The program's own JPEG copy is as private, and is what comes back.
        const QString fast = cache.fastEntryPath(pic, PreviewCache::XLarge);
        QCOMPARE(modeOf(fast), 0600);
        QCOMPARE(modeOf(QFileInfo(fast).path()), 0700);
        QCOMPARE(QDir(QFileInfo(fast).path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(fast).fileName()});
        const QImage back = cache.find(pic, stamp, QSize(1600, 1200), PreviewCache::XLarge);
        QCOMPARE(back.size(), QSize(512, 384));
        QVERIFY(qAbs(back.pixelColor(10, 10).red() - 255) <= 2 && back.pixelColor(10, 10).green() <= 2);
        // Without it, the shared PNG serves.
        QVERIFY(QFile::remove(fast));
        QCOMPARE(cache.find(pic, stamp, QSize(1600, 1200), PreviewCache::XLarge).pixelColor(10, 10), QColor(Qt::red));
    }

    // The shared PNG entries hold exactly the pixels stored: photo-like rows that differ from the
    // row above in every byte, an odd width, a single row, and a translucent picture keeping its
    // alpha (a metafile's transparent background), which only a PNG can hold. What the cache
    // gives back (the JPEG copy where there is one) has the picture's shape and alpha.
    void entriesReadBackPixelForPixel()
    {
        const QString pic = picture(QStringLiteral("px.jpg"));
        const PreviewCache::Stamp stamp = PreviewCache::stampOf(pic);
        struct Case {
            QSize natural;
            PreviewCache::Edge edge;
            bool alpha;
        };
        for (const Case &c :
             {Case{QSize(602, 1024), PreviewCache::XLarge, false}, Case{QSize(4096, 1), PreviewCache::XXLarge, false},
              Case{QSize(1025, 2049), PreviewCache::XXLarge, true}}) {
            const PreviewCache cache(m_dir.filePath(QStringLiteral("px%1").arg(c.natural.width())));
            const QSize size = PreviewCache::entrySize(c.natural, c.edge);
            QImage preview(size, c.alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
            quint32 noise = 12345;
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x) {
                    noise = noise * 1103515245u + 12345u;
                    preview.setPixel(x, y,
                                     qRgba(int(x * 255 / size.width()), int(noise >> 24), int(y * 7 % 256),
                                           c.alpha ? int(noise >> 16 & 0xFF) : 255));
                }
            QVERIFY(cache.store(pic, stamp, c.edge, preview));
            const QImage png(cache.entryPath(pic, c.edge), "PNG");
            QCOMPARE(png.convertToFormat(QImage::Format_ARGB32), preview.convertToFormat(QImage::Format_ARGB32));
            const QImage back = cache.find(pic, stamp, c.natural, c.edge);
            QCOMPARE(back.size(), size);
            QCOMPARE(back.hasAlphaChannel(), c.alpha);
            QCOMPARE(QFileInfo::exists(cache.fastEntryPath(pic, c.edge)), !c.alpha);
        }
    }

    void staleOrForeignEntriesAreNotUsed_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("used");
        // clang-format off
        QTest::newRow("same picture") << "" << true;
        QTest::newRow("another second") << "mtime" << false;
        QTest::newRow("another size") << "size" << false;
        QTest::newRow("same second, rewritten") << "fine" << false;
        QTest::newRow("another program's entry, no fine stamp") << "foreign" << true;
        QTest::newRow("another file's entry") << "uri" << false;
        QTest::newRow("made sideways") << "shape" << false;
        // clang-format on
    }
    void staleOrForeignEntriesAreNotUsed()
    {
        QFETCH(QString, change);
        QFETCH(bool, used);
        const QString pic = picture(QStringLiteral("b.jpg"));
        const PreviewCache cache(m_dir.filePath(QStringLiteral("thumbs")));
        const PreviewCache::Stamp real = PreviewCache::stampOf(pic);
        PreviewCache::Stamp written = real;
        QImage entry = filled(QSize(1024, 768), Qt::blue);
        QByteArray uri = PreviewCache::uriOf(pic);
        if (change == "mtime")
            written.mtime -= 1;
        else if (change == "size")
            written.size += 1;
        else if (change == "fine")
            written.fine = "1:" + real.fine;
        else if (change == "foreign")
            written.fine.clear(); // an empty text stands for a key not written at all
        else if (change == "uri")
            uri = PreviewCache::uriOf(m_dir.filePath(QStringLiteral("other.jpg")));
        else if (change == "shape")
            entry = filled(QSize(768, 1024), Qt::blue);
        // Written as bytes, so that entries of other programs can be stood in for; the shared PNG
        // and the program's own JPEG are judged alike.
        for (const bool fast : {false, true}) {
            const QByteArray bytes = fast ? PreviewCache::encodeFastEntry(entry, uri, written)
                                          : PreviewCache::encodeEntry(entry, uri, written);
            const QString path = fast ? cache.fastEntryPath(pic, PreviewCache::XXLarge)
                                      : cache.entryPath(pic, PreviewCache::XXLarge);
            QDir(cache.root()).removeRecursively();
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
            f.close();
            QCOMPARE(!cache.find(pic, real, QSize(1600, 1200), PreviewCache::XXLarge).isNull(), used);
        }
    }

    void failedWriteLeavesNothing()
    {
        const QString pic = picture(QStringLiteral("c.jpg"));
        // The root lies below a plain file: no folder can be made there.
        QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const PreviewCache cache(blocker.fileName() + QStringLiteral("/thumbnails"));
        QVERIFY(!cache.store(pic, PreviewCache::stampOf(pic), PreviewCache::XLarge, filled(QSize(512, 384), Qt::red)));
        // A read-only folder: the temporary file cannot be made.
        const QString ro = m_dir.filePath(QStringLiteral("ro"));
        QVERIFY(QDir().mkpath(ro + QStringLiteral("/x-large")));
        QFile::setPermissions(ro + QStringLiteral("/x-large"), QFile::ReadOwner | QFile::ExeOwner);
        const PreviewCache readOnly(ro);
        if (::geteuid() != 0) { // root writes anyway
            QVERIFY(!readOnly.store(pic, PreviewCache::stampOf(pic), PreviewCache::XLarge,
                                    filled(QSize(512, 384), Qt::red)));
            QVERIFY(QDir(ro + QStringLiteral("/x-large")).isEmpty());
        }
        // A picture that is gone has no stamp, and nothing is found or kept for it.
        const PreviewCache::Stamp none = PreviewCache::stampOf(m_dir.filePath(QStringLiteral("gone.jpg")));
        QVERIFY(!none.isValid());
        QVERIFY(!PreviewCache(m_dir.filePath("t"))
                     .store(m_dir.filePath("gone.jpg"), none, PreviewCache::XLarge, filled(QSize(512, 384), Qt::red)));
    }
};

QTEST_MAIN(TestPreviewCache)
#include "tst_previewcache.moc"
