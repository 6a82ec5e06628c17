// The main window's pictures arriving from the workers: a quick walk through the list never
// shows a picture of a case that is no longer current, a picture replaced in the store shows
// anew, and pictures found damaged while decoding are reported once per case.
#include "data/DataSet.h"
#include "data/PictureStore.h"
#include "pictures/PreviewService.h"
#include "support/WindowTestBed.h"
#include "browser/Unit_Main.h"
#include "browser/Unit_PanelImage.h"
#include "ui_Unit_Main.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {
const QString Cust = QStringLiteral("A1200601010001");

QList<TPanelImage *> framesOf(QFrame *host)
{
    return host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly);
}

QColor colourOfCase(int i)
{
    return QColor::fromHsv((i * 47) % 360, 255, 220);
}

bool near(QColor a, QColor b)
{
    return qAbs(a.red() - b.red()) < 20 && qAbs(a.green() - b.green()) < 20 && qAbs(a.blue() - b.blue()) < 20;
}

QColor centreOf(const TPanelImage *f)
{
    const QImage &img = f->Image->picture();
    return img.pixelColor(img.width() / 2, img.height() / 2);
}
} // namespace

class TestPreviews : public QObject, WindowTestBed {
    Q_OBJECT

    QString picPath(const QString &name) const
    {
        return m_install->folder() + QStringLiteral("pic/") + Cust + QLatin1Char('/') + name;
    }
    void picture(const QString &name, QSize size, QColor colour)
    {
        QDir().mkpath(QFileInfo(picPath(name)).path());
        QImage img(size, QImage::Format_RGB32);
        img.fill(colour);
        QVERIFY(img.save(picPath(name), "JPG", 95));
    }
    // A picture whose header reads well and whose data ends half-way.
    void cutPicture(const QString &name)
    {
        picture(name, QSize(800, 600), Qt::gray);
        QFile f(picPath(name));
        QVERIFY(f.resize(f.size() / 2));
    }
    void addCase(const QStringList &names)
    {
        QStringList values;
        for (int i = 0; i < 6; ++i)
            values << (names.value(i).isEmpty() ? QStringLiteral("''")
                                                : QStringLiteral("'%1\\%2'").arg(Cust, names.value(i)));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术前, 手术前1, 手术前2, "
                                       "手术后, 手术后1, 手术后2) VALUES ('%1','眼部','双眼皮',%2)")
                            .arg(Cust, values.join(QLatin1Char(','))));
    }
    void shown(TfrmMain &w)
    {
        w.resize(900, 640);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }
    static bool allFilled(TfrmMain &w)
    {
        for (QFrame *host : {w.ui()->Pl_Before, w.ui()->Pl_After})
            for (TPanelImage *f : framesOf(host))
                if (f->Image->picture().isNull())
                    return false;
        return true;
    }

