// The records window driven from the keyboard, as staff use it: the focus in a box, the cursor
// placed with End, Home or a selection, then keys. Each case checks what the box shows, what the
// row holds and what was saved. Then the faults that touched another customer's data: a delete
// after the number box was changed, a refused case save with a picture named like a stored one,
// and a case saved under a new customer nobody typed into.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include "data/Operations.h"
#include "data/Unit_DataMod.h"

#include <QDir>

#include <memory>

using namespace ManagerTest;

namespace {
const QString kJia = QStringLiteral("A1200612070001");
const QString kYi = QStringLiteral("A1200612070002");
const QString kBing = QStringLiteral("A1200612070003");
} // namespace

class TestManagerTyping : public QObject, WindowTestBed {
    Q_OBJECT

    TestInstall &install() { return *m_install; }
    int rows(const QString &sql) { return count(*m_install, sql); }
    QString store(const QString &relative) { return m_install->folder() + QStringLiteral("pic/") + relative; }
    QString source(const QString &relative, const QByteArray &bytes)
    {
        return writeFile(m_install->folder() + QStringLiteral("camera/") + relative, pictureBytes(bytes));
    }
    void pick(QToolButton *button, const QString &file)
    {
        m_prompter->files = {file};
        button->click();
    }
    // Shows the window and puts the focus in a box, as a click would.
    static void focus(Tfrm_Manager &w, QWidget *box)
    {
        if (!w.isVisible()) {
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
        }
        box->setFocus(Qt::MouseFocusReason);
    }
    QString saved(const QString &column, const QString &where)
    {
        return install().scalar("SELECT " + column + " FROM tUserInfo WHERE " + where).toString();
    }

private slots:
    void init()
    {
        openBed();
        seedCustomers(install()); // 甲 Jia (two cases), 乙 Yi (one case), 丙 Bing (none)
        seedCategories(install());
    }
    void cleanup() { closeBed(); }

