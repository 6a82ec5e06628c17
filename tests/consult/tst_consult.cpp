// The consultation mode as the consultant uses it: the keys of a presenter remote through every
// level, nothing personal anywhere in the window, a placeholder and no box for a bad picture,
// the password to leave, and the audit trail of what was shown.
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"
#include "support/ExifPhoto.h"
#include "data/AuditLog.h"
#include "compare/CompareView.h"
#include "consent/Consent.h"
#include "consent/Showable.h"
#include "consult/ConsultWindow.h"
#include "data/Db.h"
#include "data/Unit_DataMod.h"
#include "pictures/PreviewService.h"
#include "browser/Unit_Main.h"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QToolButton>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QtTest>

namespace {

// A photo whose EXIF says it was taken on `taken` (nothing when invalid).
QByteArray photo(QColor colour, const QDate &taken)
{
    const QByteArray date = taken.toString(QStringLiteral("yyyy:MM:dd 10:00:00")).toLatin1();
    return ExifPhoto::jpeg(taken.isValid() ? ExifPhoto::segment(0xE1, ExifPhoto::payload(false, {}, date))
                                           : QByteArray(),
                           colour, QSize(320, 240));
}

// Every text the window and its children show or expose to assistive tools.
QStringList textsOf(QWidget *window)
{
    QStringList texts;
    QList<QWidget *> widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *w : widgets) {
        texts << w->windowTitle() << w->toolTip() << w->statusTip() << w->whatsThis() << w->accessibleName()
              << w->accessibleDescription();
        if (auto *l = qobject_cast<QLabel *>(w))
            texts << l->text();
        if (auto *b = qobject_cast<QAbstractButton *>(w))
            texts << b->text();
        if (auto *e = qobject_cast<QLineEdit *>(w))
            texts << e->text() << e->placeholderText();
    }
    texts.removeAll(QString());
    return texts;
}

} // namespace

class TestConsult : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    std::unique_ptr<QWidget> m_staff;

    // What must never be on the mode's screen.
    QStringList m_personal;

    QSqlDatabase db() const { return QSqlDatabase::database(m_install->mod()->ADOConn); }

    void addCustomer(const QString &no, const QString &name, const QString &age, const QString &phone,
                     const QString &address)
    {
        m_install->exec(
            QStringLiteral(
                "INSERT INTO tUserInfo (客户编号, 用户姓名, 性别, 年龄, 电话, 地址) VALUES ('%1', '%2', '女', '%3', '%4', '%5')")
                .arg(no, name, age, phone, address));
        m_personal << no << name << phone << address << QStringLiteral("%1 岁").arg(age)
                   << QStringLiteral("%1岁").arg(age);
    }
    // A case with its pictures written into the store (an empty QByteArray: a column naming a
    // file that is not there).
    void addCase(int id, const QString &no, const char *major, const char *minor, const QString &surgeon,
                 const QString &amount, const QDate &date, const QString &beforeName, const QByteArray &before,
                 const QString &afterName, const QByteArray &after, int level)
    {
        QDir(m_install->folder() + QStringLiteral("pic")).mkpath(no);
        auto store = [&](const QString &name, const QByteArray &bytes) {
            if (name.isEmpty())
                return QString();
            if (!bytes.isEmpty()) {
                QFile f(m_install->folder() + QStringLiteral("pic/") + no + QLatin1Char('/') + name);
                if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
                    qFatal("cannot write a picture");
            }
            m_personal << name << QFileInfo(name).completeBaseName();
            return no + QLatin1Char('\\') + name;
        };
        m_install->exec(
            QStringLiteral(
                "INSERT INTO Surgery (id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, 手术前, 手术后) "
                "VALUES (%1, '%2', '%3', '%4', '%5', '%6', '%7', '%8', '%9')")
                .arg(id)
                .arg(no, QString::fromUtf8(major), QString::fromUtf8(minor), surgeon, amount,
                     date.toString(Qt::ISODate), store(beforeName, before), store(afterName, after)));
        m_personal << amount;
        if (level >= 0)
            Consent::write(db(), id, no, {Consent::fromInt(level), QDate(2023, 1, 1), QStringLiteral("本人签字")});
    }

    ConsultWindow *openMode()
    {
        auto *w = new ConsultWindow(*m_install->mod(), m_staff.get());
        if (!w->start()) {
            delete w;
            return nullptr;
        }
        return w;
    }
    // Keys go where a remote's keys go: to the widget holding the focus.
    static void press(ConsultWindow *w, int key)
    {
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : w;
        QTest::keyClick(target, Qt::Key(key));
    }
    void checkNothingPersonal(ConsultWindow *w, const char *where, bool surgeonAllowed)
    {
        QStringList forbidden = m_personal;
        if (!surgeonAllowed)
            forbidden << QStringLiteral("王建国") << QStringLiteral("李振华");
        forbidden << m_install->folder() << QStringLiteral(".jpg") << QStringLiteral("pic/");
        const QStringList texts = textsOf(w);
        QVERIFY2(!texts.isEmpty(), where);
        for (const QString &t : texts) {
            for (const QString &f : std::as_const(forbidden))
                QVERIFY2(!t.contains(f, Qt::CaseInsensitive),
                         qPrintable(QStringLiteral("%1: \"%2\" shows \"%3\"").arg(QString::fromLatin1(where), t, f)));
        }
    }
    QStringList shownEvents() const
    {
        QStringList events;
        QSqlQuery q = Db::
            runPrepared(db(),
                        QStringLiteral(
                            "SELECT Action, CaseId, Detail FROM AuditLog WHERE Action LIKE 'consultation%' ORDER BY id"),
                        {});
        while (q.next())
            events << QStringLiteral("%1 %2 %3")
                          .arg(q.value(0).toString(), q.isNull(1) ? QString() : q.value(1).toString(),
                               q.value(2).toString())
                          .trimmed();
        return events;
    }

