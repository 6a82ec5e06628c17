// The comparison window as a person uses it: opened from the main window, driven by keys, the
// wheel, drags and clicks; stepping through the list; landmarks clicked on both pictures and the
// automatic alignment, kept for the pair; a damaged picture reported once; the view decoding
// the detail a zoom needs.
#include "align/AlignmentStore.h"
#include "align/SyntheticPair.h"
#include "browser/MainCompareSource.h"
#include "browser/Unit_Main.h"
#include "browser/Unit_PanelImage.h"
#include "compare/CompareCases.h"
#include "compare/CompareWindow.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "support/ExifPhoto.h"
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"
#include "ui_Unit_Main.h"

#include <QAction>
#include <QDir>
#include <QListWidget>
#include <QSlider>
#include <QLabel>
#include <QtTest>

using Side = CompareView::Side;
using Mode = CompareView::Mode;
using Align::Similarity;

// After pixels to before pixels for the pair b1/a1: the second photo taken a little closer,
// turned and shifted.
static const Similarity Truth(0.92, 4.0, QPointF(70, 40));

class TestCompareWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    qint64 m_case1 = 0, m_case2 = 0;

    QString pic(const QString &stored) const
    {
        return m_install->folder() + QStringLiteral("pic/")
               + QString(stored).replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    void write(const QString &stored, const QImage &image) const
    {
        QDir().mkpath(QFileInfo(pic(stored)).path());
        QVERIFY(image.save(pic(stored), "JPG", 92));
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_install->mod()->ADOConn); }
    int alignmentRows() const
    {
        return m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM PictureAlignment")).toInt();
    }

    // Locates a case in the main window's list.
    static void showCase(TfrmMain &w, qint64 id) { QVERIFY(w.adq_Surgery->locate(QStringLiteral("id"), id)); }
    // Where a point of one side's picture is shown, side by side.
    static QPoint at(CompareWindow &cw, Side side, QPointF picturePoint)
    {
        CompareView *v = cw.view();
        const QPointF reference = side == Side::After ? v->effectiveAlignment().map(picturePoint) : picturePoint;
        return v->state().referenceToView(v->size(), side).map(reference).toPoint();
    }

private slots:
    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_prompter = std::make_unique<ScriptedPrompter>();
        const QImage scene = SyntheticPair::randomScene(QSize(1200, 900), 3);
        SyntheticPair::Exposure e;
        write(QStringLiteral("A1\\b1.jpg"), SyntheticPair::photograph(scene, Similarity(), QSize(1200, 900), e));
        e.gain[0] = 0.9, e.offset = 6, e.noise = 4;
        write(QStringLiteral("A1\\a1.jpg"), SyntheticPair::photograph(scene, Truth, QSize(1200, 900), e));
        {
            // Taken three months and some days after the case's surgery (2006-01-05).
            QFile a1(pic(QStringLiteral("A1\\a1.jpg")));
            QVERIFY(a1.open(QIODevice::ReadWrite));
            const QByteArray bytes = a1.readAll();
            const QByteArray exif = ExifPhoto::segment(0xE1, ExifPhoto::payload(false, {}, "2006:04:20 10:00:00"));
            a1.seek(0);
            a1.write(bytes.left(2) + exif + bytes.mid(2));
        }
        QImage flat(800, 600, QImage::Format_RGB32);
        flat.fill(QColor(120, 120, 120));
        write(QStringLiteral("A1\\b2.jpg"), flat);
        write(QStringLiteral("A1\\a2.jpg"), SyntheticPair::randomScene(QSize(800, 600), 9));
        write(QStringLiteral("A1\\c1.jpg"), SyntheticPair::randomScene(QSize(640, 480), 4));
        write(QStringLiteral("A1\\c2.jpg"), SyntheticPair::randomScene(QSize(640, 480), 5));
        write(QStringLiteral("A1\\c3.jpg"), SyntheticPair::randomScene(QSize(640, 480), 6));
        write(QStringLiteral("A2\\x.jpg"), SyntheticPair::randomScene(QSize(640, 480), 7));
        QFile bad(pic(QStringLiteral("A1\\bad.jpg")));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray("\xff\xd8\xff\xe0 this is no picture", 24));
        bad.close();
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''), ('双眼皮','眼部')"));
        m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1','张'), ('A2','李')"));
        m_install->exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术医生, 手术日期, 手术前, 手术前1, 手术后, 手术后1) VALUES "
            "('A1','眼部','双眼皮','王明','2006-01-05','A1\\b1.jpg','A1\\b2.jpg','A1\\a1.jpg','A1\\a2.jpg')"));
        m_install->exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术医生, 手术日期, 手术前, 手术前1, 手术后, 手术后1) VALUES "
            "('A1','眼部','双眼皮','王明','2006-03-01','A1\\c1.jpg','A1\\c2.jpg','A1\\bad.jpg','A1\\c3.jpg')"));
        m_install->exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术医生, 手术日期, 手术前, 手术后) VALUES "
            "('A2','眼部','双眼皮','王芳','2006-04-01','A2\\x.jpg','A2\\x.jpg')"));
        m_case1 = m_install->scalar(QStringLiteral("SELECT MIN(id) FROM Surgery")).toLongLong();
        m_case2 = m_install
                      ->scalar(QStringLiteral(
                          "SELECT MIN(id) FROM Surgery WHERE 手术日期 > '2006-02-01' AND 客户编号 = 'A1'"))
                      .toLongLong();
    }
    void cleanup()
    {
        m_prompter.reset();
        m_install.reset();
    }

    void opensFromTheMainWindowAndFollowsKeysMouseAndStepping();
    void alignsByLandmarksAndAutomaticallyAndKeepsThePairsAlignment();
    void zoomingInDecodesTheDetailAndDamagedPicturesLeaveTheirSideEmpty();
};

