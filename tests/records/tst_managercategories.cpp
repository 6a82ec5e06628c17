// The records window's category panel: adding majors and minors with their messages, deleting
// by name at either level, and which lists are refilled (or not) after each.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include "data/Unit_DataMod.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <memory>

using namespace ManagerTest;

class TestManagerCategories : public QObject, WindowTestBed {
    Q_OBJECT

    int rows(const QString &sql) { return count(*m_install, sql); }
    int classRows() { return rows(QStringLiteral("SELECT COUNT(*) FROM Class")); }
    void verifyMajorLists(Tfrm_Manager &w, const QStringList &majors)
    {
        for (QComboBox *c : {w.ui()->cbox_Stair, w.ui()->combox, w.ui()->dbcombox_type})
            QCOMPARE(items(c), majors);
    }

private slots:
    void init()
    {
        openBed();
        seedCategories(*m_install); // 眼部 and 鼻部; 双眼皮, 开眼角 under 眼部; 面部 with a null parent
    }
    void cleanup() { closeBed(); }

    // The minor list is the shown case's major's: at opening on a customer, after moving to
    // another customer and between that customer's cases.
    void minorListFollowsTheShownCase()
    {
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('鼻翼缩小', '鼻部')"));
        m_install->exec(
            QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('A1200612070001'), ('A1200612070002')"));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类) VALUES "
                                       "('A1200612070001', '眼部', '开眼角'), ('A1200612070002', '鼻部', '鼻翼缩小'), "
                                       "('A1200612070002', '眼部', '双眼皮')"));
        Tfrm_Manager w(nullptr, QStringLiteral("A1200612070002"));
        QComboBox *sub = w.ui()->cbox_Sub;
        QCOMPARE(items(sub), QStringList{QStringLiteral("鼻翼缩小")});
        QCOMPARE(sub->currentText(), QStringLiteral("鼻翼缩小"));
        w.ui()->DBNavigator2->click(DBNavigator::Next);
        QCOMPARE(items(sub), (QStringList{QStringLiteral("双眼皮"), QStringLiteral("开眼角")}));
        QCOMPARE(sub->currentText(), QStringLiteral("双眼皮"));
        w.ui()->DBNavigator1->click(DBNavigator::Prior);
        QCOMPARE(sub->currentText(), QStringLiteral("开眼角"));
        w.ui()->DBNavigator1->click(DBNavigator::Next);
        QCOMPARE(items(sub), QStringList{QStringLiteral("鼻翼缩小")});
        QVERIFY(sub->isEnabled());
    }

    void addingAMajor_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("majors");
        // clang-format off
        QTest::newRow("empty name") << "" << "请填写类别名称" << QStringList{"眼部", "鼻部"};
        QTest::newRow("new name") << "胸部" << "新增类别成功" << QStringList{"眼部", "鼻部", "胸部"};
        QTest::newRow("duplicate is listed twice") << "眼部" << "新增类别成功" << QStringList{"眼部", "鼻部", "眼部"};
        QTest::newRow("blanks only") << "  " << "新增类别成功" << QStringList{"眼部", "鼻部", "  "};
        QTest::newRow("apostrophe") << "O'Neil" << "新增类别成功" << QStringList{"眼部", "鼻部", "O'Neil"};
        // clang-format on
    }
    void addingAMajor()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(QStringList, majors);
        Tfrm_Manager w(nullptr, QString());
        QCOMPARE(items(w.ui()->cbox_Stair), (QStringList{"眼部", "鼻部"})); // a null parent is no major
        choose(w.ui()->combox, QStringLiteral("鼻部"));
        const int before = classRows();
        w.ui()->ed_Type->setText(name);
        w.ui()->BitBtn2->click();
        QCOMPARE(m_prompter->texts("box"), QStringList{message});
        QCOMPARE(m_prompter->calls.first().caption, QStringLiteral("提示"));
        QCOMPARE(m_prompter->calls.first().buttons, Prompt::Buttons(Prompt::Ok));
        verifyMajorLists(w, majors);
        const bool added = !name.isEmpty();
        QCOMPARE(w.ui()->combox->currentIndex(), added ? -1 : 1); // refilled: no selection
        QCOMPARE(classRows() - before, added ? 1 : 0);
        QCOMPARE(w.ui()->ed_Type->text(), added ? QString() : name);
        if (added) {
            // Stored with the empty string (not null) as its parent, exactly as typed.
            QCOMPARE(rows("SELECT COUNT(*) FROM Class WHERE 父类别='' AND 类别名称='" + QString(name).replace("'", "''")
                          + "'"),
                     name == "眼部" ? 2 : 1);
        }
    }

    void addingAMinor_data()
    {
        QTest::addColumn<QString>("major"); // chosen in combox, "" for none
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("no major, name typed") << "" << "隆鼻" << "请选择大类名称";
        QTest::newRow("no major, no name") << "" << "" << "请选择大类名称";
        QTest::newRow("major, empty name") << "鼻部" << "" << "请填写类别名称";
        QTest::newRow("added") << "鼻部" << "隆鼻" << "新增类别成功";
        // clang-format on
    }
    void addingAMinor()
    {
        QFETCH(QString, major);
        QFETCH(QString, name);
        QFETCH(QString, message);
        Tfrm_Manager w(nullptr, QString());
        auto *ui = w.ui();
        choose(ui->dbcombox_type, QStringLiteral("鼻部")); // the delete list, filled before
        QCOMPARE(ui->dbcombox_SubType->count(), 0);
        if (!major.isEmpty())
            choose(ui->combox, major);
        ui->Ed_SubType->setText(name);
        const int before = classRows();
        ui->BitBtn3->click();
        QCOMPARE(m_prompter->texts("box"), QStringList{message});
        const bool added = message == "新增类别成功";
        QCOMPARE(classRows() - before, added ? 1 : 0);
        if (added) {
            QCOMPARE(rows("SELECT COUNT(*) FROM Class WHERE 父类别='鼻部' AND 类别名称='隆鼻'"), 1);
            QCOMPARE(ui->Ed_SubType->text(), QString());
        }
        // No list is refilled after a minor is added.
        QCOMPARE(ui->dbcombox_SubType->count(), 0);
        QCOMPARE(ui->combox->currentText(), major);
        choose(ui->dbcombox_type, QStringLiteral("鼻部"));
        QCOMPARE(ui->dbcombox_SubType->count(), added ? 1 : 0);
    }

    void deletingByName_data()
    {
        QTest::addColumn<QString>("list"); // the delete list the name is taken from
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QStringList>("remaining");
        // clang-format off
        QTest::newRow("major, Cancel") << "type" << "眼部" << int(Prompt::Cancel)
                                       << QStringList{"眼部", "鼻部", "双眼皮", "开眼角", "面部", "眼部"};
        QTest::newRow("major: minors stay, same name at any level goes")
            << "type" << "眼部" << int(Prompt::Ok) << QStringList{"鼻部", "双眼皮", "开眼角", "面部"};
        QTest::newRow("minor") << "sub" << "开眼角" << int(Prompt::Ok)
                               << QStringList{"眼部", "鼻部", "双眼皮", "面部", "眼部"};
        // clang-format on
    }
    void deletingByName()
    {
        QFETCH(QString, list);
        QFETCH(QString, name);
        QFETCH(int, answer);
        QFETCH(QStringList, remaining);
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部','鼻部')"));
        m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('A1200612070001')"));
        m_install->exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类, 手术小类) VALUES ('A1200612070001','眼部','开眼角')"));
        Tfrm_Manager w(nullptr, QString());
        auto *ui = w.ui();
        choose(ui->dbcombox_type, QStringLiteral("眼部"));
        QCOMPARE(items(ui->dbcombox_SubType), (QStringList{"双眼皮", "开眼角"}));
        if (list == "sub")
            choose(ui->dbcombox_SubType, name);
        m_prompter->answers = {Prompt::Button(answer)};
        (list == "type" ? ui->BitBtn4 : ui->BitBtn5)->click();

        QCOMPARE(m_prompter->texts("box"), QStringList{"确认删除吗？"});
        const auto c = m_prompter->calls.first();
        QCOMPARE(c.caption, QStringLiteral("提示"));
        QCOMPARE(c.buttons, Prompt::Buttons(Prompt::Ok | Prompt::Cancel));
        QCOMPARE(c.icon, Prompt::NoIcon);
        QStringList left;
        QSqlQuery q(QSqlDatabase::database(m_install->mod()->ADOConn));
        QVERIFY(q.exec(QStringLiteral("SELECT 类别名称 FROM Class ORDER BY id")));
        while (q.next())
            left << q.value(0).toString();
        QCOMPARE(left, remaining);
        const bool deleted = answer == Prompt::Ok;
        if (deleted) {
            // The major lists are refilled; the minor delete list is not.
            QCOMPARE(ui->dbcombox_type->currentIndex(), -1);
            QCOMPARE(items(ui->dbcombox_SubType), (QStringList{"双眼皮", "开眼角"}));
            const QStringList majors = name == "眼部" ? QStringList{"鼻部"} : QStringList{"眼部", "鼻部"};
            for (QComboBox *box : {ui->cbox_Stair, ui->combox, ui->dbcombox_type})
                QCOMPARE(items(box), majors);
        }
        // Cases keep the names they use; a case whose major is gone shows no major.
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 手术大类='眼部' AND 手术小类='开眼角'"), 1);
        // Every delete refills the major lists, which then have no selection.
        QCOMPARE(ui->cbox_Stair->currentIndex(), deleted ? -1 : 0);
    }

    void majorWithoutMinorsDisablesTheMinorDeleteList()
    {
        Tfrm_Manager w(nullptr, QString());
        auto *ui = w.ui();
        choose(ui->dbcombox_type, QStringLiteral("眼部"));
        QVERIFY(ui->dbcombox_SubType->isEnabled());
        choose(ui->dbcombox_type, QStringLiteral("鼻部"));
        QCOMPARE(ui->dbcombox_SubType->count(), 0);
        QVERIFY(!ui->dbcombox_SubType->isEnabled());
        ui->BitBtn5->click();
        QVERIFY(m_prompter->calls.isEmpty());
        // With nothing chosen the major delete button does nothing either.
        w.FillMajorLists();
        ui->BitBtn4->click();
        QVERIFY(m_prompter->calls.isEmpty());
        QCOMPARE(classRows(), 5);
    }

    void emptyNameAsksForOne()
    {
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('','')"));
        Tfrm_Manager w(nullptr, QString());
        choose(w.ui()->dbcombox_type, QString());
        w.ui()->BitBtn4->click();
        QCOMPARE(m_prompter->texts("box"), QStringList{"请输入类别名称"});
        QCOMPARE(classRows(), 6);
    }
};

QTEST_MAIN(TestManagerCategories)
#include "tst_managercategories.moc"
