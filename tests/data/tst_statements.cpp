// The statement texts, exactly as they are sent before translation.
#include "data/JetSql.h"
#include "data/Statements.h"

#include <QtTest>

using Statements::CaseFilter;
Q_DECLARE_METATYPE(CaseFilter)

class TestStatements : public QObject {
    Q_OBJECT
private slots:
    void fixedTexts_data();
    void fixedTexts();
    void filter_data();
    void filter();
    void search_data();
    void search();
    void jetDateIsReadBackAsTheSameDay_data();
    void jetDateIsReadBackAsTheSameDay();
};

void TestStatements::fixedTexts_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("expected");
    // clang-format off
    QTest::newRow("login") << Statements::login(QStringLiteral("Admin"), QStringLiteral("admin"))
                           << QStringLiteral("SELECT * FROM SysManager WHERE UserName='Admin' AND Pwd ='admin'");
    QTest::newRow("login, quotes doubled")
        << Statements::login(QStringLiteral("O'Neil"), QStringLiteral("' OR '1'='1"))
        << QStringLiteral("SELECT * FROM SysManager WHERE UserName='O''Neil' AND Pwd =''' OR ''1''=''1'");
    QTest::newRow("login, empty password") << Statements::login(QStringLiteral("张三"), QString())
                                           << QStringLiteral("SELECT * FROM SysManager WHERE UserName='张三' AND Pwd =''");
    QTest::newRow("read param") << Statements::readParam() << QStringLiteral("select * from  [Param]");
    QTest::newRow("must login on") << Statements::writeMustLogin(true)
                                   << QStringLiteral("update [Param] set MustLogin=true");
    QTest::newRow("must login off") << Statements::writeMustLogin(false)
                                    << QStringLiteral("update [Param] set MustLogin=false");
    QTest::newRow("majors") << Statements::majorCategories()
                            << QStringLiteral("SELECT * FROM [Class] WHERE 父类别=''");
    QTest::newRow("minors") << Statements::minorCategories(QStringLiteral("眼部"))
                            << QStringLiteral("SELECT * FROM [Class] WHERE 父类别='眼部'");
    QTest::newRow("minors of empty name") << Statements::minorCategories(QString())
                                          << QStringLiteral("SELECT * FROM [Class] WHERE 父类别=''");
    QTest::newRow("delete category") << Statements::deleteCategory(QStringLiteral("双眼皮"))
                                     << QStringLiteral("Delete from [class] where 类别名称='双眼皮'");
    QTest::newRow("delete category, quote") << Statements::deleteCategory(QStringLiteral("x' OR ''='"))
                                            << QStringLiteral("Delete from [class] where 类别名称='x'' OR ''''='''");
    QTest::newRow("max customer no") << Statements::maxCustomerNo(QStringLiteral("A120061207"))
                                     << QStringLiteral("SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo "
                                                       "WHERE LEFT(客户编号,10) = 'A120061207' ORDER BY 客户编号 DESC");
    QTest::newRow("delete cases") << Statements::deleteCustomerCases(QStringLiteral("A1200612070003"))
                                  << QStringLiteral("DELETE * FROM Surgery WHERE 客户编号='A1200612070003'");
    QTest::newRow("show all") << Statements::showAll()
                              << QStringLiteral("SELECT * FROM Surgery WHERE 客户编号=客户编号");
    // clang-format on
}

void TestStatements::fixedTexts()
{
    QFETCH(QString, built);
    QFETCH(QString, expected);
    QCOMPARE(built, expected);
}