// Puts the strip's picture with this path on one side by clicking it.
static void clickStrip(CompareWindow &cw, const QString &path, Qt::MouseButton button)
{
    auto *strip = cw.findChild<QListWidget *>(QStringLiteral("strip"));
    for (int i = 0; i < strip->count(); ++i) {
        const QRect r = strip->visualItemRect(strip->item(i));
        // Which picture an item stands for shows only when it is chosen: try each on the side
        // asked for until the path matches (a click on the right one is then the last one).
        QTest::mouseClick(strip->viewport(), button, {}, r.center());
        const ComparePicture &now = button == Qt::RightButton ? cw.right() : cw.left();
        if (now.path == path)
            return;
    }
    QFAIL(qPrintable(QStringLiteral("no strip picture %1").arg(path)));
}

void TestCompareWindow::opensFromTheMainWindowAndFollowsKeysMouseAndStepping()
{
    TfrmMain w(m_install->folder());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    showCase(w, m_case1);

    // A plain click on a picture frame still opens the large picture; Ctrl+double-click the
    // comparison, without the large picture in between.
    auto *frame = w.ui()->Pl_Before->findChild<TPictureControl *>();
    QVERIFY(frame);
    QTest::mouseClick(frame, Qt::LeftButton);
    QCOMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{QStringLiteral("TfrmLarImage")});
    m_prompter->clear();
    QTest::mouseClick(frame, Qt::LeftButton, Qt::ControlModifier);
    QTest::mouseDClick(frame, Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{QStringLiteral("CompareWindow")});
    // Its shortcut and its menu entry open it too.
    m_prompter->clear();
    QTest::keyClick(&w, Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{QStringLiteral("CompareWindow")});
    auto *entry = w.findChild<QAction *>(QStringLiteral("CompareN"));
    QVERIFY(entry && entry->text() == QStringLiteral("对比查看(&C)"));
    entry->trigger();
    QCOMPARE(m_prompter->texts(QStringLiteral("modal")).size(), 2);

    bool ran = false;
    m_prompter->onModal = [&](QDialog *d) {
        auto *cw = qobject_cast<CompareWindow *>(d);
        if (!cw)
            return 0;
        ran = true;
        cw->show();
        cw->activateWindow();
        QApplication::setActiveWindow(cw);
        if (!QTest::qWaitForWindowActive(cw))
            return 0;
        CompareView *v = cw->view();
        v->waitUntilLoaded();
        // Opened on the case: its first before and first after picture.
        [&] {
            QCOMPARE(cw->windowTitle(), QStringLiteral("对比 - 双眼皮 2006-01-05"));
            // Each side captioned, the after one with the time since the surgery.
            QCOMPARE(v->label(Side::Before), QStringLiteral("术前"));
            QCOMPARE(v->label(Side::After), QStringLiteral("术后 3 个月"));
            QCOMPARE(cw->left().path, pic(QStringLiteral("A1\\b1.jpg")));
            QCOMPARE(cw->right().path, pic(QStringLiteral("A1\\a1.jpg")));
            // The case's four pictures, then the customer's other case (four files, one damaged);
            // nothing of the other customer.
            QCOMPARE(cw->findChild<QListWidget *>(QStringLiteral("strip"))->count(), 8);

            // Modes by keys; W again turns the divider.
            QTest::keyClick(cw, Qt::Key_W);
            QCOMPARE(v->state().mode, Mode::Wipe);
            QCOMPARE(v->state().wipeOrientation, Qt::Vertical);
            QTest::keyClick(cw, Qt::Key_W);
            QCOMPARE(v->state().wipeOrientation, Qt::Horizontal);
            // The divider follows a drag that starts on it.
            const QPoint divider(v->width() / 3, int(v->height() * v->state().wipePosition));
            QTest::mousePress(v, Qt::LeftButton, {}, divider);
            QTest::mouseMove(v, divider + QPoint(0, v->height() / 4));
            QTest::mouseRelease(v, Qt::LeftButton, {}, divider + QPoint(0, v->height() / 4));
            QVERIFY(std::abs(v->state().wipePosition - 0.75) < 0.02);
            QTest::keyClick(cw, Qt::Key_O);
            QCOMPARE(v->state().mode, Mode::Overlay);
            QTest::keyClick(cw, Qt::Key_BracketRight);
            QTest::keyClick(cw, Qt::Key_BracketRight);
            QCOMPARE(cw->findChild<QSlider *>(QStringLiteral("sl_Opacity"))->value(), 70);
            QTest::keyClick(cw, Qt::Key_S);
            QCOMPARE(v->state().mode, Mode::SideBySide);

            // The wheel zooms around the pointer, in both halves at once.
            v->setFocus();
            const QPointF pointer(v->width() * 0.3, v->height() * 0.4);
            const QPointF under = v->state().toReference(v->size(), Side::Before, pointer);
            QWheelEvent wheel(pointer, v->mapToGlobal(pointer), QPoint(), QPoint(0, 240), Qt::NoButton, {},
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(v, &wheel);
            QVERIFY(!v->state().fitted);
            QVERIFY(std::abs(v->state().zoom / v->state().fittedTo(v->size(), QRectF(0, 0, 1200, 900)).zoom - 1.44)
                    < 1e-6);
            QVERIFY(QLineF(v->state().toReference(v->size(), Side::Before, pointer), under).length() < 1e-6);
            QCOMPARE(v->state().visibleRegion(v->size(), Side::After), v->visibleRegion());

            // Unlocked (L), a drag in the right half moves it alone.
            QTest::keyClick(cw, Qt::Key_L);
            QVERIFY(!v->state().linked);
            const QRectF leftShows = v->visibleRegion();
            const QPoint from(v->width() * 3 / 4, v->height() / 2);
            QTest::mousePress(v, Qt::LeftButton, {}, from);
            QTest::mouseMove(v, from + QPoint(30, 0));
            QTest::mouseMove(v, from + QPoint(60, 20));
            QTest::mouseRelease(v, Qt::LeftButton, {}, from + QPoint(60, 20));
            QCOMPARE(v->visibleRegion(), leftShows);
            QVERIFY(v->state().afterOffset.x() < 0);
            QTest::keyClick(cw, Qt::Key_L);
            QVERIFY(v->state().linked);

            // The strip: a right-click puts a picture on the right, Enter on the left.
            clickStrip(*cw, pic(QStringLiteral("A1\\a2.jpg")), Qt::RightButton);
            auto *strip = cw->findChild<QListWidget *>(QStringLiteral("strip"));
            strip->setFocus();
            strip->setCurrentRow(1);
            QTest::keyClick(strip, Qt::Key_Return);
            QCOMPARE(cw->left().path, pic(QStringLiteral("A1\\b2.jpg")));  // 术前2
            QCOMPARE(cw->right().path, pic(QStringLiteral("A1\\a2.jpg"))); // 术后2
            QVERIFY(cw->isVisible());                                      // Enter does not close

            // PageDown: the next case of the main list, the same slots, the same view.
            QTest::keyClick(cw, Qt::Key_W);
            const CompareView::State kept = v->state();
            QTest::keyClick(cw, Qt::Key_PageDown);
            v->waitUntilLoaded();
            QCOMPARE(cw->currentCase().id, w.adq_Surgery->value(QStringLiteral("id")).toLongLong());
            QCOMPARE(cw->currentCase().id, m_case2);
            QCOMPARE(cw->windowTitle(), QStringLiteral("对比 - 双眼皮 2006-03-01"));
            QCOMPARE(v->label(Side::After), QStringLiteral("术后")); // its photo tells no date
            QCOMPARE(cw->left().path, pic(QStringLiteral("A1\\c2.jpg")));
            QCOMPARE(cw->right().path, pic(QStringLiteral("A1\\c3.jpg")));
            QCOMPARE(v->state(), kept);
            // Back and forth: the previous case, then the next again.
            QTest::keyClick(cw, Qt::Key_PageUp);
            QCOMPARE(cw->currentCase().id, m_case1);
            QCOMPARE(cw->left().path, pic(QStringLiteral("A1\\b2.jpg")));
            // So far only the main window has told of the damaged picture of the second case.
            QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 1);

            // The damaged picture compared: told once, its side empty, the other side shown;
            // coming back to it later tells nothing new.
            QTest::keyClick(cw, Qt::Key_PageDown);
            clickStrip(*cw, pic(QStringLiteral("A1\\bad.jpg")), Qt::RightButton);
            QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 3);
            QVERIFY(!v->hasPicture(Side::After) && v->hasPicture(Side::Before));
            auto *status = cw->findChild<QLabel *>(QStringLiteral("lb_Status"));
            QVERIFY(status->text().contains(QStringLiteral("右图无法显示")));
            QVERIFY(!status->text().contains(QStringLiteral("bad")));
            QTest::keyClick(cw, Qt::Key_PageUp);
            QTest::keyClick(cw, Qt::Key_PageDown);
            QCOMPARE(cw->right().path, pic(QStringLiteral("A1\\bad.jpg")));
            // Only the main window tells again, as it does each time it shows that case.
            QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 4);
            // The end of the list: PageDown stays.
            while (w.adq_Surgery->recNo() < w.adq_Surgery->recordCount() - 1)
                QTest::keyClick(cw, Qt::Key_PageDown);
            const qint64 last = cw->currentCase().id;
            QTest::keyClick(cw, Qt::Key_PageDown);
            QCOMPARE(cw->currentCase().id, last);
            // The last case has no 术前2: its first before photo stands in, and the chosen slot
            // comes back with the case before, which has it.
            QCOMPARE(cw->left().path, pic(QStringLiteral("A2\\x.jpg")));
            QTest::keyClick(cw, Qt::Key_PageUp);
            QCOMPARE(cw->left().path, pic(QStringLiteral("A1\\c2.jpg")));
            QTest::keyClick(cw, Qt::Key_PageDown);

            // F11 toggles full screen; Esc closes.
            QTest::keyClick(cw, Qt::Key_F11);
            QVERIFY(cw->isFullScreen());
            QTest::keyClick(cw, Qt::Key_F11);
            QVERIFY(!cw->isFullScreen());
            QTest::keyClick(cw, Qt::Key_Escape);
            QVERIFY(!cw->isVisible());
        }();
        return 0;
    };
    // Driven from the command-bar button.
    auto *button = w.findChild<QWidget *>(QStringLiteral("btn_ac_Compare"));
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(ran);
    QVERIFY(!QTest::currentTestFailed());
}