private slots:
    void init();
    void cleanup();
    void walkThroughEveryLevelShowingNothingPersonal();
    void surgeonOnlyWhenAllowed();
    void leavingNeedsAStaffPasswordWhenLoginIsOn();
    void nothingToShowOpensNothing();
    void openedFromTheStaffWindow();
};

void TestConsult::init()
{
    m_install = std::make_unique<TestInstall>();
    m_prompter = std::make_unique<ScriptedPrompter>();
    m_staff = std::make_unique<QWidget>();
    m_staff->resize(400, 300);
    m_staff->show();
    m_personal.clear();
    addCustomer(QStringLiteral("A1202301150001"), QStringLiteral("林晓梅"), QStringLiteral("37"),
                QStringLiteral("13912345678"), QStringLiteral("杭州市西湖区文三路88号"));
    addCustomer(QStringLiteral("A1202302200002"), QStringLiteral("周美华"), QStringLiteral("52"),
                QStringLiteral("0571-88776655"), QStringLiteral("上海市徐汇区漕溪北路1号"));
    const QString a = QStringLiteral("A1202301150001"), b = QStringLiteral("A1202302200002");
    // Eyes: two consented double-eyelid cases (one for publicity) and an epicanthoplasty whose
    // after photo is damaged; nose: one consented with its after photo missing from the store,
    // one consented with both, one record only; breast: no consent at all.
    addCase(1, a, "眼部", "双眼皮", QStringLiteral("王建国"), QStringLiteral("12800"), QDate(2023, 3, 10),
            QStringLiteral("linxm_before_7731.jpg"), photo(Qt::darkRed, QDate(2023, 3, 9)),
            QStringLiteral("linxm_after_7732.jpg"), photo(Qt::darkGreen, QDate(2023, 6, 15)), 1);
    addCase(2, b, "眼部", "双眼皮", QStringLiteral("李振华"), QStringLiteral("9600"), QDate(2022, 5, 1),
            QStringLiteral("zhoumh_b_5511.jpg"), photo(Qt::darkBlue, {}), QStringLiteral("zhoumh_a_5512.jpg"),
            photo(Qt::darkYellow, QDate(2023, 7, 20)), 2);
    addCase(3, b, "眼部", "开眼角", QStringLiteral("王建国"), QStringLiteral("7300"), QDate(2023, 1, 5),
            QStringLiteral("zhoumh_b_6611.jpg"), photo(Qt::darkCyan, {}), QStringLiteral("zhoumh_a_6612.jpg"),
            QByteArrayLiteral("\xFF\xD8\xFF\xE0 not really a picture"), 1);
    addCase(4, a, "鼻部", "隆鼻", QStringLiteral("李振华"), QStringLiteral("21000"), QDate(2022, 9, 9),
            QStringLiteral("linxm_nose_b.jpg"), photo(Qt::gray, {}), QStringLiteral("linxm_nose_a.jpg"), QByteArray(),
            1);
    addCase(5, a, "鼻部", "隆鼻", QStringLiteral("王建国"), QStringLiteral("18800"), QDate(2022, 10, 1),
            QStringLiteral("linxm_secret_b.jpg"), photo(Qt::black, {}), QStringLiteral("linxm_secret_a.jpg"),
            photo(Qt::white, {}), 0);
    addCase(6, b, "胸部", "假体隆胸", QStringLiteral("王建国"), QStringLiteral("45000"), QDate(2022, 11, 1),
            QStringLiteral("zhoumh_chest_b.jpg"), photo(Qt::black, {}), QStringLiteral("zhoumh_chest_a.jpg"),
            photo(Qt::white, {}), -1);
    addCase(7, a, "鼻部", "隆鼻", QStringLiteral("李振华"), QStringLiteral("19900"), QDate(2022, 12, 1),
            QStringLiteral("linxm_nose2_b.jpg"), photo(Qt::darkMagenta, {}), QStringLiteral("linxm_nose2_a.jpg"),
            photo(Qt::lightGray, {}), 1);
    PreviewService::shared().setCacheRoot(m_install->folder() + QStringLiteral("thumbnails"));
}

