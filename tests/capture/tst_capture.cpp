// The capture station driven by its demo camera filming a real face: the pose hints report the
// differences the camera plays and say 姿势一致 when they vanish, with a word on light that is
// clearly darker, brighter, warmer or colder; the shot lands in the slot (dated), in pic/ and in
// the audit log; a slot filled meanwhile refuses the shot and leaves the store as it was; the
// automatic shot takes one shot per held pose; a camera unplugged during the live view ends it
// with a message; the records window's 拍摄(&T)… and the compare window's open the station on the
// case's first empty after slot, and the shot goes into the slot chosen there.
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"

#include "demo_pictures.h"

#include "align/Faces.h"
#include "browser/Unit_Main.h"
#include "capture/CaptureWindow.h"
#include "compare/CompareWindow.h"
#include "data/Unit_DataMod.h"
#include "pictures/CaptureSource.h"
#include "pictures/ExifDate.h"
#include "records/Unit_Manager.h"
#include "ui_CaptureWindow.h"

#include <QDir>
#include <QPushButton>
#include <QSqlDatabase>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString Faces = QStringLiteral(BELCARA_SOURCE_DIR "/../shared/faces");
const QString Customer = QStringLiteral("A1200612070001");

QStringList filesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}
} // namespace

class TestCapture : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    qint64 m_case = 0;

    std::unique_ptr<CaptureWindow> openWindow(int slot = 0)
    {
        auto w = std::make_unique<CaptureWindow>(nullptr, DataMod->ADOConn, m_install->folder(), m_case, true, slot);
        w->show();
        [&] { QVERIFY(QTest::qWaitForWindowExposed(w.get())); }();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(w->beforeSearched(), 20000); }();
        return w;
    }

    // Fixes the camera's pose and waits for the guidance of a frame taken at that pose.
    static void guideAt(CaptureWindow &w, const DemoCamera::Pose &pose)
    {
        QVERIFY2(w.demoCamera(), "the live view has ended");
        w.demoCamera()->setPose(pose);
        const int seen = w.guidedFrames();
        // Four searches after the change: the first may have started on a frame from before it,
        // and the guidance is the median of the last three.
        QTRY_VERIFY_WITH_TIMEOUT(w.guidedFrames() >= seen + 4, 20000);
    }

    // The capture window, when another window opens it: the slot it opened on into shown, then
    // what the user does there (choose), and one click on 拍摄 once the camera gives a picture.
    void shootWhenOpened(QString *shown, std::function<void(CaptureWindow *)> choose = {})
    {
        m_prompter->onModal = [shown, choose](QDialog *d) {
            auto *w = qobject_cast<CaptureWindow *>(d);
            if (!w)
                return 0;
            *shown = w->ui()->cbox_Slot->currentText();
            [w, choose] {
                w->show();
                w->activateWindow();
                QApplication::setActiveWindow(w); // offscreen, a modal window opened late is not made active
                QVERIFY(QTest::qWaitForWindowActive(w));
                if (choose)
                    choose(w);
                QTRY_VERIFY_WITH_TIMEOUT(!w->frame().isNull(), 5000);
                QTest::mouseClick(w->ui()->btn_Shoot, Qt::LeftButton);
                QTRY_VERIFY(!w->isVisible());
            }();
            return w->result();
        };
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(Faces + QStringLiteral("/a1.jpg")))
            QSKIP("the real photos (../shared/faces) are not there");
        Align::preloadFaceModel();
    }

    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_prompter = std::make_unique<ScriptedPrompter>();
        const QString folder = m_install->folder() + QStringLiteral("pic/") + Customer;
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(Faces + QStringLiteral("/a1.jpg"), folder + QStringLiteral("/1.jpg")));
        m_install->exec(
            QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1', 'Zhang')").arg(Customer));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术前) "
                                       "VALUES ('%1', '眼部', '双眼皮', '%1\\1.jpg')")
                            .arg(Customer));
        m_case = m_install->scalar(QStringLiteral("SELECT max(id) FROM Surgery")).toLongLong();
    }

    void cleanup()
    {
        m_prompter.reset();
        m_install.reset();
    }

    void guidanceFollowsTheKnownPose()
    {
        auto w = openWindow();
        QVERIFY(w->demoCamera());
        QVERIFY2(w->ui()->lbl_Case->text().contains(QStringLiteral("眼部 / 双眼皮")),
                 qPrintable(w->ui()->lbl_Case->text()));
        QCOMPARE(w->ui()->cbox_Slot->currentText(), QStringLiteral("手术后"));
        QVERIFY(!w->ui()->lbl_Case->text().contains(QStringLiteral("Zhang")));

        // Turned 6 degrees, 15 % smaller, moved right: each difference is told, "closer" first of
        // the size hints, and the measures match what the camera played.
        DemoCamera::Pose off;
        off.roll = 6.0;
        off.scale = 0.85;
        off.dx = 0.04;
        guideAt(*w, off);
        const PoseGuide::Guidance g = w->guidance();
        QVERIFY2(g.compared, qPrintable(w->hint()));
        QVERIFY2(std::abs(g.roll - 6.0) <= 1.5, qPrintable(QString::number(g.roll)));
        QVERIFY2(std::abs(g.size + 15.0) <= 3.0, qPrintable(QString::number(g.size)));
        QVERIFY2(g.dx > 20.0, qPrintable(QString::number(g.dx))); // 51 px against a face ~60 px wide
        QVERIFY(!g.matched);
        QVERIFY2(w->hint().contains(QStringLiteral("靠近一点")), qPrintable(w->hint()));
        QVERIFY(w->hint().contains(QStringLiteral("往左一点")));
        QVERIFY(w->hint().contains(QStringLiteral("歪")));
        QVERIFY(!w->hint().contains(QStringLiteral("姿势一致")));

        // Larger than the before photo: farther away.
        DemoCamera::Pose big;
        big.scale = 1.12;
        guideAt(*w, big);
        QVERIFY2(w->hint().contains(QStringLiteral("离远一点")), qPrintable(w->hint()));
        QVERIFY(!w->hint().contains(QStringLiteral("靠近")));

        // Back in the before pose: one clear signal.
        guideAt(*w, DemoCamera::Pose());
        QVERIFY2(w->guidance().matched, qPrintable(w->hint()));
        QCOMPARE(w->hint(), QStringLiteral("姿势一致"));

        // Darker and warmer light in the same pose: told after 姿势一致, which it does not hold back.
        DemoCamera::Pose dim;
        dim.light = 0.65;
        dim.warmth = 0.25;
        guideAt(*w, dim);
        QVERIFY2(w->guidance().matched, qPrintable(w->hint()));
        QVERIFY2(w->hint().startsWith(QStringLiteral("姿势一致")), qPrintable(w->hint()));
        QVERIFY(w->hint().contains(QStringLiteral("光线偏暗")));
        QVERIFY(w->hint().contains(QStringLiteral("颜色偏暖")));
        DemoCamera::Pose bright;
        bright.light = 1.4;
        bright.warmth = -0.25;
        guideAt(*w, bright);
        QVERIFY2(w->hint().contains(QStringLiteral("光线偏亮")), qPrintable(w->hint()));
        QVERIFY(w->hint().contains(QStringLiteral("颜色偏冷")));
        QVERIFY(!w->hint().contains(QStringLiteral("偏暗")));

        // The ghost's opacity follows the keys; outlines only by its access key.
        const int before = w->ui()->sld_Ghost->value();
        QTest::keyClick(w.get(), Qt::Key_Plus);
        QCOMPARE(w->ui()->sld_Ghost->value(), before + 5);
        QTest::keyClick(w.get(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(w->ui()->chk_Outline->isChecked());
    }

    void demoPortraitMatchesInItsOwnPose()
    {
        // The demo installation's drawn faces, whose landmarks can settle two ways from one frame
        // to the next: filmed in the before pose they still read as 姿势一致, and smaller as 靠近.
        const DemoPictures::PoolPicture before = DemoPictures::poolLayout(QSize(2000, 1500)).first();
        const QImage portrait = DemoPictures::drawUpright(before,
                                                          DemoPictures::uprightSize(before.storedSize,
                                                                                    before.orientation),
                                                          QStringLiteral("病例 1"));
        QVERIFY(
            portrait.save(m_install->folder() + QStringLiteral("pic/") + Customer + QStringLiteral("/1.jpg"), "JPEG"));
        auto w = openWindow();
        for (int i = 0; i < 3; ++i) {
            guideAt(*w, DemoCamera::Pose());
            QCOMPARE(w->hint(), QStringLiteral("姿势一致"));
        }
        DemoCamera::Pose smaller;
        smaller.scale = 0.85;
        guideAt(*w, smaller);
        QVERIFY2(w->hint().contains(QStringLiteral("靠近一点")), qPrintable(w->hint()));
    }

    void shotLandsInTheSlotAndTheLog()
    {
        auto w = openWindow(1);
        QTRY_VERIFY(!w->frame().isNull());
        QTest::keyClick(w.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY(!w->isVisible());
        QVERIFY2(m_prompter->calls.isEmpty(), qPrintable(m_prompter->texts(QStringLiteral("error")).join('\n')));
        const QString stored = m_install
                                   ->scalar(QStringLiteral("SELECT 手术后1 FROM Surgery WHERE id = %1").arg(m_case))
                                   .toString();
        QCOMPARE(stored, w->stored());
        QVERIFY(stored.startsWith(Customer + QLatin1Char('\\')));
        const QImage shot(m_install->folder() + QStringLiteral("pic/") + QString(stored).replace('\\', '/'));
        QVERIFY(!shot.isNull());
        QVERIFY(qMax(shot.width(), shot.height()) > 1280); // the shot at full resolution, not the live view
        // Dated as a camera dates its pictures, so the case can tell when it was taken.
        QCOMPARE(ExifDate::dateTaken(m_install->folder() + QStringLiteral("pic/") + QString(stored).replace('\\', '/')),
                 std::optional<QDate>(QDate::currentDate()));
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT 手术后 FROM Surgery WHERE id = %1").arg(m_case)).toString(),
                 QString());
        QCOMPARE(m_install
                     ->scalar(QStringLiteral("SELECT Detail FROM AuditLog WHERE Action = 'picture-taken' "
                                             "AND CustomerNo = '%1'")
                                  .arg(Customer))
                     .toString(),
                 QStringLiteral("手术后1 演示相机"));
    }

    void refusedShotLeavesTheStoreAlone()
    {
        auto w = openWindow(0);
        QTRY_VERIFY(!w->frame().isNull());
        // Another workstation fills the slot while the window is open.
        m_install->exec(
            QStringLiteral("UPDATE Surgery SET 手术后 = '%1\\other.jpg' WHERE id = %2").arg(Customer).arg(m_case));
        const QString folder = m_install->folder() + QStringLiteral("pic/") + Customer;
        const QStringList files = filesOf(folder);
        QVERIFY(!w->shoot());
        QCOMPARE(m_prompter->callsOf(QStringLiteral("error")).size(), 1);
        QVERIFY(m_prompter->calls.last().text.contains(QStringLiteral("已有图片")));
        QCOMPARE(filesOf(folder), files);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT 手术后 FROM Surgery WHERE id = %1").arg(m_case)).toString(),
                 Customer + QStringLiteral("\\other.jpg"));
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = 'picture-taken'"))
                     .toInt(),
                 0);
        QVERIFY(w->isVisible());
    }

    void automaticShotOncePerHold()
    {
        auto w = openWindow(0);
        QVERIFY(!w->ui()->chk_AutoShoot->isChecked());
        DemoCamera::Pose off;
        off.scale = 0.85;
        guideAt(*w, off);
        QTest::keyClick(w.get(), Qt::Key_A, Qt::AltModifier);
        QTRY_VERIFY(w->ui()->chk_AutoShoot->isChecked());

        // Another workstation fills the slot: the held pose gets one refused shot, not one a frame.
        m_install->exec(
            QStringLiteral("UPDATE Surgery SET 手术后 = '%1\\other.jpg' WHERE id = %2").arg(Customer).arg(m_case));
        guideAt(*w, DemoCamera::Pose());
        QVERIFY(w->guidance().matched);
        QTRY_COMPARE_WITH_TIMEOUT(m_prompter->callsOf(QStringLiteral("error")).size(), 1, 5000);
        QTest::qWait(CaptureWindow::HoldMs * 2);
        QCOMPARE(m_prompter->callsOf(QStringLiteral("error")).size(), 1);
        QVERIFY(w->isVisible());

        // The slot is free again; the pose leaves and comes back: that hold's shot is stored.
        m_install->exec(QStringLiteral("UPDATE Surgery SET 手术后 = NULL WHERE id = %1").arg(m_case));
        guideAt(*w, off);
        QVERIFY(!w->guidance().matched);
        guideAt(*w, DemoCamera::Pose());
        QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
        QCOMPARE(m_prompter->callsOf(QStringLiteral("error")).size(), 1);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT 手术后 FROM Surgery WHERE id = %1").arg(m_case)).toString(),
                 w->stored());
        QVERIFY(!w->stored().isEmpty());
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = 'picture-taken'"))
                     .toInt(),
                 1);

        // The choice is kept on this computer for the next window.
        CaptureWindow next(nullptr, DataMod->ADOConn, m_install->folder(), m_case, true, 1);
        QVERIFY(next.ui()->chk_AutoShoot->isChecked());
    }

    void unpluggedCameraEndsTheView()
    {
        auto w = openWindow();
        QTRY_VERIFY(!w->frame().isNull());
        w->demoCamera()->unplug();
        QCOMPARE(m_prompter->callsOf(QStringLiteral("message")).size(), 1);
        QVERIFY(m_prompter->calls.last().text.contains(QStringLiteral("相机已断开")));
        QVERIFY(w->frame().isNull());
        QVERIFY(!w->source());
        QVERIFY(w->hint().contains(QStringLiteral("相机已断开")));
        // Taking a shot now is refused with a word, not a crash.
        QVERIFY(!w->shoot());
        QCOMPARE(m_prompter->callsOf(QStringLiteral("message")).size(), 2);
    }

    // 拍摄(&T)… in the records window opens on the first empty after slot; the user chooses
    // another slot by keys (going up passes over 手术后, which holds a picture) and the shot lands
    // there; a case with all six slots full is told so and no window opens.
    void recordsWindowShootsIntoTheChosenSlot()
    {
        m_install->exec(
            QStringLiteral("UPDATE Surgery SET 手术后 = '%1\\1.jpg' WHERE id = %2").arg(Customer).arg(m_case));
        QString shown, chosen;
        shootWhenOpened(&shown, [&chosen](CaptureWindow *w) {
            QTest::keyClick(w, Qt::Key_I, Qt::AltModifier);
            QVERIFY(w->ui()->cbox_Slot->hasFocus());
            QTest::keyClick(w->ui()->cbox_Slot, Qt::Key_Up);
            chosen = w->ui()->cbox_Slot->currentText();
        });
        Tfrm_Manager manager(nullptr, Customer);
        manager.show();
        QVERIFY(QTest::qWaitForWindowExposed(&manager));
        auto *button = manager.findChild<QPushButton *>(QStringLiteral("btn_Capture"));
        QVERIFY(button);
        QVERIFY(button->text().contains(QStringLiteral("(&T)")));
        button->click();
        QVERIFY2(m_prompter->callsOf(QStringLiteral("modal")).size() == 1,
                 qPrintable(m_prompter->texts(QStringLiteral("message")).join(QLatin1Char('\n'))
                            + m_prompter->texts(QStringLiteral("error")).join(QLatin1Char('\n'))));
        QCOMPARE(shown, QStringLiteral("手术后1"));
        QCOMPARE(chosen, QStringLiteral("手术前2"));
        const QString stored = m_install
                                   ->scalar(QStringLiteral("SELECT 手术前2 FROM Surgery WHERE id = %1").arg(m_case))
                                   .toString();
        QVERIFY(!stored.isEmpty());
        QVERIFY(m_install->scalar(QStringLiteral("SELECT 手术后1 FROM Surgery WHERE id = %1").arg(m_case))
                    .toString()
                    .isEmpty());
        // The records window shows the case again with its new picture.
        QCOMPARE(manager.adt_Surgery->value(QStringLiteral("手术前2")).toString(), stored);

        m_install->exec(
            QStringLiteral("UPDATE Surgery SET 手术前1 = 'x', 手术后1 = 'x', 手术后2 = 'x' WHERE id = %1").arg(m_case));
        manager.adt_Surgery->refresh();
        button->click();
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).size(), 1);
        QCOMPARE(m_prompter->texts(QStringLiteral("message")).value(0), QStringLiteral("这个案例的六张照片都已有图片"));
    }

    // T in the compare window opened from the main window: the station opens on the first empty
    // after slot, the user takes the photo into the next one instead, and the compare window shows
    // it on the right at once beside the before photo; the main window's list is read again so
    // that its frames show the new photo too.
    void compareWindowShowsThePhotoInTheSlotChosen()
    {
        QString shown;
        shootWhenOpened(&shown, [](CaptureWindow *w) {
            QTest::keyClick(w, Qt::Key_I, Qt::AltModifier);
            QTest::keyClick(w->ui()->cbox_Slot, Qt::Key_Down);
        });
        const auto shoot = m_prompter->onModal;
        QString left, right;
        m_prompter->onModal = [&](QDialog *d) {
            auto *cw = qobject_cast<CompareWindow *>(d);
            if (!cw)
                return shoot(d);
            cw->show();
            cw->activateWindow();
            QApplication::setActiveWindow(cw);
            if (!QTest::qWaitForWindowActive(cw))
                return 0;
            QTest::keyClick(cw, Qt::Key_T);
            left = cw->left().stored;
            right = cw->right().stored;
            QTest::keyClick(cw, Qt::Key_Escape);
            return 0;
        };
        TfrmMain main(m_install->folder());
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QVERIFY(main.adq_Surgery->locate(QStringLiteral("id"), m_case));
        QVERIFY(main.adq_Surgery->value(QStringLiteral("手术后")).toString().isEmpty());
        QTest::keyClick(&main, Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).size(), 2);
        QCOMPARE(shown, QStringLiteral("手术后"));
        const QString stored = m_install
                                   ->scalar(QStringLiteral("SELECT 手术后1 FROM Surgery WHERE id = %1").arg(m_case))
                                   .toString();
        QVERIFY(!stored.isEmpty());
        QCOMPARE(right, stored);
        QCOMPARE(left, Customer + QStringLiteral("\\1.jpg"));
        QCOMPARE(main.adq_Surgery->value(QStringLiteral("id")).toLongLong(), m_case);
        QCOMPARE(main.adq_Surgery->value(QStringLiteral("手术后1")).toString(), stored);
        QVERIFY(main.adq_Surgery->value(QStringLiteral("手术后")).toString().isEmpty());
    }
};

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
