// The records window as a whole and its customers: opening, customer numbers, deleting with the
// cases, the settle rule that saves or drops the case being edited before any customer
// operation, the close questions, and the Enter key.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include <QApplication>
#include <QToolButton>
#include <memory>

using namespace ManagerTest;

namespace {
const QString kJia = QStringLiteral("A1200612070001");
const QString kYi = QStringLiteral("A1200612070002");
const QString kBoxSaveCustomer = QStringLiteral("客户资料还未保存，现在保存吗？");
const QString kBoxSaveCase = QStringLiteral("手术案例还未保存，现在保存吗？");
const QString kNoMajor = QStringLiteral("请选择手术大类！");
} // namespace

class TestManager : public QObject, WindowTestBed {
    Q_OBJECT

    TestInstall &install() { return *m_install; }
    QString name(Tfrm_Manager &w) { return w.adt_UserInfo->asString(QStringLiteral("用户姓名")); }
    int rows(const QString &sql) { return count(*m_install, sql); }

    // A picture file outside the store, as the open dialog would return it.
    QString sourcePicture(const QString &relative, const QByteArray &bytes = "picture")
    {
        return writeFile(m_install->folder() + QStringLiteral("camera/") + relative, pictureBytes(bytes));
    }

private slots:
    void init() { openBed(); }
    void cleanup() { closeBed(); }

    void designFollowsTheForm()
    {
        Tfrm_Manager w(nullptr, QString());
        QCOMPARE(w.windowTitle(), QStringLiteral("资料管理"));
        QCOMPARE(w.minimumSize(), QSize(638, 386));
        QCOMPARE(w.maximumSize(), QSize(638, 386));
        const auto *ui = w.ui();
        int top = 0;
        for (auto [band, height] : {std::pair<QWidget *, int>{ui->Pl_Find, 35},
                                    {ui->Pl_Customer, 118},
                                    {ui->Pl_Case, 116},
                                    {ui->Pl_Class, 72},
                                    {ui->Pl_Bottom, 45}}) {
            QCOMPARE(band->geometry(), QRect(0, top, 638, height));
            top += height;
        }
        QVERIFY(!(ui->ed_Search->focusPolicy() & Qt::TabFocus));
        QVERIFY(!(ui->BitBtn1->focusPolicy() & Qt::TabFocus));
        QVERIFY(!(ui->BitBtn6->focusPolicy() & Qt::TabFocus));
        QVERIFY(ui->ed_Text->focusPolicy() & Qt::TabFocus);
        for (QLineEdit *box : {ui->dbed_Before, ui->DBEdit7, ui->DBEdit8, ui->dbed_After, ui->DBEdit12, ui->DBEdit13})
            QCOMPARE(box->toolTip(), QStringLiteral("双击可查看图片"));

        const QList<DBNavigator::Btn> shown{DBNavigator::Prior,  DBNavigator::Next, DBNavigator::Insert,
                                            DBNavigator::Delete, DBNavigator::Post, DBNavigator::Cancel};
        const QStringList tips1{"前条", "下条", "新增加", "删除", "保存", "撤销"};
        const QStringList tips2{"前个手术案例", "下个手术案例", "新增此用户案例", "删除", "保存", "撤销"};
        for (int b = 0; b < DBNavigator::ButtonCount; ++b) {
            const int i = shown.indexOf(DBNavigator::Btn(b));
            QCOMPARE(ui->DBNavigator1->button(DBNavigator::Btn(b))->isVisibleTo(ui->DBNavigator1), i >= 0);
            QCOMPARE(ui->DBNavigator2->button(DBNavigator::Btn(b))->isVisibleTo(ui->DBNavigator2), i >= 0);
            if (i >= 0) {
                QCOMPARE(ui->DBNavigator1->button(DBNavigator::Btn(b))->toolTip(), tips1.at(i));
                QCOMPARE(ui->DBNavigator2->button(DBNavigator::Btn(b))->toolTip(), tips2.at(i));
            }
        }
    }