void TestCompareWindow::alignsByLandmarksAndAutomaticallyAndKeepsThePairsAlignment()
{
    TfrmMain w(m_install->folder());
    showCase(w, m_case1);
    MainWindowCompareSource source(&w);
    const QString b1 = QStringLiteral("A1\\b1.jpg"), a1 = QStringLiteral("A1\\a1.jpg");
    {
        CompareWindow cw(&source, &w);
        cw.show();
        QVERIFY(QTest::qWaitForWindowActive(&cw));
        CompareView *v = cw.view();
        v->waitUntilLoaded();
        auto *status = cw.findChild<QLabel *>(QStringLiteral("lb_Status"));
        QVERIFY(status->text().contains(QStringLiteral("未对齐")));

        // Two landmarks on each picture, in wipe mode to begin with: picking shows them side by side.
        QTest::keyClick(&cw, Qt::Key_W);
        QTest::keyClick(&cw, Qt::Key_M);
        QVERIFY(v->isPicking());
        QCOMPARE(v->state().mode, Mode::SideBySide);
        const QPointF before1(300, 420), before2(880, 380);
        // The same face points on the after picture, which is shown unaligned while picking.
        const QPointF after1 = Truth.inverted().map(before1), after2 = Truth.inverted().map(before2);
        QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::Before, before1));
        QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::After, after1));
        QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::Before, before2));
        QVERIFY(status->text().contains(QStringLiteral("左图 2/2，右图 1/2")));
        QCOMPARE(alignmentRows(), 0);
        QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::After, after2));
        QVERIFY(!v->isPicking());
        // Clicked at whole view pixels, about 2.5 picture pixels each at this zoom.
        const Similarity manual = v->alignment();
        QVERIFY2(manual.fuzzyEquals(Truth, 0.01, 0.5, 8.0), qPrintable(manual.toText()));
        const auto stored = Align::loadAlignment(db(), b1, a1);
        QVERIFY(stored && !stored->automatic);
        QCOMPARE(stored->transform, manual);
        QVERIFY(status->text().contains(QStringLiteral("已手动对齐")));

        // Esc while picking gives up the picking, keeps the alignment and the window.
        QTest::keyClick(&cw, Qt::Key_M);
        QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::Before, before1));
        QTest::keyClick(&cw, Qt::Key_Escape);
        QVERIFY(!v->isPicking() && cw.isVisible());
        QCOMPARE(v->alignment(), manual);

        // Two landmarks on one spot give no direction: refused, nothing stored, picking goes on.
        QTest::keyClick(&cw, Qt::Key_M);
        for (int i = 0; i < 2; ++i) {
            QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::Before, before1));
            QTest::mouseClick(v, Qt::LeftButton, {}, at(cw, Side::After, after1));
        }
        QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 1);
        QVERIFY(v->isPicking());
        QCOMPARE(Align::loadAlignment(db(), b1, a1)->transform, manual);
        QTest::keyClick(&cw, Qt::Key_Escape);

        // Automatic: close to the truth, kept as such.
        QTest::keyClick(&cw, Qt::Key_A);
        QTRY_VERIFY_WITH_TIMEOUT(!cw.isAligning(), 20000);
        QVERIFY(m_prompter->texts(QStringLiteral("message")).isEmpty());
        QVERIFY2(v->alignment().fuzzyEquals(Truth, 0.005, 0.3, 4.0), qPrintable(v->alignment().toText()));
        QVERIFY(Align::loadAlignment(db(), b1, a1)->automatic);
        QVERIFY(status->text().contains(QStringLiteral("已自动对齐")));
    }
    // Shown again, the pair is drawn through its kept alignment.
    {
        CompareWindow cw(&source, &w);
        QVERIFY(cw.view()->alignment().fuzzyEquals(Truth, 0.005, 0.3, 4.0));
        // A pair that cannot be aligned (a flat picture on the left): the message, nothing applied.
        cw.show();
        QVERIFY(QTest::qWaitForWindowActive(&cw));
        clickStrip(cw, pic(QStringLiteral("A1\\b2.jpg")), Qt::LeftButton);
        QVERIFY(!cw.view()->isAligned());
        QTest::keyClick(&cw, Qt::Key_A);
        QTRY_VERIFY_WITH_TIMEOUT(!cw.isAligning(), 20000);
        QCOMPARE(m_prompter->texts(QStringLiteral("message")), QStringList{QStringLiteral("无法自动对齐，请手动选点")});
        QCOMPARE(cw.view()->alignment(), Similarity());
        QVERIFY(!Align::loadAlignment(db(), QStringLiteral("A1\\b2.jpg"), a1));
        // Back on the aligned pair, R forgets its alignment once confirmed.
        clickStrip(cw, pic(QStringLiteral("A1\\b1.jpg")), Qt::LeftButton);
        const Similarity kept = cw.view()->alignment();
        QVERIFY(kept != Similarity());
        // R asks first: No (the default) keeps the alignment shown and stored.
        m_prompter->clear();
        QTest::keyClick(&cw, Qt::Key_R);
        QCOMPARE(m_prompter->texts(QStringLiteral("box")), QStringList{QStringLiteral("取消这一对图片的对齐？")});
        QCOMPARE(cw.view()->alignment(), kept);
        QCOMPARE(alignmentRows(), 1);
        // Yes forgets it.
        m_prompter->answers = {Prompt::Yes};
        QTest::keyClick(&cw, Qt::Key_R);
        QCOMPARE(cw.view()->alignment(), Similarity());
        QVERIFY(!cw.view()->isAligned()); // each picture fitted again, not laid 1:1
        QCOMPARE(alignmentRows(), 0);
    }
    CompareWindow again(&source, &w);
    QCOMPARE(again.view()->alignment(), Similarity());
}