void TestConsult::cleanup()
{
    PreviewService::shared().waitForDone();
    m_staff.reset();
    m_prompter.reset();
    m_install.reset();
}

void TestConsult::walkThroughEveryLevelShowingNothingPersonal()
{
    ConsultWindow *w = openMode();
    QVERIFY(w);
    std::unique_ptr<ConsultWindow> owner(w);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCOMPARE(QApplication::focusWidget(), w);
    QVERIFY(w->isFullScreen());
    // Two screens: the one without the staff window; one screen: the staff window's.
    if (QGuiApplication::screens().size() > 1)
        QVERIFY(w->screen() != m_staff->screen());
    else
        QCOMPARE(w->screen(), m_staff->screen());
    QCOMPARE(w->geometry(), w->screen()->geometry());
    // The staff window takes no input while the mode is up.
    QCOMPARE(QApplication::activeModalWidget(), w);

    auto tileNames = [w] {
        QStringList names;
        for (QWidget *t : w->findChildren<QWidget *>(QStringLiteral("tile")))
            names << t->accessibleName();
        return names;
    };
    // Level 1: the categories with consented cases, and their counts; nothing of 胸部.
    QCOMPARE(w->level(), 1);
    QCOMPARE(tileNames(), QStringList({QStringLiteral("眼部 3 例"), QStringLiteral("鼻部 1 例")}));
    checkNothingPersonal(w, "level 1", false);
    press(w, Qt::Key_PageDown);
    QCOMPARE(w->selectedTile(), 1);
    press(w, Qt::Key_PageDown); // stays on the last tile
    QCOMPARE(w->selectedTile(), 1);
    press(w, Qt::Key_Left);
    QCOMPARE(w->selectedTile(), 0);

    // Level 2: the sub-categories of 眼部.
    press(w, Qt::Key_Return);
    QCOMPARE(w->level(), 2);
    QCOMPARE(tileNames(), QStringList({QStringLiteral("双眼皮 2 例"), QStringLiteral("开眼角 1 例")}));
    checkNothingPersonal(w, "level 2", false);

    // Level 3: the cases, named by the time from the surgery to the after photo.
    press(w, Qt::Key_Enter);
    QCOMPARE(w->level(), 3);
    QCOMPARE(tileNames(), QStringList({QStringLiteral("术后 1 年 2 个月"), QStringLiteral("术后 3 个月")}));
    checkNothingPersonal(w, "level 3", false);
    // The thumbnails arrive from the workers and are drawn as they come.
    QTRY_VERIFY([w] {
        const QList<QWidget *> tiles = w->findChildren<QWidget *>(QStringLiteral("tile"));
        return std::all_of(tiles.begin(), tiles.end(), [](QWidget *t) {
            return t->isVisible() && t->grab().toImage().pixelColor(60, 60) != QColor(58, 58, 64).darker(115);
        });
    }());
    w->repaint(); // on the screen: these two cases count as shown

    // Level 4: the comparison, stepping through the chosen cases with the remote.
    press(w, Qt::Key_F5);
    QCOMPARE(w->level(), 4);
    QCOMPARE(w->currentCaseId(), qint64(2));
    w->compareView()->waitUntilLoaded();
    QVERIFY(w->compareView()->hasPicture(CompareView::Side::Before));
    QVERIFY(w->compareView()->hasPicture(CompareView::Side::After));
    QCOMPARE(w->findChild<QLabel *>(QStringLiteral("lbl_CaseCaption"))->text(),
             QStringLiteral("眼部 · 双眼皮 · 术后 1 年 2 个月"));
    checkNothingPersonal(w, "level 4", false);
    press(w, Qt::Key_PageDown);
    QCOMPARE(w->currentCaseId(), qint64(1));
    QCOMPARE(w->findChild<QLabel *>(QStringLiteral("lbl_CaseCaption"))->text(),
             QStringLiteral("眼部 · 双眼皮 · 术后 3 个月"));
    press(w, Qt::Key_Right); // the last case: stays
    QCOMPARE(w->currentCaseId(), qint64(1));
    press(w, Qt::Key_PageUp);
    QCOMPARE(w->currentCaseId(), qint64(2));
    press(w, Qt::Key_W);
    QCOMPARE(w->compareView()->state().mode, CompareView::Mode::Wipe);
    press(w, Qt::Key_S);
    QCOMPARE(w->compareView()->state().mode, CompareView::Mode::SideBySide);

    // B blanks everything, B again brings it back; steps are not taken while blank.
    auto *stack = w->findChild<QStackedWidget *>();
    press(w, Qt::Key_B);
    QVERIFY(w->isBlanked());
    QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("blankPage"));
    press(w, Qt::Key_PageDown);
    QCOMPARE(w->currentCaseId(), qint64(2));
    press(w, Qt::Key_B);
    QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("comparePage"));

    // Esc goes back one level at a time, to the tile it came from.
    press(w, Qt::Key_Escape);
    QCOMPARE(w->level(), 3);
    press(w, Qt::Key_Escape);
    QCOMPARE(w->level(), 2);
    QCOMPARE(w->selectedTile(), 0);

    // The damaged after photo: a placeholder, and no box in front of the customer. Its level
    // is passed through before it is drawn: its tile does not count as shown.
    press(w, Qt::Key_Right);
    press(w, Qt::Key_Space);
    QCOMPARE(w->level(), 3);
    press(w, Qt::Key_Return);
    QCOMPARE(w->currentCaseId(), qint64(3));
    w->compareView()->waitUntilLoaded();
    QCoreApplication::processEvents();
    const QList<QWidget *> placeholders = w->compareView()->findChildren<QWidget *>(QStringLiteral("placeholder"));
    QCOMPARE(placeholders.size(), 2);
    QVERIFY(!placeholders.at(0)->isVisible());
    QVERIFY(placeholders.at(1)->isVisible());
    QVERIFY(placeholders.at(1)->geometry().left() > w->compareView()->width() / 2);
    checkNothingPersonal(w, "level 4, damaged picture", false);

    // 鼻部: the case whose after picture is missing from the store is not offered.
    press(w, Qt::Key_Escape);
    press(w, Qt::Key_Escape);
    press(w, Qt::Key_Escape);
    QCOMPARE(w->level(), 1);
    QCOMPARE(w->selectedTile(), 0);
    press(w, Qt::Key_Down);
    press(w, Qt::Key_Right);
    QCOMPARE(w->selectedTile(), 1);
    press(w, Qt::Key_Return);
    press(w, Qt::Key_Return);
    QCOMPARE(tileNames(), QStringList({QStringLiteral("第 1 例")}));
    press(w, Qt::Key_Return);
    QCOMPARE(w->currentCaseId(), qint64(7));

    // A presenter remote on the comparison: + zooms around the middle of the picture wherever
    // the pointer rests, the arrows then move it instead of stepping, [ and ] move the divider.
    CompareView *view = w->compareView();
    view->waitUntilLoaded();
    QCursor::setPos(view->mapToGlobal(QPoint(2, view->height() - 2)));
    const QPointF middle = view->visibleRegion().center();
    press(w, Qt::Key_Plus);
    press(w, Qt::Key_Plus);
    QVERIFY(!view->state().fitted);
    QVERIFY2(QLineF(view->visibleRegion().center(), middle).length() < 2,
             qPrintable(QStringLiteral("%1,%2").arg(view->visibleRegion().center().x()).arg(middle.x())));
    press(w, Qt::Key_Right);
    QCOMPARE(w->currentCaseId(), qint64(7));
    QVERIFY(view->visibleRegion().center().x() > middle.x() + 1);
    press(w, Qt::Key_W);
    const double divider = view->state().wipePosition;
    press(w, Qt::Key_BracketLeft);
    QVERIFY(view->state().wipePosition < divider);
    const QString help = w->findChild<QLabel *>(QStringLiteral("lbl_CompareHint"))->text();
    for (const char *key : {"PageUp", "PageDown", "S ", "W ", "O ", "[ ]", "+ -", "F ", "1 ", "B ", "Esc"})
        QVERIFY2(help.contains(QString::fromLatin1(key)), key);
    checkNothingPersonal(w, "level 4, nose", false);
    QVERIFY(m_prompter->calls.isEmpty());

    // Esc from level 4 back to the start and once more leaves (no login required).
    for (int i = 0; i < 3; ++i)
        press(w, Qt::Key_Escape);
    QCOMPARE(w->level(), 1);
    QSignalSpy finished(w, &ConsultWindow::finished);
    press(w, Qt::Key_Escape);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!w->isVisible());

    // The staff learns of both faulty pictures only now, with the file names.
    QCOMPARE(m_prompter->calls.size(), 1);
    const QString report = m_prompter->texts(QStringLiteral("message")).value(0);
    QVERIFY2(report.contains(QStringLiteral("病例 3")) && report.contains(QStringLiteral("病例 4"))
                 && report.contains(QStringLiteral("linxm_nose_a.jpg")),
             qPrintable(report));

    // Every case shown, as a tile and in the comparison, once each; record-only and unconsented
    // cases never.
    const QStringList events = shownEvents();
    QCOMPARE(events.first(), QStringLiteral("consultation-started  4"));
    QCOMPARE(events.last(), QStringLiteral("consultation-ended  4"));
    QStringList shown = events.mid(1, events.size() - 2);
    shown.sort();
    QCOMPARE(shown,
             QStringList(
                 {QStringLiteral("consultation-case-shown 1 对比"), QStringLiteral("consultation-case-shown 1 缩略图"),
                  QStringLiteral("consultation-case-shown 2 对比"), QStringLiteral("consultation-case-shown 2 缩略图"),
                  QStringLiteral("consultation-case-shown 3 对比"), QStringLiteral("consultation-case-shown 7 对比")}));
    // For the staff, each names its customer.
    QCOMPARE(m_install
                 ->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action = 'consultation-case-shown' "
                                         "AND CustomerNo = CASE WHEN CaseId IN (2, 3) THEN 'A1202302200002' "
                                         "ELSE 'A1202301150001' END"))
                 .toInt(),
             shown.size());
}