private slots:
    void init()
    {
        openBed();
        m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1','张')").arg(Cust));
    }
    void cleanup()
    {
        PreviewService::shared().waitForDone();
        closeBed();
    }

    void quickWalkNeverShowsAnotherCase()
    {
        // Each case's six pictures share the case's colour; large enough to take the workers a
        // while, so that results of earlier cases are still on their way as the list moves on.
        const int cases = 8;
        for (int c = 0; c < cases; ++c) {
            QStringList names;
            for (int k = 0; k < 6; ++k) {
                names << QStringLiteral("c%1-%2.jpg").arg(c).arg(k);
                picture(names.last(), QSize(1600 + 16 * k, 1200), colourOfCase(c));
            }
            addCase(names);
        }
        TfrmMain w(m_install->folder());
        shown(w);
        auto caseOfRow = [&] {
            const QString name = w.adq_Surgery->asString(QStringLiteral("手术前")).section(QLatin1Char('\\'), -1);
            return name.section(QLatin1Char('-'), 0, 0).mid(1).toInt(); // "c3-0.jpg": case 3
        };
        int shownPictures = 0;
        auto check = [&] {
            const int current = caseOfRow();
            for (QFrame *host : {w.ui()->Pl_Before, w.ui()->Pl_After}) {
                QCOMPARE(framesOf(host).size(), 3);
                for (TPanelImage *f : framesOf(host)) {
                    QVERIFY(QFileInfo(f->FileName).fileName().startsWith(QStringLiteral("c%1-").arg(current)));
                    if (f->Image->picture().isNull())
                        continue;
                    ++shownPictures;
                    QVERIFY2(near(centreOf(f), colourOfCase(current)),
                             qPrintable(QStringLiteral("case %1 shows %2").arg(current).arg(centreOf(f).name())));
                }
            }
        };
        // Down and up the list at key-repeat pace and faster, twice (cold, then from the cache).
        for (int round = 0; round < 2; ++round) {
            for (int step = 0; step < 3 * cases; ++step) {
                const int row = step < cases ? step : step < 2 * cases ? 2 * cases - 1 - step : (step * 5) % cases;
                w.adq_Surgery->moveTo(row);
                QTest::qWait(step % 3 == 0 ? 0 : 12);
                check();
                if (QTest::currentTestFailed())
                    return;
            }
        }
        QTRY_VERIFY(allFilled(w));
        check();
        QVERIFY(shownPictures > 0);
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());
    }

    void replacedPictureShowsTheNewOne()
    {
        picture(QStringLiteral("r.jpg"), QSize(2000, 1500), Qt::red);
        picture(QStringLiteral("o.jpg"), QSize(200, 150), Qt::white);
        addCase({QStringLiteral("r.jpg")});
        addCase({QStringLiteral("o.jpg")});
        TfrmMain w(m_install->folder());
        shown(w);
        QTRY_VERIFY(allFilled(w));
        QVERIFY(near(centreOf(framesOf(w.ui()->Pl_Before).first()), Qt::red));
        w.adq_Surgery->moveTo(1);
        QTRY_VERIFY(allFilled(w));
        PreviewService::shared().waitForDone(); // the red preview is in the cache now
        QVERIFY(!QDir(m_install->folder() + QStringLiteral("thumbnails/x-large")).isEmpty());

        // Replaced as the records window replaces a stored picture: same name, same dimensions.
        const QString blue = m_install->folder() + QStringLiteral("blue.jpg");
        QImage img(QSize(2000, 1500), QImage::Format_RGB32);
        img.fill(Qt::blue);
        QVERIFY(img.save(blue, "JPG", 95));
        QVERIFY(PictureStore::copyFileAtomically(blue, picPath(QStringLiteral("r.jpg"))));
        w.adq_Surgery->moveTo(0);
        QTRY_VERIFY(allFilled(w));
        QVERIFY(near(centreOf(framesOf(w.ui()->Pl_Before).first()), Qt::blue));
    }

    void damagedPicturesReportedOncePerCase_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("shownBefore");
        QTest::addColumn<QString>("error");
        QTest::newRow("two cut short while decoding")
            << QStringList{"ok.jpg", "cut1.jpg", "", "cut2.jpg"} << QStringList{"ok.jpg"} << "JPEG error #";
        QTest::newRow("unknown kind at once, cut short later")
            << QStringList{"x.png", "ok.jpg", "", "cut1.jpg", "ok2.jpg"} << QStringList{"ok.jpg"}
            << "Unknown picture file extension (.png)";
    }
    void damagedPicturesReportedOncePerCase()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, shownBefore);
        QFETCH(QString, error);
        picture(QStringLiteral("ok.jpg"), QSize(300, 200), Qt::darkGreen);
        picture(QStringLiteral("ok2.jpg"), QSize(300, 200), Qt::darkGreen);
        picture(QStringLiteral("x.png"), QSize(30, 20), Qt::darkGreen);
        cutPicture(QStringLiteral("cut1.jpg"));
        cutPicture(QStringLiteral("cut2.jpg"));
        addCase(first);
        addCase({QStringLiteral("cut2.jpg")});
        TfrmMain w(m_install->folder());
        shown(w);
        // Damaged frames go and the others close up, stacked as if the damaged were never there.
        QTRY_COMPARE(framesOf(w.ui()->Pl_After).size() + framesOf(w.ui()->Pl_Before).size(),
                     shownBefore.size() + (first.contains(QStringLiteral("ok2.jpg")) ? 1 : 0));
        QTRY_VERIFY(allFilled(w));
        QStringList names;
        for (TPanelImage *f : framesOf(w.ui()->Pl_Before))
            names << QFileInfo(f->FileName).fileName();
        QCOMPARE(names, shownBefore);
        for (QFrame *host : {w.ui()->Pl_Before, w.ui()->Pl_After})
            for (TPanelImage *f : framesOf(host))
                QCOMPARE(f->Panel->geometry().top(), 8);
        PreviewService::shared().waitForDone();
        QTest::qWait(20);
        QStringList errors = m_prompter->texts(QStringLiteral("error"));
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(error), qPrintable(errors.first()));

        // The next case has its own report.
        w.adq_Surgery->moveTo(1);
        QTRY_COMPARE(m_prompter->texts(QStringLiteral("error")).size(), 2);
        QTRY_VERIFY(framesOf(w.ui()->Pl_Before).isEmpty());
        PreviewService::shared().waitForDone();
        QTest::qWait(20);
        QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 2);
    }
};

QTEST_MAIN(TestPreviews)
#include "tst_previews.moc"
