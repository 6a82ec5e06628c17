// The watched folder a camera uploads into: the pictures already there are left alone, a new one
// is offered once and only when its upload is complete, other files are ignored, and a folder
// that goes away ends the watching with a message.
#include "pictures/CaptureSource.h"

#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestCaptureSource : public QObject {
    Q_OBJECT

    static void writePicture(const QString &path)
    {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QVERIFY(image.save(path, "JPEG"));
    }

private slots:
    void newPictureIsOfferedOnce()
    {
        QTemporaryDir dir;
        writePicture(dir.filePath(QStringLiteral("old.jpg")));
        WatchedFolder folder(dir.path());
        QString why;
        QVERIFY(folder.start(&why));
        QSignalSpy offered(&folder, &WatchedFolder::pictureOffered);
        QSignalSpy frames(&folder, &CaptureSource::frame);

        // Half an upload: a file whose size is still changing, then a picture not yet readable.
        QFile partial(dir.filePath(QStringLiteral("new.jpg")));
        QVERIFY(partial.open(QIODevice::WriteOnly));
        partial.write("\xff\xd8\xff", 3);
        partial.flush();
        folder.scan();
        folder.scan();
        QCOMPARE(offered.size(), 0);
        partial.close();
        writePicture(dir.filePath(QStringLiteral("new.jpg")));
        QFile(dir.filePath(QStringLiteral("notes.txt"))).open(QIODevice::WriteOnly);
        for (int i = 0; i < 5; ++i)
            folder.scan();
        QCOMPARE(offered.size(), 1);
        QCOMPARE(offered.at(0).at(0).toString(), dir.filePath(QStringLiteral("new.jpg")));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.at(0).at(0).value<QImage>().size(), QSize(64, 48));
        QCOMPARE(folder.shoot(QString(), &why), dir.filePath(QStringLiteral("new.jpg")));

        // The timer finds the next one by itself.
        writePicture(dir.filePath(QStringLiteral("next.jpg")));
        QTRY_COMPARE_WITH_TIMEOUT(offered.size(), 2, 5000);
        QCOMPARE(offered.at(1).at(0).toString(), dir.filePath(QStringLiteral("next.jpg")));
        QTest::qWait(1200);
        QCOMPARE(offered.size(), 2);
    }

    void missingFolderIsTold()
    {
        WatchedFolder nowhere(QStringLiteral("/nonexistent/camera"));
        QString why;
        QVERIFY(!nowhere.start(&why));
        QVERIFY(why.contains(QStringLiteral("找不到")));

        QTemporaryDir dir;
        WatchedFolder folder(dir.path());
        QVERIFY(folder.start(&why));
        QSignalSpy ended(&folder, &CaptureSource::ended);
        QVERIFY(dir.remove());
        folder.scan();
        QCOMPARE(ended.size(), 1);
        QVERIFY(!folder.shoot(QString(), &why).size());
        QVERIFY(!why.isEmpty());
    }
};

QTEST_MAIN(TestCaptureSource)
#include "tst_capturesource.moc"