void TestConsult::surgeonOnlyWhenAllowed()
{
    Showable::setSurgeonShown(true);
    ConsultWindow *w = openMode();
    QVERIFY(w);
    std::unique_ptr<ConsultWindow> owner(w);
    // A click on a tile opens it, as Return does.
    QTest::mouseClick(w->findChildren<QWidget *>(QStringLiteral("tile")).value(0), Qt::LeftButton);
    QTRY_COMPARE(w->level(), 2);
    press(w, Qt::Key_Return);
    QStringList names;
    for (QWidget *t : w->findChildren<QWidget *>(QStringLiteral("tile")))
        names << t->accessibleName();
    QCOMPARE(names, QStringList(
                        {QStringLiteral("术后 1 年 2 个月 医生：李振华"), QStringLiteral("术后 3 个月 医生：王建国")}));
    press(w, Qt::Key_Return);
    QCOMPARE(w->findChild<QLabel *>(QStringLiteral("lbl_CaseCaption"))->text(),
             QStringLiteral("眼部 · 双眼皮 · 术后 1 年 2 个月 · 医生：李振华"));
    // Everything else stays out just the same.
    checkNothingPersonal(w, "surgeon allowed", true);
}

void TestConsult::leavingNeedsAStaffPasswordWhenLoginIsOn()
{
    m_install->mod()->WriteMustLogin(true);
    ConsultWindow *w = openMode();
    QVERIFY(w);
    std::unique_ptr<ConsultWindow> owner(w);
    QSignalSpy finished(w, &ConsultWindow::finished);

    // A customer presses Esc, and Esc again in the password dialog (its 取消), and then tries to
    // close the window: the dialog is cancelled both times and the mode stays.
    bool closedByEscape = false;
    int asked = 0;
    m_prompter->onModal = [&](QDialog *d) -> int {
        if (++asked == 1) {
            d->show();
            QTest::keyClick(d->findChild<QLineEdit *>(QStringLiteral("edt_User")), Qt::Key_Escape);
            closedByEscape = !d->isVisible();
        }
        return d->result();
    };
    press(w, Qt::Key_Escape);
    QVERIFY(closedByEscape);
    QVERIFY(!w->close());
    QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).size(), 2);
    QVERIFY(w->isVisible());
    QCOMPARE(finished.size(), 0);

    // A wrong password is refused inside the dialog; the right one ends the mode.
    QString wrongSaid;
    bool acceptedWrong = true;
    bool passwordCleared = false;
    m_prompter->onModal = [&](QDialog *d) -> int {
        auto *user = d->findChild<QLineEdit *>(QStringLiteral("edt_User"));
        auto *password = d->findChild<QLineEdit *>(QStringLiteral("edt_Password"));
        d->show();
        user->setFocus();
        QTest::keyClicks(user, QStringLiteral("Admin"));
        password->setFocus();
        QTest::keyClicks(password, QStringLiteral("guess"));
        QTest::keyClick(password, Qt::Key_Return);
        acceptedWrong = d->result() == QDialog::Accepted;
        wrongSaid = d->findChild<QLabel *>(QStringLiteral("lbl_Wrong"))->text();
        passwordCleared = password->text().isEmpty();
        QTest::keyClicks(password, QStringLiteral("admin"));
        QTest::keyClick(password, Qt::Key_Return);
        return d->result();
    };
    press(w, Qt::Key_Escape);
    QVERIFY(!acceptedWrong);
    QVERIFY(passwordCleared);
    QVERIFY(!wrongSaid.isEmpty());
    QCOMPARE(finished.size(), 1);
    QVERIFY(!w->isVisible());
    QVERIFY(shownEvents().last().startsWith(QStringLiteral("consultation-ended")));
    // Unlocking is its own action, not a login.
    QCOMPARE(m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action = 'consultation-unlocked'"))
                 .toInt(),
             1);
    QCOMPARE(m_install
                 ->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action = 'consultation-unlock-failed'"))
                 .toInt(),
             1);
    QCOMPARE(m_install
                 ->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action IN ('login', 'login-failed')"))
                 .toInt(),
             0);
}