    // The first key in a record that is not being edited puts the record into editing; the box
    // must keep its text, cursor and selection through that.
    void lineEditKeepsCursorAndSelection_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("place"); // 0: End, 1: Home, 2: select all, 3: select "nn"
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("result");
        // clang-format off
        QTest::newRow("append after End") << "Anna" << 0 << "Lee" << "AnnaLee";
        QTest::newRow("insert after Home") << "Anna" << 1 << "Dr " << "Dr Anna";
        QTest::newRow("select all and retype") << "Anna" << 2 << "Bob" << "Bob";
        QTest::newRow("replace a selection") << "Anna" << 3 << "d" << "Ada";
        QTest::newRow("backspace at End") << "Anna" << 0 << "\b\b" << "An";
        QTest::newRow("into an empty box") << "" << 0 << "Zoe" << "Zoe";
        // clang-format on
    }
    void lineEditKeepsCursorAndSelection()
    {
        QFETCH(QString, stored);
        QFETCH(int, place);
        QFETCH(QString, keys);
        QFETCH(QString, result);
        install().exec("UPDATE tUserInfo SET 用户姓名='" + stored + "' WHERE 客户编号='" + kYi + "'");
        Tfrm_Manager w(nullptr, kYi);
        QLineEdit *box = w.ui()->DBEdit2;
        focus(w, box);
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Browse);
        if (place == 0)
            QTest::keyClick(box, Qt::Key_End);
        else if (place == 1)
            QTest::keyClick(box, Qt::Key_Home);
        else if (place == 2)
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        else
            box->setSelection(1, 2);
        for (const QChar c : keys) {
            if (c == QLatin1Char('\b'))
                QTest::keyClick(box, Qt::Key_Backspace);
            else
                QTest::keyClicks(box, QString(c));
        }
        QCOMPARE(box->text(), result);
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Edit);
        QCOMPARE(w.adt_UserInfo->asString("用户姓名"), result);
        w.ui()->DBNavigator1->click(DBNavigator::Post);
        QCOMPARE(saved("用户姓名", "客户编号='" + kYi + "'"), result);
        QVERIFY(m_prompter->calls.isEmpty());
    }

    // Several boxes of one record in a row, Tab and Enter between them, the date box included:
    // each keeps what was typed into it while the others put the record into editing.
    void typingAWholeCustomerAndCase()
    {
        install().exec("UPDATE tUserInfo SET 性别='F' WHERE 客户编号='" + kBing + "'");
        Tfrm_Manager w(nullptr, kBing);
        auto *ui = w.ui();
        focus(w, ui->DBEdit3);
        QTest::keyClick(ui->DBEdit3, Qt::Key_End);
        QTest::keyClicks(ui->DBEdit3, QStringLiteral("emale"));
        QCOMPARE(ui->DBEdit3->text(), QStringLiteral("Female"));
        QTest::keyClick(ui->DBEdit3, Qt::Key_Tab); // on to 年龄
        QCOMPARE(QApplication::focusWidget(), ui->DBEdit4);
        QTest::keyClicks(ui->DBEdit4, QStringLiteral("34"));
        QTest::keyClick(ui->DBEdit4, Qt::Key_Return); // Enter moves on like Tab
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("555-0101"));
        w.ui()->DBNavigator1->click(DBNavigator::Post);
        QCOMPARE(saved("性别 || '|' || 年龄 || '|' || 电话", "客户编号='" + kBing + "'"),
                 QStringLiteral("Female|34|555-0101"));

        // The case: the major picked with the keyboard, then surgeon, amount and the date.
        ui->DBNavigator2->click(DBNavigator::Insert);
        focus(w, ui->cbox_Stair);
        QTest::keyClick(ui->cbox_Stair, Qt::Key_Down);
        QCOMPARE(ui->cbox_Stair->currentText(), QStringLiteral("眼部"));
        QCOMPARE(w.adt_Surgery->asString("手术大类"), QStringLiteral("眼部"));
        focus(w, ui->DBEdit9);
        QTest::keyClicks(ui->DBEdit9, QStringLiteral("Wang"));
        focus(w, ui->DBEdit10);
        QTest::keyClicks(ui->DBEdit10, QStringLiteral("1200"));
        focus(w, ui->DBEdit11);
        QTest::keyClicks(ui->DBEdit11, QStringLiteral("2006-12-7"));
        QTest::keyClick(ui->DBEdit11, Qt::Key_Home);
        QTest::keyClick(ui->DBEdit11, Qt::Key_Delete);       // "006-12-7" is no date ...
        QTest::keyClicks(ui->DBEdit11, QStringLiteral("2")); // ... until the 2 is back
        QCOMPARE(ui->DBEdit11->text(), QStringLiteral("2006-12-7"));
        // Back in the surgeon box, End and more text: the case is being edited already.
        focus(w, ui->DBEdit9);
        QTest::keyClick(ui->DBEdit9, Qt::Key_End);
        QTest::keyClicks(ui->DBEdit9, QStringLiteral("Li"));
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(install()
                     .scalar("SELECT 手术大类 || '|' || 手术医生 || '|' || 金额 || '|' || 手术日期 FROM Surgery "
                             "WHERE 客户编号='"
                             + kBing + "'")
                     .toString(),
                 QStringLiteral("眼部|WangLi|1200|2006-12-07"));
        QCOMPARE(ui->DBEdit11->text(), QStringLiteral("2006-12-07"));
        QVERIFY(m_prompter->calls.isEmpty());
    }

    // A refused edit (here: typing into a case while there is no customer at all) shows the
    // refusal and the box goes back to the stored value.
    void refusedKeystrokeRestoresTheBox()
    {
        install().exec(QStringLiteral("DELETE FROM Surgery"));
        install().exec(QStringLiteral("DELETE FROM tUserInfo"));
        Tfrm_Manager w(nullptr, QString());
        focus(w, w.ui()->DBEdit9);
        QTest::keyClicks(w.ui()->DBEdit9, QStringLiteral("W"));
        QCOMPARE(m_prompter->texts("box"), QStringList{"请先增加客户"});
        QCOMPARE(w.ui()->DBEdit9->text(), QString());
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
    }

    // The delete acts on the number the customer is saved under, not on what the number box
    // shows; afterwards the case panel shows what is stored, and the number given out again by
    // the next new customer comes with no cases.
    void deleteUsesTheSavedNumber()
    {
        const QString first = "A1" + today() + "0001", second = "A1" + today() + "0002";
        install().exec("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('" + first + "','Ding'),('" + second
                       + "','Wu')");
        install().exec("INSERT INTO Surgery (客户编号, 手术大类, 手术医生) VALUES ('" + first + "','眼部','Qian'),('"
                       + second + "','鼻部','Sun')");
        Tfrm_Manager w(nullptr, second);
        auto *ui = w.ui();
        focus(w, ui->DBEdit1);
        QTest::keyClick(ui->DBEdit1, Qt::Key_End);
        QTest::keyClick(ui->DBEdit1, Qt::Key_Backspace);
        QTest::keyClicks(ui->DBEdit1, QStringLiteral("1"));
        QCOMPARE(ui->DBEdit1->text(), first);
        m_prompter->answers = {Prompt::Yes};
        ui->DBNavigator1->click(DBNavigator::Delete);
        QCOMPARE(m_prompter->texts("box"), QStringList{"确认删除吗？"});
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 客户编号='" + second + "'"), 0);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + second + "'"), 0);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + first + "'"), 1);
        // The case panel shows the stored cases of the customer now shown.
        const QString shown = w.adt_UserInfo->asString("客户编号");
        QCOMPARE(w.adt_Surgery->recordCount(), rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + shown + "'"));
        QCOMPARE(ui->DBEdit9->text(),
                 install().scalar("SELECT 手术医生 FROM Surgery WHERE 客户编号='" + shown + "'").toString());
        ui->DBNavigator1->click(DBNavigator::Insert);
        QCOMPARE(w.adt_UserInfo->asString("客户编号"), second);
        QCOMPARE(w.adt_Surgery->recordCount(), 0);
        QCOMPARE(ui->DBEdit9->text(), QString());
    }

    // Every check that can refuse a case runs before a picture is copied; a stored picture of
    // the same name is never replaced; the boxes keep the picked paths until the row is written.
    void refusedCaseSaveLeavesTheStoreAlone()
    {
        writeFile(store(kYi + "/before1.jpg"), "Zhao's photo");
        install().exec("UPDATE Surgery SET 手术前='" + kYi + "\\before1.jpg' WHERE 客户编号='" + kYi + "'");
        Tfrm_Manager w(nullptr, kYi);
        auto *ui = w.ui();
        ui->DBNavigator2->click(DBNavigator::Insert);
        focus(w, ui->cbox_Stair);
        QTest::keyClick(ui->cbox_Stair, Qt::Key_Down);
        focus(w, ui->DBEdit11);
        QTest::keyClicks(ui->DBEdit11, QStringLiteral("bad"));
        const QString picked = source(QStringLiteral("new/before1.jpg"), "new photo");
        pick(ui->SpeedButton1, picked);
        ui->DBNavigator2->click(DBNavigator::Post);

        QCOMPARE(m_prompter->texts("error"), QStringList{"日期“bad”不是有效的日期，请按 2024-03-15 的格式填写。"});
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        QCOMPARE(ui->dbed_Before->text(), picked);
        QCOMPARE(readFile(store(kYi + "/before1.jpg")), QByteArray("Zhao's photo"));
        QCOMPARE(QDir(store(kYi)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"before1.jpg"});

        // With a date the case is saved; its picture goes under the next free name.
        ui->DBEdit11->selectAll();
        QTest::keyClicks(ui->DBEdit11, QStringLiteral("2006-12-8"));
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QCOMPARE(install().scalar("SELECT 手术前 FROM Surgery WHERE 手术日期='2006-12-08'").toString(),
                 kYi + "\\before1(2).jpg");
        QCOMPARE(readFile(store(kYi + "/before1(2).jpg")), pictureBytes("new photo"));
        QCOMPARE(readFile(store(kYi + "/before1.jpg")), QByteArray("Zhao's photo"));
        QCOMPARE(install().scalar("SELECT 手术前 FROM Surgery WHERE 手术医生='Zhao'").toString(),
                 kYi + "\\before1.jpg");
    }

    // A save the database refuses after the pictures were copied takes them back out.
    void databaseRefusalTakesPicturesBack()
    {
        Tfrm_Manager w(nullptr, kBing);
        auto *ui = w.ui();
        ui->DBNavigator2->click(DBNavigator::Insert);
        choose(ui->cbox_Stair, QStringLiteral("鼻部"));
        pick(ui->SpeedButton2, source(QStringLiteral("a.jpg"), "after"));
        install().exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Surgery "
                                      "BEGIN SELECT RAISE(ABORT, 'refused by the database'); END"));
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(m_prompter->texts("error").size(), 1);
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        QVERIFY(!QFileInfo::exists(store(kBing)));
    }

    // A case saved under a new customer nobody typed into makes that customer a change: moving
    // away saves the customer instead of dropping it.
    void newCustomerWithASavedCaseIsKept()
    {
        Tfrm_Manager w(nullptr, kBing);
        auto *ui = w.ui();
        ui->DBNavigator1->click(DBNavigator::Insert);
        const QString number = w.adt_UserInfo->asString("客户编号");
        QCOMPARE(number, "A1" + today() + "0001");
        ui->DBNavigator2->click(DBNavigator::Insert);
        choose(ui->cbox_Stair, QStringLiteral("眼部"));
        pick(ui->SpeedButton1, source(QStringLiteral("b.jpg"), "b"));
        ui->DBNavigator2->click(DBNavigator::Post);
        ui->DBNavigator1->click(DBNavigator::Prior);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 客户编号='" + number + "'"), 1);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery s WHERE NOT EXISTS "
                      "(SELECT 1 FROM tUserInfo u WHERE u.客户编号 = s.客户编号)"),
                 0);
        // The next new customer gets the next number and no cases.
        ui->DBNavigator1->click(DBNavigator::Insert);
        QCOMPARE(w.adt_UserInfo->asString("客户编号"), "A1" + today() + "0002");
        QCOMPARE(w.adt_Surgery->recordCount(), 0);
        QVERIFY(m_prompter->texts("box").isEmpty());
    }

    // The first save of a case under a new customer saves the customer first, in the same
    // transaction. When the write is cut off after the customer row went in (the database
    // refuses the case here, as a writer killed before its commit leaves the journal to be rolled
    // back), neither row stays: no case can be left for the next new customer of that number.
    // An orphan left by an older program, and a picture folder, keep their number from new
    // customers and are listed for the administrator.
    void aCaseSavesItsNewCustomerFirst_data()
    {
        QTest::addColumn<bool>("cutOff");
        QTest::newRow("saved") << false;
        QTest::newRow("cut off before the commit") << true;
    }
    void aCaseSavesItsNewCustomerFirst()
    {
        QFETCH(bool, cutOff);
        auto w = std::make_unique<Tfrm_Manager>(nullptr, kBing);
        auto *ui = w->ui();
        ui->DBNavigator1->click(DBNavigator::Insert);
        const QString number = w->adt_UserInfo->asString("客户编号");
        type(ui->DBEdit2, QStringLiteral("Ding"));
        ui->DBNavigator2->click(DBNavigator::Insert);
        choose(ui->cbox_Stair, QStringLiteral("眼部"));
        pick(ui->SpeedButton1, source(QStringLiteral("b.jpg"), "b"));
        if (cutOff)
            install().exec(QStringLiteral("CREATE TRIGGER cut BEFORE INSERT ON Surgery "
                                          "BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END"));
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 客户编号='" + number + "' AND 用户姓名='Ding'"),
                 cutOff ? 0 : 1);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + number + "'"), cutOff ? 0 : 1);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery s WHERE NOT EXISTS "
                      "(SELECT 1 FROM tUserInfo u WHERE u.客户编号 = s.客户编号)"),
                 0);
        // Cut off, both rows stay as typed, ready to be saved again.
        QCOMPARE(w->adt_UserInfo->state(), cutOff ? DataSet::Insert : DataSet::Browse);
        QCOMPARE(w->adt_Surgery->state(), cutOff ? DataSet::Insert : DataSet::Browse);
        QCOMPARE(ui->DBEdit2->text(), QStringLiteral("Ding"));
        QCOMPARE(QFileInfo::exists(store(number)), !cutOff);
        if (cutOff) {
            install().exec(QStringLiteral("DROP TRIGGER cut"));
            ui->DBNavigator2->click(DBNavigator::Post);
            QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 客户编号='" + number + "'"), 1);
            QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + number + "'"), 1);
        }
        // What an older program could leave: the next number's case without its customer, and
        // the picture folder of the one after. New customers pass over both.
        const QString prefix = "A1" + today();
        install().exec("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('" + prefix + "0002', '眼部')");
        QVERIFY(QDir().mkpath(store(prefix + "0003")));
        m_prompter->clear();
        ui->DBNavigator1->click(DBNavigator::Insert);
        QCOMPARE(w->adt_UserInfo->asString("客户编号"), prefix + "0004");
        QCOMPARE(w->adt_Surgery->recordCount(), 0);
        QCOMPARE(Operations::casesWithoutCustomer(*DataMod).size(), 1);
        QVERIFY(Operations::casesWithoutCustomer(*DataMod).first().contains(prefix + "0002"));
    }
};

QTEST_MAIN(TestManagerTyping)
#include "tst_managertyping.moc"
