// The watched folder a camera uploads into: the pictures already there are left alone, a new one
// is offered once and only when its upload is complete, other files are ignored, and a folder
// that goes away ends the watching with a message. The USB camera and the webcam are listed and
// started on this computer as it is: with none attached, each says so and what to check.
#include "pictures/CaptureSource.h"
#include "pictures/GPhotoCamera.h"
#include "pictures/Webcam.h"

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

    void camerasThatAreNotThereAreTold()
    {
        QString why;
        const QVector<GPhotoCamera::Found> usb = GPhotoCamera::list(&why);
        if (!usb.isEmpty())
            QSKIP("a USB camera is attached to this computer");
        QVERIFY2(why.startsWith(QStringLiteral("没有找到 USB 相机")), qPrintable(why));
        QVERIFY(why.contains(QStringLiteral("开机")));
        QVERIFY(why.contains(QStringLiteral("文件管理器")));
        GPhotoCamera camera;
        QString whyNot;
        QVERIFY(!camera.start(&whyNot));
        QCOMPARE(whyNot, why);
        QVERIFY(camera.shoot(QDir::tempPath(), &whyNot).isEmpty());
        QVERIFY(!whyNot.isEmpty());
        // A camera held by the desktop's file manager, and one pulled out during the live view.
        QVERIFY(GPhotoCamera::explain(-53).contains(QStringLiteral("占用")));
        QVERIFY(GPhotoCamera::isGone(-7) && GPhotoCamera::isGone(-52) && GPhotoCamera::isGone(-105));
        QVERIFY(!GPhotoCamera::isGone(-110) && !GPhotoCamera::isGone(-10));

        why.clear();
        if (!Webcam::list(&why).isEmpty())
            QSKIP("a webcam is attached to this computer");
        QVERIFY2(why.startsWith(QStringLiteral("没有找到摄像头")), qPrintable(why));
        Webcam webcam;
        QVERIFY(!webcam.start(&whyNot));
        QVERIFY(whyNot.startsWith(QStringLiteral("没有找到摄像头")));
        QVERIFY(webcam.shoot(QDir::tempPath(), &whyNot).isEmpty());
    }
};

QTEST_MAIN(TestCaptureSource)
#include "tst_capturesource.moc"