void TestStatements::filter_data()
{
    QTest::addColumn<CaseFilter>("f");
    QTest::addColumn<QString>("conditions"); // what follows the show-all text

    const QDate d1(2003, 1, 15), d2(2003, 12, 5);
    auto make = [](auto change) {
        CaseFilter f;
        f.major = QStringLiteral("眼部");
        f.minor = QStringLiteral("双眼皮");
        f.surgeon = QStringLiteral("王医生");
        f.from = QDate(2002, 12, 17);
        f.to = QDate(2002, 12, 17);
        change(f);
        return f;
    };
    // Selections and texts without their check box count for nothing.
    // clang-format off
    QTest::newRow("nothing checked equals show all")
        << make([](CaseFilter &f) { f.hasMajor = f.hasMinor = true; }) << QString();
    QTest::newRow("category checked, nothing chosen")
        << make([](CaseFilter &f) { f.byCategory = true; }) << QString();
    QTest::newRow("major only") << make([](CaseFilter &f) { f.byCategory = f.hasMajor = true; })
                                << QStringLiteral(" AND 手术大类='眼部'");
    QTest::newRow("minor alone") << make([](CaseFilter &f) { f.byCategory = f.hasMinor = true; })
                                 << QStringLiteral(" AND 手术小类='双眼皮'");
    QTest::newRow("major and minor")
        << make([](CaseFilter &f) { f.byCategory = f.hasMajor = f.hasMinor = true; })
        << QStringLiteral(" AND 手术大类='眼部' AND 手术小类='双眼皮'");
    QTest::newRow("surgeon, empty text") << make([](CaseFilter &f) { f.bySurgeon = true; f.surgeon.clear(); })
                                         << QString();
    QTest::newRow("surgeon, one character")
        << make([](CaseFilter &f) { f.bySurgeon = true; f.surgeon = QStringLiteral("王"); })
        << QStringLiteral(" AND 手术医生 like '%王%'");
    QTest::newRow("surgeon with a quote")
        << make([](CaseFilter &f) { f.bySurgeon = true; f.surgeon = QStringLiteral("O'Neil"); })
        << QStringLiteral(" AND 手术医生 like '%O''Neil%'");
    QTest::newRow("blank surgeon is a condition")
        << make([](CaseFilter &f) { f.bySurgeon = true; f.surgeon = QStringLiteral(" "); })
        << QStringLiteral(" AND 手术医生 like '% %'");
    QTest::newRow("dates unpadded, year first")
        << make([&](CaseFilter &f) { f.byDate = true; f.from = d1; f.to = d2; })
        << QStringLiteral(" AND 手术日期 between #2003-1-15# And #2003-12-5#");
    QTest::newRow("same day") << make([](CaseFilter &f) { f.byDate = true; })
                              << QStringLiteral(" AND 手术日期 between #2002-12-17# And #2002-12-17#");
    QTest::newRow("everything")
        << make([&](CaseFilter &f) {
               f.byCategory = f.hasMajor = f.hasMinor = f.bySurgeon = f.byDate = true;
        // clang-format on
        f.major = QStringLiteral("a'b");
        f.from = d1;
        f.to = d2;
    })
                                << QStringLiteral(
                                       " AND 手术大类='a''b' AND 手术小类='双眼皮' AND 手术医生 like '%王医生%'"
                                       " AND 手术日期 between #2003-1-15# And #2003-12-5#");
}

void TestStatements::filter()
{
    QFETCH(CaseFilter, f);
    QFETCH(QString, conditions);
    QCOMPARE(Statements::filter(f), Statements::showAll() + conditions);
}

void TestStatements::search_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("statement");
    // clang-format off
    QTest::newRow("unchecked, text ignored") << false << QStringLiteral("A1") << QStringLiteral("SELECT * FROM Surgery ");
    QTest::newRow("checked, empty") << true << QString()
                                    << QStringLiteral("SELECT * FROM Surgery Where 客户编号 like '%%'");
    QTest::newRow("checked, prefix") << true << QStringLiteral("A120061207")
                                     << QStringLiteral("SELECT * FROM Surgery Where 客户编号 like '%A120061207%'");
    QTest::newRow("checked, quote") << true << QStringLiteral("'--")
                                    << QStringLiteral("SELECT * FROM Surgery Where 客户编号 like '%''--%'");
    // clang-format on
}

void TestStatements::search()
{
    QFETCH(bool, checked);
    QFETCH(QString, text);
    QFETCH(QString, statement);
    QCOMPARE(Statements::search(Statements::searchClause(checked, text)), statement);
    QCOMPARE(Statements::searchClause(checked, text).isEmpty(), !checked);
}

void TestStatements::jetDateIsReadBackAsTheSameDay_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("iso");
    // clang-format off
    QTest::newRow("single digits") << QDate(2003, 1, 5) << QStringLiteral("2003-01-05");
    QTest::newRow("day above 12") << QDate(2003, 2, 13) << QStringLiteral("2003-02-13");
    QTest::newRow("year end") << QDate(1999, 12, 31) << QStringLiteral("1999-12-31");
    QTest::newRow("leap day") << QDate(2004, 2, 29) << QStringLiteral("2004-02-29");
    // clang-format on
}

void TestStatements::jetDateIsReadBackAsTheSameDay()
{
    QFETCH(QDate, date);
    QFETCH(QString, iso);
    QCOMPARE(JetSql::dateLiteralToIso(Statements::jetDate(date)), iso);
}

QTEST_GUILESS_MAIN(TestStatements)
#include "tst_statements.moc"