void TestConsult::nothingToShowOpensNothing()
{
    m_install->exec(QStringLiteral("DELETE FROM CaseConsent"));
    QVERIFY(!openMode());
    QCOMPARE(m_prompter->texts(QStringLiteral("message")).size(), 1);
    QVERIFY(shownEvents().isEmpty());
}

void TestConsult::openedFromTheStaffWindow()
{
    TfrmMain main(m_install->folder());
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    auto *open = main.findChild<QAction *>(QStringLiteral("ac_Consult"));
    QVERIFY(open);
    QCOMPARE(open->text(), QStringLiteral("咨询演示(&P)"));
    QVERIFY(main.menuView->actions().contains(open));
    auto *button = main.findChild<QToolButton *>(QStringLiteral("btn_ac_Consult"));
    QVERIFY(button && button->defaultAction() == open);
    QCOMPARE(button->text(), QStringLiteral("咨询演示"));

    // The surgeon setting follows the menu entry into the settings file.
    auto *surgeon = main.findChild<QAction *>(QStringLiteral("ac_ConsultSurgeon"));
    QVERIFY(main.menuView->actions().contains(surgeon));
    surgeon->trigger();
    QVERIFY(Showable::surgeonShown());

    // F5 in the staff window opens the mode; Esc on its first level ends it (login off).
    main.activateWindow();
    QTest::keyClick(&main, Qt::Key_F5);
    auto *mode = qobject_cast<ConsultWindow *>(QApplication::activeModalWidget());
    QVERIFY(mode);
    QCOMPARE(mode->level(), 1);
    QPointer<ConsultWindow> alive(mode);
    QTRY_COMPARE(QApplication::focusWidget(), mode);
    QSignalSpy finished(mode, &ConsultWindow::finished);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QCOMPARE(finished.size(), 1);
    QTRY_VERIFY(!alive);
    // The staff is told of the case left out for its missing photo, and of nothing else.
    QCOMPARE(m_prompter->calls.size(), 1);
    QVERIFY(m_prompter->calls.first().text.contains(QStringLiteral("病例 4")));
}

QTEST_MAIN(TestConsult)
#include "tst_consult.moc"
