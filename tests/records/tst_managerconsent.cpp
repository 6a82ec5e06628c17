// The consent boxes of the records window, worked with keys and the mouse as staff use them, and
// the command that gives all cases of the customer one level; the database checked each time.
#include "ManagerFixture.h"
#include "ui_Unit_Manager.h"

#include "data/AuditLog.h"
#include "consent/CasePictures.h"
#include "consent/Consent.h"
#include "consent/Showable.h"
#include "data/Unit_DataMod.h"

#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QMenu>
#include <QTimer>
#include <memory>

using namespace ManagerTest;

namespace {
const QString kJia = QStringLiteral("A1200612070001");
} // namespace

class TestManagerConsent : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompt;

    int rows(const QString &sql) { return count(*m_install, sql); }
    QVariant scalar(const QString &sql) { return m_install->scalar(sql); }
    qint64 caseId(const QString &major)
    {
        return scalar("SELECT id FROM Surgery WHERE 手术大类 = '" + major + "' ORDER BY id").toLongLong();
    }
    // Level, date and note stored for a case, "-" when none is stored.
    QString stored(qint64 id)
    {
        return scalar(QStringLiteral("SELECT COALESCE((SELECT Level || '|' || COALESCE(SignedOn, '') || '|' || "
                                     "COALESCE(Note, '') FROM CaseConsent WHERE CaseId = %1), '-')")
                          .arg(id))
            .toString();
    }
    int consentEvents()
    {
        return rows("SELECT count(*) FROM AuditLog WHERE Action = '" + AuditLog::code(AuditLog::Action::ConsentChanged)
                    + "'");
    }
    static QString shown(Tfrm_Manager &w)
    {
        return w.ui()->cbox_Consent->currentText() + '|' + w.ui()->ed_ConsentDate->text() + '|'
               + w.ui()->ed_ConsentNote->text();
    }
    static void open(Tfrm_Manager &w)
    {
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
    }
    // Clicks into a box, selects what it holds and types over it; Chinese text arrives as an
    // input method commits it.
    static void typeInto(QLineEdit *box, const QString &text)
    {
        QTest::mouseClick(box, Qt::LeftButton);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QInputMethodEvent commit;
        commit.setCommitString(text);
        if (text.toLatin1() == text.toUtf8())
            QTest::keyClicks(box, text);
        else
            QApplication::sendEvent(box, &commit);
    }
    static void chooseLevel(Tfrm_Manager &w, int downs)
    {
        QComboBox *c = w.ui()->cbox_Consent;
        c->setFocus(Qt::TabFocusReason);
        QTest::keyClick(c, Qt::Key_Home);
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(c, Qt::Key_Down);
    }
    static void press(Tfrm_Manager &w, DBNavigator::Btn b)
    {
        QTest::mouseClick(w.ui()->DBNavigator2->button(b), Qt::LeftButton);
    }

