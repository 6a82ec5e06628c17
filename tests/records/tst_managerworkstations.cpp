// The records window beside another workstation: a new customer whose generated number the
// other one saved first is saved under the next free number, together with the case whose
// save brought it; a typed number that collides is refused with a message saying what to change.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include "support/TestDatabase.h"

#include <QSqlQuery>
#include <memory>

using namespace ManagerTest;

class TestManagerWorkstations : public QObject, WindowTestBed {
    Q_OBJECT

    // The other workstation saves a customer with this number.
    void saveElsewhere(const QString &number)
    {
        const QString c = m_install->database().connect();
        {
            QSqlQuery q(QSqlDatabase::database(c, false));
            QVERIFY(
                q.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1','Other')").arg(number)));
        }
        TestDatabase::disconnect(c);
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        openBed();
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部','')"));
    }
    void cleanup() { closeBed(); }

    void generatedNumberTakenMeanwhileMovesOnWithItsCase()
    {
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator1->click(DBNavigator::Insert);
        const QString first = QStringLiteral("A1") + today() + QStringLiteral("0001");
        QCOMPARE(w.ui()->DBEdit1->text(), first);
        type(w.ui()->DBEdit2, QStringLiteral("Jia"));
        // The other workstation takes the number; then a case for the unsaved customer is
        // saved, which saves the customer first, under the next free number, with the case.
        w.ui()->DBNavigator2->click(DBNavigator::Insert);
        choose(w.ui()->cbox_Stair, QStringLiteral("眼部"));
        type(w.ui()->DBEdit9, QStringLiteral("Wang"));
        saveElsewhere(first);
        w.ui()->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QCOMPARE(m_prompter->calls.size(), 0); // no error box
        const QString second = QStringLiteral("A1") + today() + QStringLiteral("0002");
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Browse);
        QCOMPARE(w.ui()->DBEdit1->text(), second);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT 用户姓名 FROM tUserInfo WHERE 客户编号='%1'").arg(second))
                     .toString(),
                 QStringLiteral("Jia"));
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT 客户编号 FROM Surgery WHERE 手术医生='Wang'")).toString(),
                 second);
        QCOMPARE(w.adt_Surgery->recordCount(), 1);
    }

    void typedNumberTakenMeanwhileIsRefused()
    {
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator1->click(DBNavigator::Insert);
        type(w.ui()->DBEdit1, QStringLiteral("A1200001010001"));
        saveElsewhere(QStringLiteral("A1200001010001"));
        w.ui()->DBNavigator1->click(DBNavigator::Post);
        QCOMPARE(m_prompter->texts(QStringLiteral("error")),
                 QStringList{QStringLiteral("客户编号“A1200001010001”已有另一位客户使用，请改用别的编号。")});
        QCOMPARE(w.adt_UserInfo->state(), DataSet::Insert);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM tUserInfo")).toInt(), 1);
    }
};

QTEST_MAIN(TestManagerWorkstations)
#include "tst_managerworkstations.moc"
