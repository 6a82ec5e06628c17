// Previews decoded off the calling thread: what comes back and when, what the cache saves and
// when it is not trusted, and that a group's new generation abandons and drops the old requests.
#include "data/PictureStore.h"
#include "pictures/PreviewService.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

QString jpeg(const QString &path, QSize size, QColor colour)
{
    QImage img(size, QImage::Format_RGB32);
    img.fill(colour);
    img.save(path, "JPG", 95);
    return path;
}

bool near(QColor a, QColor b)
{
    return qAbs(a.red() - b.red()) < 12 && qAbs(a.green() - b.green()) < 12 && qAbs(a.blue() - b.blue()) < 12;
}

int entriesIn(const QString &folder, const char *pattern = "*.png")
{
    return int(QDir(folder).entryList({QString::fromLatin1(pattern)}, QDir::Files).size());
}

} // namespace

class TestPreviewService : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_root;

    PreviewResult produce(const QString &path, QSize natural, QSize shown, QSize keep = QSize())
    {
        const PreviewCache cache(m_root);
        return PreviewService::produce(&cache, path, natural, shown, keep, nullptr);
    }

private slots:
    void init()
    {
        static int n = 0;
        m_root = m_dir.filePath(QStringLiteral("thumbs%1").arg(++n));
    }

    void coldThenWarmThenReplaced()
    {
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("p.jpg")), QSize(2000, 1500), Qt::red);
        const QSize shown(300, 225);
        // Drawn small in a frame that can grow to 808 x 605: the first showing keeps both sizes,
        // the one drawn now and the one for the largest frame.
        PreviewResult r = produce(pic, QSize(2000, 1500), shown, QSize(808, 605));
        QVERIFY2(r.ok(), qPrintable(r.error));
        QVERIFY(!r.fromCache);
        QCOMPARE(r.image.size(), shown);
        QCOMPARE(entriesIn(m_root + "/x-large"), 1);
        QCOMPARE(entriesIn(m_root + "/xx-large"), 1);

        r = produce(pic, QSize(2000, 1500), shown);
        QVERIFY(r.fromCache);
        QCOMPARE(r.image.size(), shown);
        QVERIFY(near(r.image.pixelColor(150, 110), Qt::red));

        // Replaced in the store the way the records window does it, with the same dimensions.
        const QString blue = jpeg(m_dir.filePath(QStringLiteral("blue.jpg")), QSize(2000, 1500), Qt::blue);
        QVERIFY(PictureStore::copyFileAtomically(blue, pic));
        r = produce(pic, QSize(2000, 1500), shown);
        QVERIFY(!r.fromCache);
        QVERIFY(near(r.image.pixelColor(150, 110), Qt::blue));
        // Rewritten in place (same inode), again the same dimensions.
        QFile::remove(blue);
        jpeg(pic, QSize(2000, 1500), Qt::green);
        r = produce(pic, QSize(2000, 1500), shown, QSize(808, 605));
        QVERIFY(!r.fromCache);
        QVERIFY(near(r.image.pixelColor(150, 110), Qt::green));
        r = produce(pic, QSize(2000, 1500), QSize(800, 600)); // the larger entry, refreshed too
        QVERIFY(r.fromCache);
        QCOMPARE(r.image.size(), QSize(800, 600));
        QVERIFY(near(r.image.pixelColor(400, 300), Qt::green));
    }

    void aFrameThatCannotGrowKeepsOnlyTheSmallSize()
    {
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("s.jpg")), QSize(2000, 1500), Qt::red);
        // One of three frames in a full-HD window: 340 x 255 at most.
        PreviewResult r = produce(pic, QSize(2000, 1500), QSize(300, 225), QSize(340, 255));
        QVERIFY(r.ok() && !r.fromCache);
        QCOMPARE(entriesIn(m_root + "/x-large"), 1);
        QVERIFY(!QDir(m_root + "/xx-large").exists());
        // Later shown larger: the larger entry is made then, from the picture.
        r = produce(pic, QSize(2000, 1500), QSize(700, 525), QSize(808, 605));
        QVERIFY(r.ok() && !r.fromCache);
        QCOMPARE(entriesIn(m_root + "/xx-large"), 1);
        QVERIFY(produce(pic, QSize(2000, 1500), QSize(700, 525)).fromCache);
    }

    // The same frame at ratio 1 and at ratio 2 (as a window moved between screens): each size has
    // its own entry, neither replaces the other, and both are served from the cache afterwards.
    void ratiosKeepEntriesOfTheirOwn()
    {
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("r.jpg")), QSize(4000, 3000), Qt::red);
        const QSize natural(4000, 3000), frame(700, 525), largest(808, 606);
        QVERIFY(!produce(pic, natural, frame, largest).fromCache);
        QVERIFY(!produce(pic, natural, frame * 2, largest * 2).fromCache);
        QCOMPARE(entriesIn(m_root + "/xx-large"), 1);
        QCOMPARE(entriesIn(m_root + "/belcara-jpeg-2048", "*.jpg"), 1);
        for (int ratio : {1, 2, 1}) {
            const PreviewResult r = produce(pic, natural, frame * ratio, largest * ratio);
            QVERIFY(r.fromCache);
            QCOMPARE(r.image.size(), frame * ratio);
        }
        QCOMPARE(QImage(PreviewCache(m_root).entryPath(pic, PreviewCache::XXLarge)).size(), QSize(1024, 768));
        QCOMPARE(QImage(PreviewCache(m_root).fastEntryPath(pic, PreviewCache::Huge)).size(), QSize(2048, 1536));
    }

    void whatIsNotCached_data()
    {
        QTest::addColumn<QSize>("natural");
        QTest::addColumn<QSize>("shown");
        QTest::newRow("small picture") << QSize(480, 360) << QSize(480, 360);
        QTest::newRow("frame wider than every entry") << QSize(5000, 2500) << QSize(2500, 1250);
    }
    void whatIsNotCached()
    {
        QFETCH(QSize, natural);
        QFETCH(QSize, shown);
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("n.jpg")), natural, Qt::darkYellow);
        const PreviewResult r = produce(pic, QSize(), shown); // natural size read here
        QVERIFY(r.ok());
        QCOMPARE(r.image.size(), shown);
        QVERIFY(!QDir(m_root).exists());
    }

    void damagedPictureGivesTheDecoderText()
    {
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("cut.jpg")), QSize(1600, 1200), Qt::gray);
        QFile f(pic);
        QVERIFY(f.resize(f.size() / 2));
        const PreviewResult r = produce(pic, QSize(1600, 1200), QSize(400, 300));
        QVERIFY(r.error.startsWith(QStringLiteral("JPEG error #")));
        QVERIFY(r.image.isNull());
        QVERIFY(!QDir(m_root + "/x-large").exists() || entriesIn(m_root + "/x-large") == 0);
    }

    void resultsComeBackOnTheCallersThread()
    {
        PreviewService service;
        service.setCacheRoot(m_root);
        PreviewGroup group;
        const QString pic = jpeg(m_dir.filePath(QStringLiteral("t.jpg")), QSize(1200, 900), Qt::red);
        QThread *thread = nullptr;
        QSize got;
        QObject context;
        service.request(group, group.generation(), pic, QSize(1200, 900), QSize(200, 150), QSize(), &context,
                        [&](const PreviewResult &r) {
                            thread = QThread::currentThread();
                            got = r.image.size();
                        });
        QTRY_COMPARE(got, QSize(200, 150));
        QCOMPARE(thread, QThread::currentThread());
    }

    void newGenerationAbandonsAndDrops()
    {
        PreviewService service;
        service.setCacheRoot(m_root);
        PreviewGroup group;
        QStringList pics;
        for (int i = 0; i < 24; ++i)
            pics << jpeg(m_dir.filePath(QStringLiteral("g%1.jpg").arg(i)), QSize(1600, 1200), Qt::darkGreen);
        QObject context;
        int delivered = 0;
        const quint64 first = group.generation();
        for (const QString &p : pics)
            service.request(group, first, p, QSize(1600, 1200), QSize(300, 225), QSize(), &context,
                            [&](const PreviewResult &) { ++delivered; });
        const quint64 second = group.restart();
        QVERIFY(second != first && group.isCurrent(second) && !group.isCurrent(first));
        QString last;
        service.request(group, second, pics.first(), QSize(1600, 1200), QSize(300, 225), QSize(), &context,
                        [&](const PreviewResult &r) { last = r.ok() ? QStringLiteral("ok") : r.error; });
        service.waitForDone();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(delivered, 0); // nothing of the old generation arrives
        QCOMPARE(last, QStringLiteral("ok"));
        // Work not begun when the group moved on was skipped: at most what the workers had in
        // hand (and the new request) left an entry behind.
        QVERIFY2(entriesIn(m_root + "/xx-large") <= QThread::idealThreadCount() + 1,
                 qPrintable(QString::number(entriesIn(m_root + "/xx-large"))));

        // A result queued for a context that is destroyed before it is handed over is dropped.
        auto *gone = new QObject;
        bool called = false;
        service.request(group, second, pics.at(1), QSize(1600, 1200), QSize(300, 225), QSize(), gone,
                        [&](const PreviewResult &) { called = true; });
        service.waitForDone();
        delete gone;
        QCoreApplication::processEvents();
        QVERIFY(!called);
    }

    // A frame is filled before the cache is written. A small frame gets a picture decoded at its
    // own DCT scale, and the entries (here the one for the largest frame too) are decoded
    // afterwards; waiting for the service waits for them.
    void smallFramesFirstTheirEntriesAfter()
    {
        const QSize natural(2400, 1800), shown(300, 225), keep(2048, 1536);
        PreviewService service;
        service.setCacheRoot(m_root);
        PreviewGroup group;
        QObject context;
        QStringList pics;
        int delivered = 0;
        for (int i = 0; i < 4; ++i) {
            pics << jpeg(m_dir.filePath(QStringLiteral("s%1.jpg").arg(i)), natural, QColor::fromHsv(i * 60, 200, 200));
            service.request(group, group.generation(), pics.last(), natural, shown, keep, &context,
                            [&](const PreviewResult &r) {
                                delivered += r.ok() && !r.fromCache && r.image.size() == shown;
                            });
        }
        QTRY_COMPARE(delivered, int(pics.size()));
        service.waitForDone();
        const PreviewCache cache(m_root);
        for (int i = 0; i < pics.size(); ++i)
            for (const PreviewCache::Edge edge : {PreviewCache::XLarge, PreviewCache::Huge}) {
                const QImage entry = cache.find(pics.at(i), PreviewCache::stampOf(pics.at(i)), natural, edge);
                QVERIFY2(!entry.isNull(), qPrintable(QStringLiteral("picture %1, edge %2").arg(i).arg(int(edge))));
                QVERIFY(
                    near(entry.pixelColor(entry.width() / 2, entry.height() / 2), QColor::fromHsv(i * 60, 200, 200)));
            }
        bool warm = false;
        service.request(group, group.generation(), pics.first(), natural, shown, keep, &context,
                        [&](const PreviewResult &r) { warm = r.ok() && r.fromCache && r.image.size() == shown; });
        QTRY_VERIFY(warm);
        QCOMPARE(QDir(m_root + "/x-large").entryList(QDir::Files | QDir::Hidden).size(), pics.size());
    }

    // Entries decoded with the frame are written by the writer after the frame is filled. None
    // is lost: not when more wait than the writer queues (the workers write those themselves),
    // and not when the service goes away right after the frames were filled.
    void decodedEntriesAreWrittenEvenWhenTheServiceEnds()
    {
        const QSize natural(2400, 1800), shown(1000, 750);
        QStringList pics;
        for (int i = 0; i < 12; ++i)
            pics << jpeg(m_dir.filePath(QStringLiteral("w%1.jpg").arg(i)), natural, QColor::fromHsv(i * 30, 200, 200));
        const QSize entrySize = PreviewCache::entrySize(natural, PreviewCache::XXLarge);
        QVERIFY(pics.size() * entrySize.width() * entrySize.height() * 4 > PreviewService::MaxQueuedBytes);
        {
            PreviewService service;
            service.setCacheRoot(m_root);
            PreviewGroup group;
            QObject context;
            int delivered = 0;
            for (const QString &p : pics)
                service.request(group, group.generation(), p, natural, shown, QSize(), &context,
                                [&](const PreviewResult &r) { delivered += r.ok() && r.image.size() == shown; });
            QTRY_COMPARE(delivered, int(pics.size()));
        }
        const PreviewCache cache(m_root);
        for (int i = 0; i < pics.size(); ++i) {
            const QImage entry = cache.find(pics.at(i), PreviewCache::stampOf(pics.at(i)), natural,
                                            PreviewCache::XXLarge);
            QVERIFY2(!entry.isNull(), qPrintable(QStringLiteral("picture %1").arg(i)));
            QVERIFY(near(entry.pixelColor(entry.width() / 2, entry.height() / 2), QColor::fromHsv(i * 30, 200, 200)));
        }
        // Written through temporary files: nothing else is left in the folder.
        QCOMPARE(QDir(m_root + "/xx-large").entryList(QDir::Files | QDir::Hidden).size(), pics.size());
    }

    void oneFailureReportPerGeneration()
    {
        PreviewGroup group;
        PreviewGroup copy = group; // copies share the counter
        const quint64 g = group.generation();
        QVERIFY(copy.claimFailureReport(g));
        QVERIFY(!group.claimFailureReport(g));
        const quint64 next = copy.restart();
        QVERIFY(!group.claimFailureReport(g)); // an old case reports nothing
        QVERIFY(group.claimFailureReport(next));
    }
};

QTEST_MAIN(TestPreviewService)
#include "tst_previewservice.moc"