private slots:
    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_prompt = std::make_unique<ScriptedPrompter>();
        seedCustomers(*m_install); // 甲 Jia: 眼部 and 鼻部; 乙 Yi: 眼部; 丙 Bing: none
        seedCategories(*m_install);
    }
    void cleanup()
    {
        m_prompt.reset();
        m_install.reset();
    }

    // A photo's own agreement, chosen from its box's menu: the after photo kept out of every
    // showing, the before photo for customers only; each change is an event, and a photo never
    // widens its case's agreement.
    void aPhotoNarrowsItsCase()
    {
        const qint64 eye = caseId(QStringLiteral("眼部"));
        for (const char *name : {"b.jpg", "a.jpg"})
            writeFile(m_install->folder() + "pic/" + kJia + "/" + name, pictureBytes(name));
        m_install->exec(QStringLiteral("UPDATE Surgery SET 手术前 = '%1\\b.jpg', 手术后 = '%1\\a.jpg' WHERE id = %2")
                            .arg(kJia)
                            .arg(eye));
        Consent::write(QSqlDatabase::database(DataMod->ADOConn), eye, kJia, {Consent::Level::Publicity, {}, {}});
        const int events = consentEvents();
        Tfrm_Manager w(nullptr, kJia);
        open(w);
        QCOMPARE(w.adt_Surgery->value("id").toLongLong(), eye);
        auto *menu = w.findChild<QMenu *>(QStringLiteral("menu_PhotoConsent"));
        QVERIFY(menu);
        const auto choose = [&](QLineEdit *box, const QString &caption) {
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), box->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(box, &event);
            QTRY_VERIFY(menu->isVisible());
            for (QAction *a : menu->actions())
                if (a->text() == caption)
                    a->trigger();
            menu->hide();
        };
        choose(w.ui()->dbed_After, QStringLiteral("此图不公开(&N)"));
        choose(w.ui()->dbed_Before, QStringLiteral("此图仅向顾客展示(&S)"));
        QCOMPARE(consentEvents(), events + 2);
        QVERIFY(w.ui()->dbed_After->toolTip().endsWith(QStringLiteral("（此图不公开）")));

        const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn);
        const QVector<CasePicture> pictures = CasePictures::read(db, m_install->folder(), eye);
        QCOMPARE(pictures.size(), 2);
        QVERIFY(!CasePictures::allow(pictures, Consent::Level::Publicity)); // no publicity sheet
        // The consultation mode never gets the after photo of the case.
        for (const Showable::Major &major : Showable::load(db, Consent::Level::MayShow))
            for (const Showable::Minor &minor : major.minors)
                for (const Showable::Case &c : minor.cases)
                    if (c.id == eye)
                        QCOMPARE(c.after, QStringList());
        QVERIFY_THROWS_EXCEPTION(AppError, Consent::writePhoto(db, eye, kJia, QStringLiteral("手术前"),
                                                               Consent::Level::Publicity));
    }

    // Typed and chosen by keys, saved by moving to the next case and by the question on closing;
    // each case shows its own values, also after reopening; browsing writes nothing.
    void typedConsentIsSavedWithTheCaseAndShownPerCase()
    {
        const qint64 eye = caseId(QStringLiteral("眼部")), nose = caseId(QStringLiteral("鼻部"));
        {
            Tfrm_Manager w(nullptr, kJia);
            open(w);
            QCOMPARE(shown(w), QStringLiteral("仅存档||"));
            chooseLevel(w, 1);
            typeInto(w.ui()->ed_ConsentDate, QStringLiteral("2024-3-15"));
            typeInto(w.ui()->ed_ConsentNote, QStringLiteral("纸质授权书 07 号"));
            QCOMPARE(stored(eye), QStringLiteral("-"));

            press(w, DBNavigator::Next);
            QCOMPARE(stored(eye), QStringLiteral("1|2024-03-15|纸质授权书 07 号"));
            QCOMPARE(shown(w), QStringLiteral("仅存档||"));
            press(w, DBNavigator::Prior);
            QCOMPARE(shown(w), QStringLiteral("可向顾客展示|2024-03-15|纸质授权书 07 号"));
            press(w, DBNavigator::Next);
            chooseLevel(w, 2);
            m_prompt->answers = {Prompt::Yes};
            QTest::mouseClick(w.ui()->Button1, Qt::LeftButton);
            QCOMPARE(m_prompt->texts("box"), QStringList{QStringLiteral("手术案例还未保存，现在保存吗？")});
            QVERIFY(!w.isVisible());
        }
        QCOMPARE(stored(nose), QStringLiteral("2||"));
        QCOMPARE(consentEvents(), 2);
        Tfrm_Manager again(nullptr, kJia);
        open(again);
        QCOMPARE(shown(again), QStringLiteral("可向顾客展示|2024-03-15|纸质授权书 07 号"));
        press(again, DBNavigator::Next);
        QCOMPARE(shown(again), QStringLiteral("可用于宣传||"));
        // Cancel drops consent edits like the case's others.
        typeInto(again.ui()->ed_ConsentNote, QStringLiteral("待确认"));
        press(again, DBNavigator::Cancel);
        QCOMPARE(shown(again), QStringLiteral("可用于宣传||"));
        QCOMPARE(stored(nose), QStringLiteral("2||"));
    }

    // A new case: consent edits start it; a refused save (no major, a date that is not one)
    // writes neither the case nor its consent and keeps what was typed; the fixed save writes both.
    void refusedSaveLeavesNothingAndKeepsTheEdits()
    {
        Tfrm_Manager w(nullptr, QStringLiteral("A1200612070003")); // 丙, no case yet
        open(w);
        QVERIFY(w.adt_Surgery->isEmpty());
        chooseLevel(w, 1);
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        typeInto(w.ui()->ed_ConsentDate, QStringLiteral("15/03/2024"));
        typeInto(w.ui()->ed_ConsentNote, QStringLiteral("口头同意"));

        press(w, DBNavigator::Post);
        QCOMPARE(m_prompt->texts("message"), QStringList{QStringLiteral("请选择手术大类！")});
        QCOMPARE(rows("SELECT count(*) FROM Surgery WHERE 客户编号 = 'A1200612070003'"), 0);
        QCOMPARE(rows("SELECT count(*) FROM CaseConsent"), 0);
        QCOMPARE(shown(w), QStringLiteral("可向顾客展示|15/03/2024|口头同意"));

        w.ui()->cbox_Stair->setFocus(Qt::TabFocusReason);
        QTest::keyClick(w.ui()->cbox_Stair, Qt::Key_Home); // 眼部, the first major
        m_prompt->clear();
        press(w, DBNavigator::Post);
        QCOMPARE(m_prompt->texts("message").size(), 1);
        QVERIFY(m_prompt->texts("message").first().contains(QStringLiteral("签署日期")));
        QCOMPARE(rows("SELECT count(*) FROM Surgery WHERE 客户编号 = 'A1200612070003'"), 0);
        QCOMPARE(rows("SELECT count(*) FROM CaseConsent"), 0);
        QVERIFY(w.adt_Surgery->isEditing());

        typeInto(w.ui()->ed_ConsentDate, QStringLiteral("2024/03/15"));
        press(w, DBNavigator::Post);
        const qint64 id = scalar("SELECT id FROM Surgery WHERE 客户编号 = 'A1200612070003'").toLongLong();
        QVERIFY(id > 0);
        QCOMPARE(stored(id), QStringLiteral("1|2024-03-15|口头同意"));
        QCOMPARE(shown(w), QStringLiteral("可向顾客展示|2024-03-15|口头同意"));
    }

    void oneLevelForAllCasesOfTheCustomer()
    {
        const qint64 eye = caseId(QStringLiteral("眼部")), nose = caseId(QStringLiteral("鼻部"));
        const qint64 yi = scalar("SELECT id FROM Surgery WHERE 客户编号 = 'A1200612070002'").toLongLong();
        Tfrm_Manager w(nullptr, kJia);
        open(w);
        // An unsaved note of the current case is saved first, and kept.
        typeInto(w.ui()->ed_ConsentNote, QStringLiteral("只用侧脸"));

        // Picks the level from the command's menu with the keyboard.
        auto runCommand = [&](int downs) {
            QTimer::singleShot(0, [downs] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                QVERIFY(menu);
                for (int i = 0; i < downs; ++i)
                    QTest::keyClick(menu, Qt::Key_Down);
                QTest::keyClick(menu, Qt::Key_Return);
            });
            QTest::mouseClick(w.ui()->btn_ConsentAll, Qt::LeftButton);
            QTRY_VERIFY(!QApplication::activePopupWidget());
        };
        // Asked for the signing date; cancelled, nothing changes (the note was saved first).
        runCommand(3); // the first Down selects the first entry: 可用于宣传
        QCOMPARE(m_prompt->texts("ask").size(), 1);
        QVERIFY(m_prompt->texts("ask").first().contains(QStringLiteral("2 个手术案例")));
        QVERIFY(m_prompt->texts("ask").first().contains(QStringLiteral("可用于宣传")));
        QCOMPARE(stored(eye), QStringLiteral("0||只用侧脸"));
        QCOMPARE(stored(nose), QStringLiteral("-"));

        // A date that is not one is refused with a word; a date is taken.
        m_prompt->typed = {QStringLiteral("2024-13-45")};
        runCommand(3);
        QVERIFY(m_prompt->texts("box").last().contains(QStringLiteral("不是有效的日期")));
        QCOMPARE(stored(nose), QStringLiteral("-"));
        m_prompt->typed = {QStringLiteral("2024-3-5")};
        runCommand(3);
        QCOMPARE(stored(eye), QStringLiteral("2|2024-03-05|只用侧脸"));
        QCOMPARE(stored(nose), QStringLiteral("2|2024-03-05|"));
        QCOMPARE(stored(yi), QStringLiteral("-"));
        QCOMPARE(shown(w), QStringLiteral("可用于宣传|2024-03-05|只用侧脸"));
        QCOMPARE(consentEvents(), 3);

        // Again after one case was narrowed: the case still at that level keeps its date.
        Consent::write(QSqlDatabase::database(DataMod->ADOConn, false), nose, QString(),
                       {Consent::Level::MayShow, QDate(2020, 1, 1), QString()});
        m_prompt->typed = {QStringLiteral("2025-01-02")};
        runCommand(3);
        QCOMPARE(stored(eye), QStringLiteral("2|2024-03-05|只用侧脸"));
        QCOMPARE(stored(nose), QStringLiteral("2|2025-01-02|"));
        QVERIFY(!w.adt_Surgery->isEditing());
    }
};

QTEST_MAIN(TestManagerConsent)
#include "tst_managerconsent.moc"
