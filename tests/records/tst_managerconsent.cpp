// The consent boxes of the records window, worked with keys and the mouse as staff use them:
// a level chosen with the arrow keys, the date and note typed, the case saved by moving to the
// next case or by the save button, each case showing its own values, the window reopened; a new
// case whose save is refused keeps its consent edits and writes nothing; cancel and closing; the
// command that gives all cases of the customer one level.
#include "ManagerFixture.h"
#include "ui_Unit_Manager.h"

#include "audit/AuditLog.h"
#include "consent/Consent.h"

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
        if (rows(QStringLiteral("SELECT count(*) FROM CaseConsent WHERE CaseId = %1").arg(id)) == 0)
            return QStringLiteral("-");
        return scalar(QStringLiteral("SELECT Level || '|' || COALESCE(SignedOn, '') || '|' || COALESCE(Note, '') "
                                     "FROM CaseConsent WHERE CaseId = %1").arg(id))
            .toString();
    }
    int consentEvents()
    {
        return rows("SELECT count(*) FROM AuditLog WHERE Action = '"
                    + AuditLog::code(AuditLog::Action::ConsentChanged) + "'");
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
    // Clicks into a box, selects what it holds and types over it; Chinese arrives as an input
    // method commits it.
    static void typeInto(QLineEdit *box, const QString &text)
    {
        QTest::mouseClick(box, Qt::LeftButton);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        for (const QChar c : text) {
            if (c.unicode() < 128) {
                QTest::keyClicks(box, QString(c));
            } else {
                QInputMethodEvent commit;
                commit.setCommitString(QString(c));
                QApplication::sendEvent(box, &commit);
            }
        }
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
        seedCustomers(*m_install);   // 甲 Jia: 眼部 and 鼻部; 乙 Yi: 眼部; 丙 Bing: none
        seedCategories(*m_install);
    }
    void cleanup()
    {
        m_prompt.reset();
        m_install.reset();
    }

    void typedConsentIsSavedWithTheCaseAndShownPerCase()
    {
        const qint64 eye = caseId(QStringLiteral("眼部")), nose = caseId(QStringLiteral("鼻部"));
        {
            Tfrm_Manager w(nullptr, kJia);
            open(w);
            QCOMPARE(w.adt_Surgery->asString(QStringLiteral("手术大类")), QStringLiteral("眼部"));
            QCOMPARE(shown(w), QStringLiteral("仅存档||"));

            chooseLevel(w, 1);
            QVERIFY(w.adt_Surgery->isEditing());
            QVERIFY(w.adt_Surgery->modified());
            typeInto(w.ui()->ed_ConsentDate, QStringLiteral("2024-3-15"));
            typeInto(w.ui()->ed_ConsentNote, QStringLiteral("纸质授权书 07 号"));
            QCOMPARE(stored(eye), QStringLiteral("-"));   // nothing before the case is saved

            // Moving to the next case saves this one, consent included, and shows the next one's.
            press(w, DBNavigator::Next);
            QCOMPARE(w.adt_Surgery->asString(QStringLiteral("手术大类")), QStringLiteral("鼻部"));
            QCOMPARE(stored(eye), QStringLiteral("1|2024-03-15|纸质授权书 07 号"));
            QCOMPARE(shown(w), QStringLiteral("仅存档||"));

            chooseLevel(w, 2);
            press(w, DBNavigator::Post);
            QCOMPARE(stored(nose), QStringLiteral("2||"));
            QVERIFY(!w.adt_Surgery->isEditing());

            press(w, DBNavigator::Prior);
            QCOMPARE(shown(w), QStringLiteral("可向顾客展示|2024-03-15|纸质授权书 07 号"));
            press(w, DBNavigator::Next);
            QCOMPARE(shown(w), QStringLiteral("可用于宣传||"));
            // Browsing alone writes nothing.
            QCOMPARE(consentEvents(), 2);
            QTest::mouseClick(w.ui()->Button1, Qt::LeftButton);
            QVERIFY(!w.isVisible());
            QVERIFY(m_prompt->calls.isEmpty());
        }
        // Another customer's case shows its own (default) values; reopening shows what was saved.
        Tfrm_Manager again(nullptr, QStringLiteral("A1200612070002"));
        open(again);
        QCOMPARE(shown(again), QStringLiteral("仅存档||"));
        QTest::keyClick(again.ui()->ed_Text, Qt::Key_A, Qt::ControlModifier);
        again.ui()->ed_Text->setFocus();
        QTest::keyClicks(again.ui()->ed_Text, kJia);
        QTest::mouseClick(again.ui()->BitBtn6, Qt::LeftButton);
        QCOMPARE(again.adt_UserInfo->asString(QStringLiteral("客户编号")), kJia);
        QCOMPARE(shown(again), QStringLiteral("可向顾客展示|2024-03-15|纸质授权书 07 号"));
        QCOMPARE(stored(caseId(QStringLiteral("眼部"))), QStringLiteral("1|2024-03-15|纸质授权书 07 号"));
    }

    // A new case: consent edits start it; a refused save (no major, a date that is not one)
    // writes neither the case nor its consent and keeps what was typed; the fixed save writes both.
    void refusedSaveLeavesNothingAndKeepsTheEdits()
    {
        Tfrm_Manager w(nullptr, QStringLiteral("A1200612070003"));   // 丙, no case yet
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
        QTest::keyClick(w.ui()->cbox_Stair, Qt::Key_Home);   // 眼部, the first major
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
        QCOMPARE(rows("SELECT count(*) FROM AuditLog WHERE CaseId = " + QString::number(id) + " AND Action = '"
                      + AuditLog::code(AuditLog::Action::ConsentChanged) + "'"),
                 1);
    }

    // Cancel drops consent edits like any other; closing asks about them as about the case's.
    void cancelAndCloseTreatConsentLikeTheCase()
    {
        const qint64 eye = caseId(QStringLiteral("眼部"));
        Tfrm_Manager w(nullptr, kJia);
        open(w);
        typeInto(w.ui()->ed_ConsentNote, QStringLiteral("待确认"));
        QVERIFY(w.adt_Surgery->isEditing());
        press(w, DBNavigator::Cancel);
        QCOMPARE(shown(w), QStringLiteral("仅存档||"));
        QCOMPARE(stored(eye), QStringLiteral("-"));

        chooseLevel(w, 2);
        m_prompt->answers = {Prompt::Yes};
        QTest::mouseClick(w.ui()->Button1, Qt::LeftButton);
        QCOMPARE(m_prompt->texts("box"), QStringList{QStringLiteral("手术案例还未保存，现在保存吗？")});
        QVERIFY(!w.isVisible());
        QCOMPARE(stored(eye), QStringLiteral("2||"));
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
        m_prompt->answers = {Prompt::No};
        runCommand(3);   // the first Down selects the first entry: 可用于宣传
        QCOMPARE(m_prompt->texts("box").size(), 1);
        QVERIFY(m_prompt->texts("box").first().contains(QStringLiteral("全部 2 个手术案例")));
        QVERIFY(m_prompt->texts("box").first().contains(QStringLiteral("可用于宣传")));
        QCOMPARE(stored(eye), QStringLiteral("0||只用侧脸"));
        QCOMPARE(stored(nose), QStringLiteral("-"));

        m_prompt->answers = {Prompt::Yes};
        runCommand(3);
        const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        QCOMPARE(stored(eye), "2|" + today + "|只用侧脸");
        QCOMPARE(stored(nose), "2|" + today + "|");
        QCOMPARE(stored(yi), QStringLiteral("-"));
        QCOMPARE(shown(w), "可用于宣传|" + today + "|只用侧脸");
        QCOMPARE(consentEvents(), 3);
        QVERIFY(!w.adt_Surgery->isEditing());
    }
};

QTEST_MAIN(TestManagerConsent)
#include "tst_managerconsent.moc"