void TestCompareWindow::zoomingInDecodesTheDetailAndDamagedPicturesLeaveTheirSideEmpty()
{
    // Stripes one pixel wide: only a full-resolution decode shows them.
    QImage stripes(3200, 2400, QImage::Format_RGB32);
    for (int y = 0; y < stripes.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(stripes.scanLine(y));
        for (int x = 0; x < stripes.width(); ++x)
            line[x] = (x % 2) ? qRgb(250, 250, 250) : qRgb(5, 5, 5);
    }
    const QString big = QStringLiteral("A1\\stripes.jpg");
    QVERIFY(stripes.save(pic(big), "JPG", 98));

    CompareView v;
    v.resize(804, 400);
    v.show();
    QSignalSpy failed(&v, &CompareView::pictureFailed);
    v.setPictures(pic(big), pic(QStringLiteral("A1\\bad.jpg")));
    v.waitUntilLoaded();
    // The damaged picture is reported once, with the decoder's words, and its side stays empty.
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.at(0).at(0).value<Side>(), Side::After);
    QVERIFY(failed.at(0).at(1).toString().contains(QStringLiteral("JPEG")));
    QVERIFY(!v.hasPicture(Side::After));
    QCOMPARE(v.pictureSize(Side::Before), QSize(3200, 2400));
    // Fitted, a small decode is all that is kept.
    QVERIFY(v.workingImage(Side::Before).width() <= 1600);
    auto contrast = [&v] {
        const QImage shot = v.grab().toImage();
        const int y = shot.height() / 2;
        int lo = 255, hi = 0;
        for (int x = 150; x < 250; ++x) {
            lo = std::min(lo, qGray(shot.pixel(x, y)));
            hi = std::max(hi, qGray(shot.pixel(x, y)));
        }
        return hi - lo;
    };
    QVERIFY(contrast() < 60);
    v.actualSize();
    v.waitUntilLoaded();
    QVERIFY2(contrast() > 150, qPrintable(QString::number(contrast())));
    // Setting the same pictures again reads nothing again and reports nothing new.
    v.setPictures(pic(big), pic(QStringLiteral("A1\\bad.jpg")));
    QVERIFY(!v.isLoading());
    QCOMPARE(failed.size(), 1);
}

QTEST_MAIN(TestCompareWindow)
#include "tst_comparewindow.moc"
