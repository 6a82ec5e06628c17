// The data module's named operations: the category lists, the deletes, and the login check,
// each on the shared query and with typed quotes matched literally.
#include "data/DataSet.h"
#include "data/Operations.h"
#include "data/Statements.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <memory>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestOperations : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    TDataMod *m_mod = nullptr;

    void exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
        QVERIFY2(q.exec(sql), qPrintable(sql));
    }
    QStringList column(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
        if (!q.exec(sql))
            qFatal("%s", qPrintable(sql));
        QStringList out;
        while (q.next())
            out << (q.value(0).isNull() ? QStringLiteral("<null>") : q.value(0).toString());
        return out;
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_mod = m_install->mod();
        // 眼部 and O'Neil are majors; 面部 has no parent at all, so it is neither major nor minor;
        // 综合 is a major and also a minor of 眼部.
        exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''),('双眼皮','眼部'),"
                            "('开眼角','眼部'),('O''Neil',''),('下巴','O''Neil'),('面部',NULL),"
                            "('综合',''),('综合','眼部')"));
    }
    void cleanup()
    {
        m_mod = nullptr;
        m_install.reset();
    }

    void categoryLists()
    {
        QCOMPARE(Operations::majorCategories(*m_mod), (QStringList{"眼部", "O'Neil", "综合"}));
        QCOMPARE(Operations::minorCategories(*m_mod, QStringLiteral("眼部")),
                 (QStringList{"双眼皮", "开眼角", "综合"}));
        QCOMPARE(Operations::minorCategories(*m_mod, QStringLiteral("O'Neil")), QStringList{"下巴"});
        QVERIFY(Operations::minorCategories(*m_mod, QStringLiteral("鼻部")).isEmpty());
        QVERIFY(Operations::minorCategories(*m_mod, QStringLiteral("' OR ''='")).isEmpty());
        // The shared query is left holding the last statement, as every other user leaves it.
        QCOMPARE(m_mod->ADOQuery.sql(), Statements::minorCategories(QStringLiteral("' OR ''='")));
        QCOMPARE(m_mod->ADOQuery.recordCount(), 0);
    }

    void deletingACategoryTakesEveryRowOfItsName()
    {
        Operations::deleteCategory(*m_mod, QStringLiteral("综合"));
        QCOMPARE(column(QStringLiteral("SELECT 类别名称 FROM Class WHERE 类别名称='综合'")), QStringList());
        // A major goes alone: its minors stay, filed under a name no major has any more.
        Operations::deleteCategory(*m_mod, QStringLiteral("O'Neil"));
        QCOMPARE(Operations::majorCategories(*m_mod), QStringList{"眼部"});
        QCOMPARE(Operations::minorCategories(*m_mod, QStringLiteral("O'Neil")), QStringList{"下巴"});
        // A typed condition is a name like any other.
        Operations::deleteCategory(*m_mod, QStringLiteral("x' OR ''='"));
        QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Class")), QStringList{"5"});
    }

    void deletingCasesKeepsOtherCustomers()
    {
        exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200612070001','眼部'),"
                            "('A1200612070001','鼻部'),('A1200612070002','眼部'),('A1''200612070003','眼部')"));
        Operations::deleteCasesOf(*m_mod, QStringLiteral("A1200612070003' OR ''='"));
        QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Surgery")), QStringList{"4"});
        Operations::deleteCasesOf(*m_mod, QStringLiteral("A1200612070001"));
        QCOMPARE(column(QStringLiteral("SELECT 客户编号 FROM Surgery ORDER BY 客户编号")),
                 (QStringList{"A1'200612070003", "A1200612070002"}));
        Operations::deleteCasesOf(*m_mod, QStringLiteral("A1'200612070003"));
        QCOMPARE(column(QStringLiteral("SELECT 客户编号 FROM Surgery")), QStringList{"A1200612070002"});
        // The customer rows themselves are not this operation's business.
        Operations::deleteCasesOf(*m_mod, QStringLiteral("A1200612070009"));
        QCOMPARE(column(QStringLiteral("SELECT count(*) FROM Surgery")), QStringList{"1"});
    }

    void login_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pwd");
        QTest::addColumn<bool>("found");
        QTest::addColumn<bool>("admin");
        // clang-format off
        QTest::newRow("administrator") << "Admin" << "admin" << true << true;
        QTest::newRow("ordinary user") << "clerk" << "pw" << true << false;
        QTest::newRow("quoted name and password") << "O'Hara" << "x'y" << true << true;
        QTest::newRow("wrong password") << "Admin" << "Admin" << false << false;
        QTest::newRow("empty password, stored null") << "nopwd" << "" << false << false;
        QTest::newRow("injection") << "Admin" << "' OR '1'='1" << false << false;
        // clang-format on
    }
    void login()
    {
        QFETCH(QString, name);
        QFETCH(QString, pwd);
        QFETCH(bool, found);
        QFETCH(bool, admin);
        exec(QStringLiteral("INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('clerk','pw',false),"
                            "('nopwd',NULL,true),('O''Hara','x''y',true)"));
        const std::optional<TUserInfo> user = Operations::checkLogin(*m_mod, name, pwd);
        QCOMPARE(user.has_value(), found);
        if (found) {
            QCOMPARE(user->UserName, name);
            QCOMPARE(user->IsSYS, admin);
        }
        // Checking is not logging in: the module's user stays as it was.
        QVERIFY(m_mod->CurrentUser.UserName.isEmpty());
    }

    // The one rule for Booleans, whichever way an engine or a text box hands them over.
    void booleanRule_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("expected");
        // clang-format off
        QTest::newRow("null") << QVariant() << false;
        QTest::newRow("true") << QVariant(true) << true;
        QTest::newRow("false") << QVariant(false) << false;
        QTest::newRow("integer 1") << QVariant(1) << true;
        QTest::newRow("integer -1") << QVariant(-1) << true;
        QTest::newRow("integer 0") << QVariant(0) << false;
        QTest::newRow("text TRUE") << QVariant(QStringLiteral("TRUE")) << true;
        QTest::newRow("text false") << QVariant(QStringLiteral(" false ")) << false;
        QTest::newRow("text number") << QVariant(QStringLiteral(" -1 ")) << true;
        QTest::newRow("text zero") << QVariant(QStringLiteral("0")) << false;
        QTest::newRow("text word") << QVariant(QStringLiteral("yes")) << false;
        QTest::newRow("empty text") << QVariant(QString()) << false;
        // clang-format on
    }
    void booleanRule()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, expected);
        QCOMPARE(DataSet::toBool(value), expected);
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