    void openingShowsTheStartingCustomer_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("cases");
        // clang-format off
        QTest::newRow("no starting customer") << QString() << "Jia" << 2;
        QTest::newRow("exact number") << kYi << "Yi" << 1;
        QTest::newRow("beginning of a number") << QStringLiteral("A12006120700") << "Jia" << 2;
        QTest::newRow("number that no longer exists") << QStringLiteral("A1200612079999") << "Jia" << 2;
        // clang-format on
    }
    void openingShowsTheStartingCustomer()
    {
        QFETCH(QString, start);
        QFETCH(QString, shown);
        QFETCH(int, cases);
        seedCustomers(install());
        seedCategories(install());
        Tfrm_Manager w(nullptr, start);
        QCOMPARE(name(w), shown);
        QCOMPARE(w.adt_Surgery->recordCount(), cases);
        QCOMPARE(w.adt_Surgery->recNo(), 0);
        QCOMPARE(w.ui()->DBEdit2->text(), shown);
        // The minor list was filled for the major of the case shown at opening.
        QCOMPARE(w.ui()->cbox_Stair->currentText(), QStringLiteral("眼部"));
        QCOMPARE(items(w.ui()->cbox_Sub), (QStringList{"双眼皮", "开眼角"}));
        QVERIFY(m_prompter->calls.isEmpty());
    }

    void newCustomerNumbers_data()
    {
        QTest::addColumn<QStringList>("saved");
        QTest::addColumn<QString>("hospitalNo");
        QTest::addColumn<QString>("expected");
        const QString yesterday = CustomerNo::DateStamp(QDate::currentDate().addDays(-1));
        // clang-format off
        QTest::newRow("first of the day") << QStringList() << "A1" << "A1%D0001";
        QTest::newRow("after 0009") << QStringList{"A1%D0009", "A1%D0002"} << "A1" << "A1%D0010";
        QTest::newRow("after 0999") << QStringList{"A1%D0999"} << "A1" << "A1%D1000";
        QTest::newRow("another day and hospital do not count")
            << QStringList{"A1" + yesterday + "0005", "B1%D0007"} << "A1" << "A1%D0001";
        QTest::newRow("other hospital number") << QStringList{"A1%D0005", "B1%D0007"} << "B1" << "B1%D0008";
        // clang-format on
    }
    void newCustomerNumbers()
    {
        QFETCH(QStringList, saved);
        QFETCH(QString, hospitalNo);
        QFETCH(QString, expected);
        for (const QString &n : saved)
            install().exec(
                QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('%1')").arg(QString(n).replace("%D", today())));
        Settings::writeHospitalNo(hospitalNo);
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator1->click(DBNavigator::Insert);
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Insert);
        QCOMPARE(w.ui()->DBEdit1->text(), expected.replace("%D", today()));
        QVERIFY(!w.adt_UserInfo->modified());
        QCOMPARE(w.ui()->DBEdit2->text(), QString());
    }

    void numbersComeFromSavedRowsOnly()
    {
        Tfrm_Manager w(nullptr, QString());
        DBNavigator *nav = w.ui()->DBNavigator1;
        auto number = [&] { return w.ui()->DBEdit1->text().right(4); };
        nav->click(DBNavigator::Insert);
        QCOMPARE(number(), QStringLiteral("0001"));
        nav->click(DBNavigator::Cancel); // cancelled: not used up
        nav->click(DBNavigator::Insert);
        QCOMPARE(number(), QStringLiteral("0001"));
        nav->click(DBNavigator::Insert); // the unchanged row is dropped
        QCOMPARE(number(), QStringLiteral("0001"));
        QCOMPARE(w.adt_UserInfo->recordCount(), 1);
        for (const char *who : {"Jia", "Yi", "Bing"}) {
            type(w.ui()->DBEdit2, QString::fromLatin1(who));
            nav->click(DBNavigator::Post);
            nav->click(DBNavigator::Insert);
        }
        QCOMPARE(number(), QStringLiteral("0004"));
        nav->click(DBNavigator::Cancel);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo"), 3);
        // Deleting the day's greatest number frees it again.
        QVERIFY(w.adt_UserInfo->locate(QStringLiteral("用户姓名"), QStringLiteral("Bing")));
        m_prompter->answers = {Prompt::Yes};
        nav->click(DBNavigator::Delete);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo"), 2);
        nav->click(DBNavigator::Insert);
        QCOMPARE(number(), QStringLiteral("0003"));
        // The hospital number is read afresh for every new number.
        Settings::writeHospitalNo(QStringLiteral("C3"));
        nav->click(DBNavigator::Insert);
        QCOMPARE(w.ui()->DBEdit1->text(), QStringLiteral("C3") + today() + QStringLiteral("0001"));
    }

    void nonNumericTailStartsNoRow()
    {
        install().exec(
            QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('A1@0001'),('A1@00x2')").replace("@", today()));
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator1->click(DBNavigator::Insert);
        QCOMPARE(m_prompter->texts("error"), QStringList{"'00x2' is not a valid integer value"});
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Browse);
        QCOMPARE(w.adt_UserInfo->recordCount(), 2);
    }

    void deletingACustomer_data()
    {
        QTest::addColumn<int>("answer");
        // clang-format off
        QTest::newRow("Yes") << int(Prompt::Yes);
        QTest::newRow("No") << int(Prompt::No);
        // clang-format on
    }
    void deletingACustomer()
    {
        QFETCH(int, answer);
        seedCustomers(install());
        const QString stored = writeFile(install().folder() + "pic/" + kJia + "/face.jpg", "jpg");
        install().exec(QStringLiteral("UPDATE Surgery SET 手术前='%1\\face.jpg' WHERE 客户编号='%1'").arg(kJia));
        Tfrm_Manager w(nullptr, kJia);
        m_prompter->answers = {Prompt::Button(answer)};
        w.ui()->DBNavigator1->click(DBNavigator::Delete);

        QCOMPARE(m_prompter->calls.size(), 1);
        const auto call = m_prompter->calls.first();
        QCOMPARE(call.text, QStringLiteral("确认删除吗？"));
        QCOMPARE(call.caption, QStringLiteral("警告"));
        QCOMPARE(call.buttons, Prompt::Buttons(Prompt::Yes | Prompt::No));
        QCOMPARE(call.icon, Prompt::Question);
        const bool yes = answer == Prompt::Yes;
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 客户编号='" + kJia + "'"), yes ? 0 : 1);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + kJia + "'"), yes ? 0 : 2);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery"), yes ? 1 : 3);
        QCOMPARE(name(w), yes ? QStringLiteral("Yi") : QStringLiteral("Jia"));
        QCOMPARE(w.adt_Surgery->recordCount(), yes ? 1 : 2);
        QVERIFY(QFile::exists(stored)); // pictures are never deleted
    }

    void deletingANewRowAsksNothing()
    {
        seedCustomers(install());
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator1->click(DBNavigator::Insert);
        type(w.ui()->DBEdit2, QStringLiteral("New"));
        w.ui()->DBNavigator1->click(DBNavigator::Delete);
        QVERIFY(m_prompter->calls.isEmpty());
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Browse);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo"), 3);
    }

    // Every customer operation first saves a changed case (importing its pictures under the
    // customer who owns it), drops an unchanged one, and does not take place when the case
    // save is refused. The customer row itself is saved when left with a change.
    void settleRule_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("caseEdit");
        QTest::addColumn<QString>("nameAfter"); // current customer after a completed operation
        QTest::addColumn<bool>("phoneSaved");
        const QStringList edits{"changed", "unchanged", "refused"};
        const struct {
            const char *op, *nameAfter;
            bool phoneSaved;
        } ops[] = {
            {"next", "Yi", true},       {"findName", "Bing", true}, {"findNameMiss", "Jia", true},
            {"findNumber", "Yi", true}, {"post", "Jia", true},      {"cancel", "Jia", false},
            {"insert", "", true},       {"delete", "Yi", false},
        };
        for (const auto &o : ops)
            for (const QString &e : edits)
                QTest::addRow("%s, %s case", o.op, qPrintable(e))
                    << QString::fromLatin1(o.op) << e << QString::fromLatin1(o.nameAfter) << o.phoneSaved;
    }
    void settleRule()
    {
        QFETCH(QString, op);
        QFETCH(QString, caseEdit);
        QFETCH(QString, nameAfter);
        QFETCH(bool, phoneSaved);
        seedCustomers(install());
        seedCategories(install());
        const QString picture = sourcePicture(QStringLiteral("p.jpg"));
        Tfrm_Manager w(nullptr, kJia);
        auto *ui = w.ui();
        type(ui->DBEdit5, QStringLiteral("555")); // the customer is being edited
        ui->DBNavigator2->click(DBNavigator::Insert);
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        if (caseEdit == "changed") {
            choose(ui->cbox_Stair, QStringLiteral("鼻部"));
            m_prompter->files = {picture};
            ui->SpeedButton1->click();
        } else if (caseEdit == "refused") {
            type(ui->DBEdit9, QStringLiteral("Dr")); // a change, but no major
        }
        m_prompter->clear();
        m_prompter->answers = {Prompt::Yes}; // to the delete question
        if (op == "next") {
            ui->DBNavigator1->click(DBNavigator::Next);
        } else if (op.startsWith("findName")) {
            ui->ed_Search->setText(op == "findName" ? QStringLiteral("Bing") : QStringLiteral("Nobody"));
            ui->BitBtn1->click();
        } else if (op == "findNumber") {
            ui->ed_Text->setText(kYi);
            ui->BitBtn6->click();
        } else if (op == "post") {
            ui->DBNavigator1->click(DBNavigator::Post);
        } else if (op == "cancel") {
            ui->DBNavigator1->click(DBNavigator::Cancel);
        } else if (op == "insert") {
            ui->DBNavigator1->click(DBNavigator::Insert);
        } else if (op == "delete") {
            ui->DBNavigator1->click(DBNavigator::Delete);
        }

        const QString jiaPhone = "SELECT COUNT(*) FROM tUserInfo WHERE 电话='555'";
        if (caseEdit == "refused") {
            QCOMPARE(m_prompter->texts("message"), QStringList{kNoMajor});
            QCOMPARE(m_prompter->texts("box"), QStringList()); // not even the delete question
            QCOMPARE(name(w), QStringLiteral("Jia"));
            QCOMPARE(w.adt_UserInfo->state(), DataSet::Edit);
            QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
            QCOMPARE(w.adt_Surgery->asString("手术医生"), QStringLiteral("Dr"));
            QCOMPARE(rows(jiaPhone), 0);
            QCOMPARE(rows("SELECT COUNT(*) FROM Surgery"), 3);
            return;
        }
        QCOMPARE(m_prompter->texts("message"), QStringList());
        QCOMPARE(name(w), nameAfter);
        QCOMPARE(w.adt_UserInfo->state(), op == "insert" ? DataSet::Insert : DataSet::Browse);
        QCOMPARE(w.adt_Surgery->isEditing(), false);
        QCOMPARE(rows(jiaPhone), phoneSaved ? 1 : 0);
        const int jiaCases = rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号='" + kJia + "'");
        if (op == "delete") {
            QCOMPARE(jiaCases, 0);
        } else {
            QCOMPARE(jiaCases, caseEdit == "changed" ? 3 : 2);
        }
        if (caseEdit == "changed") {
            // Imported under the case's own customer, whatever the operation did next.
            const QString storedFile = install().folder() + "pic/" + kJia + "/p.jpg";
            QCOMPARE(readFile(storedFile), pictureBytes("picture"));
            if (op != "delete")
                QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 手术大类='鼻部' AND 手术前='" + kJia + "\\p.jpg'"),
                         1);
        }
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 客户编号 IS NULL OR 客户编号<>'" + kJia + "'"), 1);
    }

    // Closing: by the exit button (accepted), the close box (rejected); Escape does not close.
    void closing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("customer"); // "", "edited", "new"
        QTest::addColumn<QString>("caseEdit"); // "", "changed", "refused"
        QTest::addColumn<QList<Prompt::Button>>("answers");
        QTest::addColumn<QStringList>("questions");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<bool>("customerSaved");
        QTest::addColumn<bool>("caseSaved");
        using L = QList<Prompt::Button>;
        const QStringList none, cust{kBoxSaveCustomer}, cas{kBoxSaveCase}, both{kBoxSaveCustomer, kBoxSaveCase};
        // clang-format off
        QTest::newRow("nothing unsaved") << "button" << "" << "" << L{} << none << true << false << false;
        QTest::newRow("escape does not close") << "escape" << "edited" << "" << L{} << none << false << false << false;
        QTest::newRow("customer edited, Yes") << "button" << "edited" << "" << L{Prompt::Yes} << cust << true << true << false;
        QTest::newRow("customer edited, No") << "closebox" << "edited" << "" << L{Prompt::No} << cust << true << false << false;
        QTest::newRow("new customer, Yes") << "closebox" << "new" << "" << L{Prompt::Yes} << cust << true << true << false;
        QTest::newRow("case changed, Yes") << "closebox" << "" << "changed" << L{Prompt::Yes} << cas << true << false << true;
        QTest::newRow("case changed, No") << "button" << "" << "changed" << L{Prompt::No} << cas << true << false << false;
        QTest::newRow("both, Yes saves both") << "button" << "edited" << "changed" << L{Prompt::Yes} << cust << true << true << true;
        QTest::newRow("both, No then Yes") << "button" << "edited" << "changed" << L{Prompt::No, Prompt::Yes} << both << true << false << true;
        QTest::newRow("both, No and No") << "closebox" << "edited" << "changed" << L{Prompt::No, Prompt::No} << both << true << false << false;
        QTest::newRow("refused case keeps it open") << "button" << "" << "refused" << L{Prompt::Yes} << cas << false << false << false;
        QTest::newRow("refused case stops the customer save") << "closebox" << "new" << "refused" << L{Prompt::Yes} << cust << false << false << false;
        // clang-format on
    }
    void closing()
    {
        QFETCH(QString, how);
        QFETCH(QString, customer);
        QFETCH(QString, caseEdit);
        QFETCH(QList<Prompt::Button>, answers);
        QFETCH(QStringList, questions);
        QFETCH(bool, closed);
        QFETCH(bool, customerSaved);
        QFETCH(bool, caseSaved);
        seedCustomers(install());
        seedCategories(install());
        Tfrm_Manager w(nullptr, kJia);
        auto *ui = w.ui();
        w.show();
        if (customer == "edited")
            type(ui->DBEdit5, QStringLiteral("555"));
        else if (customer == "new")
            ui->DBNavigator1->click(DBNavigator::Insert);
        if (!caseEdit.isEmpty()) {
            ui->DBNavigator2->click(DBNavigator::Insert);
            if (caseEdit == "changed")
                choose(ui->cbox_Stair, QStringLiteral("鼻部"));
            else
                type(ui->DBEdit9, QStringLiteral("Dr"));
        }
        const int customersBefore = rows("SELECT COUNT(*) FROM tUserInfo");
        m_prompter->clear();
        m_prompter->answers = answers;
        if (how == "button")
            ui->Button1->click();
        else if (how == "closebox")
            w.close();
        else
            QTest::keyClick(&w, Qt::Key_Escape);

        QCOMPARE(m_prompter->texts("box"), questions);
        for (const auto &c : m_prompter->callsOf("box")) {
            QCOMPARE(c.caption, QStringLiteral("提示"));
            QCOMPARE(c.buttons, Prompt::Buttons(Prompt::Yes | Prompt::No));
            QCOMPARE(c.icon, Prompt::Question);
        }
        QCOMPARE(!w.isVisible(), closed);
        if (closed)
            QCOMPARE(w.result(), how == "button" ? int(QDialog::Accepted) : int(QDialog::Rejected));
        if (caseEdit == "refused")
            QCOMPARE(m_prompter->texts("message"), QStringList{kNoMajor});
        const int customersNow = rows("SELECT COUNT(*) FROM tUserInfo");
        if (customer == "new")
            QCOMPARE(customersNow - customersBefore, customerSaved ? 1 : 0);
        else
            QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo WHERE 电话='555'"), customerSaved ? 1 : 0);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 手术大类='鼻部'"), caseSaved ? 2 : 1);
        if (!closed && !caseEdit.isEmpty())
            QVERIFY(w.adt_Surgery->isEditing()); // the unsaved case is still there to fix
    }

    void enterMovesOnLikeTab_data()
    {
        QTest::addColumn<QString>("box");
        // clang-format off
        QTest::newRow("address") << "DBEdit6";
        QTest::newRow("number") << "DBEdit1";
        QTest::newRow("major list") << "cbox_Stair";
        QTest::newRow("last picture box") << "DBEdit13";
        // clang-format on
    }
    void enterMovesOnLikeTab()
    {
        QFETCH(QString, box);
        seedCustomers(install());
        Tfrm_Manager w(nullptr, QString());
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *start = w.findChild<QWidget *>(box);
        QVERIFY(start);
        start->setFocus();
        QTest::keyClick(start, Qt::Key_Tab);
        QWidget *byTab = QApplication::focusWidget();
        QVERIFY(byTab && byTab != start);
        start->setFocus();
        QTest::keyClick(start, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), byTab);
        start->setFocus();
        QTest::keyClick(start, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(QApplication::focusWidget(), byTab);
        QVERIFY(w.isVisible());
        QVERIFY(m_prompter->calls.isEmpty());
    }
};

QTEST_MAIN(TestManager)
#include "tst_manager.moc"
