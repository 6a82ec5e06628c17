// The Jet translator: its output text for both engines, date literals, refused statements, and
// translated statements run against a real database made from the supplied schema.
#include "data/AppError.h"
#include "data/JetSql.h"
#include "data/Db.h"
#include "data/Schema.h"
#include "data/Statements.h"
#include "support/TestDatabase.h"

#include <memory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using JetSql::Dialect;

class TestJetSql : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void sqliteText_data();
    void sqliteText();
    void postgresText_data();
    void postgresText();
    void dateLiteral_data();
    void dateLiteral();
    void refused_data();
    void refused();

    void selects_data();
    void selects();
    void changes_data();
    void changes();
    void builtStatements_data();
    void builtStatements();

private:
    QString rows(const QString &jet, const QString &column = QString());
    void exec(const QString &jet);
    QTemporaryDir m_dir;
    QSqlDatabase m_db;
    std::unique_ptr<TestDatabase> m_database;
    QString m_connection;
    JetSql::Dialect m_dialect = JetSql::Dialect::SQLite;
};

void TestJetSql::sqliteText_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("sqlite");
    // clang-format off
    QTest::newRow("brackets") << "select * from  [Param]" << "select * from  \"Param\"";
    QTest::newRow("delete star") << "DELETE * FROM Surgery WHERE 客户编号='A1'" << "DELETE FROM Surgery WHERE 客户编号='A1'";
    QTest::newRow("delete star, lower case, no blank after")
        << "delete   *from [class]" << "delete from \"class\"";
    QTest::newRow("count star stays") << "SELECT count(*) FROM Surgery" << "SELECT count(*) FROM Surgery";
    QTest::newRow("date") << "x between #2003-1-5# And #1/15/2003 9:05#"
                          << "x between '2003-01-05' And '2003-01-15 09:05:00'";
    QTest::newRow("left and right")
        << "SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo WHERE LEFT(客户编号,10) = 'A120061207'"
        << "SELECT substr(客户编号,-4) as MaxId FROM tUserInfo WHERE substr(客户编号,1,10) = 'A120061207'";
    QTest::newRow("nested, spaced, any case")
        << "select Left ( right(a, 6) , (2) )" << "select substr(substr(a,-6),1,(2))";
    QTest::newRow("right with an expression")
        << "select right(a,n+1)" << "select substr(a,-(n+1),n+1)";
    QTest::newRow("right of nothing") << "select right(a,0)" << "select substr(a,-(0),0)";
    QTest::newRow("left join left alone")
        << "select * from a LEFT JOIN b on a.x=b.x" << "select * from a LEFT JOIN b on a.x=b.x";
    QTest::newRow("booleans") << "update [Param] set MustLogin=TRUE where x=false"
                              << "update \"Param\" set MustLogin=1 where x=0";
    QTest::newRow("booleans inside names") << "select istrue, true_1, 手术true, t.true, [true] from t"
                                           << "select istrue, true_1, 手术true, t.true, \"true\" from t";
    QTest::newRow("string literal untouched")
        << "select 'LEFT(a,1) #1# [x] true DELETE * ''q''' from t where b='it''s'"
        << "select 'LEFT(a,1) #1# [x] true DELETE * ''q''' from t where b='it''s'";
    QTest::newRow("double quotes passed on") << "select \"a [b] #c#\" from t" << "select \"a [b] #c#\" from t";
    QTest::newRow("quote in a bracketed name") << "select [a\"b] from t" << "select \"a\"\"b\" from t";
    QTest::newRow("like unchanged") << "where 手术医生 like '%王%'" << "where 手术医生 like '%王%'";
    QTest::newRow("empty") << "" << "";
    // clang-format on
}

void TestJetSql::sqliteText()
{
    QFETCH(QString, jet);
    QFETCH(QString, sqlite);
    QCOMPARE(JetSql::translate(jet), sqlite);
    QCOMPARE(JetSql::translate(jet, Dialect::SQLite), sqlite);
}

void TestJetSql::postgresText_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("postgres");
    // clang-format off
    QTest::newRow("table names fold") << "SELECT * FROM [Class] WHERE 父类别=''; Delete from [class] where 类别名称='x'"
                                      << "SELECT * FROM class WHERE 父类别=''; Delete from class where 类别名称='x'";
    QTest::newRow("param") << "update [Param] set MustLogin=true" << "update param set MustLogin=true";
    QTest::newRow("chinese bracketed name") << "select [手术日期] from [Surgery]" << "select 手术日期 from surgery";
    QTest::newRow("names that need quotes") << "select [User], [My Table], [2nd], [ORDER] from t"
                                            << "select \"user\", \"my table\", \"2nd\", \"order\" from t";
    QTest::newRow("like ignores case") << "Where 客户编号 like '%a1%' and x not LIKE 'b'"
                                       << "Where 客户编号 ILIKE '%a1%' and x not ILIKE 'b'";
    QTest::newRow("delete star") << "DELETE * FROM Surgery WHERE 客户编号='A1'" << "DELETE FROM Surgery WHERE 客户编号='A1'";
    QTest::newRow("dates as stored text")
        << "手术日期 between #2003-1-15# And #12/5/2003 13:00#" << "手术日期 between '2003-01-15' And '2003-12-05 13:00:00'";
    QTest::newRow("left right")
        << "SELECT RIGHT(客户编号,4) FROM tUserInfo WHERE LEFT(客户编号,10) = 'A1' and right(a,n+1)='x'"
        << "SELECT right(客户编号,4) FROM tUserInfo WHERE left(客户编号,10) = 'A1' and right(a,n+1)='x'";
    QTest::newRow("booleans stay") << "where a=true or b=FALSE" << "where a=true or b=FALSE";
    QTest::newRow("string literal untouched") << "where a='[X] like #1/1/2000#'" << "where a='[X] like #1/1/2000#'";
    // clang-format on
}

void TestJetSql::postgresText()
{
    QFETCH(QString, jet);
    QFETCH(QString, postgres);
    QCOMPARE(JetSql::translate(jet, Dialect::PostgreSQL), postgres);
}

void TestJetSql::dateLiteral_data()
{
    QTest::addColumn<QString>("literal");
    QTest::addColumn<QString>("iso"); // empty: not a date
    // clang-format off
    QTest::newRow("ymd hyphen") << "2003-1-15" << "2003-01-15";
    QTest::newRow("ymd slash padded") << "2003/01/05" << "2003-01-05";
    QTest::newRow("ymd dot") << "2003.12.5" << "2003-12-05";
    QTest::newRow("mdy") << "1/15/2003" << "2003-01-15";
    QTest::newRow("mdy is month first") << "2/3/2003" << "2003-02-03";
    QTest::newRow("two-digit year, 2000s") << "1/15/03" << "2003-01-15";
    QTest::newRow("two-digit year, 1900s") << "1/15/45" << "1945-01-15";
    QTest::newRow("blanks around") << "  2003-1-15  " << "2003-01-15";
    QTest::newRow("time") << "2003/01/15 10:30" << "2003-01-15 10:30:00";
    QTest::newRow("time with seconds") << "2003-1-15 7:05:09" << "2003-01-15 07:05:09";
    QTest::newRow("pm") << "1/15/2003 1:30 PM" << "2003-01-15 13:30:00";
    QTest::newRow("12 am") << "1/15/2003 12:15 am" << "2003-01-15 00:15:00";
    QTest::newRow("midnight is the day") << "2003-1-15 0:00" << "2003-01-15";
    QTest::newRow("leap day") << "2004-2-29" << "2004-02-29";
    QTest::newRow("no leap day") << "2003-2-29" << "";
    QTest::newRow("month 13") << "2003-13-1" << "";
    QTest::newRow("day-month order is not read") << "15/1/2003" << "";
    QTest::newRow("mixed separators") << "2003-1/15" << "";
    QTest::newRow("hour 24") << "2003-1-15 24:00" << "";
    QTest::newRow("13 pm") << "2003-1-15 13:00 PM" << "";
    QTest::newRow("text") << "yesterday" << "";
    QTest::newRow("time alone") << "10:30" << "";
    QTest::newRow("empty") << "" << "";
    // clang-format on
}

void TestJetSql::dateLiteral()
{
    QFETCH(QString, literal);
    QFETCH(QString, iso);
    QCOMPARE(JetSql::dateLiteralToIso(literal), iso);
}

void TestJetSql::refused_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("mentions");
    // clang-format off
    QTest::newRow("invalid date") << "x between #2003-2-30# And #2003-3-1#" << "#2003-2-30#";
    QTest::newRow("unclosed date") << "x = #2003-1-1" << "#2003-1-1";
    QTest::newRow("unclosed name") << "select * from [Class" << "[Class";
    QTest::newRow("left with one argument") << "select LEFT(a) from t" << "LEFT";
    QTest::newRow("right with three arguments") << "select right(a,1,2) from t" << "right";
    QTest::newRow("left unclosed") << "select LEFT(a,(1) from t" << "LEFT(";
    // clang-format on
}

void TestJetSql::refused()
{
    QFETCH(QString, jet);
    QFETCH(QString, mentions);
    for (Dialect d : {Dialect::SQLite, Dialect::PostgreSQL}) {
        try {
            JetSql::translate(jet, d);
            QFAIL("the statement was translated");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(mentions), qPrintable(e.text()));
        }
    }
}

// ---- Against a real database ----

void TestJetSql::initTestCase()
{
    QVERIFY(m_dir.isValid());
    BELCARA_SKIP_WITHOUT_ENGINE();
    m_database = std::make_unique<TestDatabase>(m_dir.path() + QLatin1Char('/'));
    m_connection = m_database->connect();
    m_db = QSqlDatabase::database(m_connection);
    m_dialect = Db::dialect(m_db);
}

void TestJetSql::cleanupTestCase()
{
    m_db = QSqlDatabase();
    if (!m_connection.isEmpty())
        TestDatabase::disconnect(m_connection);
    m_database.reset();
}

// Every test starts from the same rows.
void TestJetSql::init()
{
    // clang-format off
    const char *seed[] = {
        "DELETE FROM tUserInfo", "DELETE FROM Surgery", "DELETE FROM Class", "DELETE FROM SysManager",
        "UPDATE Param SET MustLogin=false",
        "INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('Admin','admin',true), ('guest','g''1',false)",
        "INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200603150001','张三'), ('A1200603150003','李四'),"
        " ('A1200603150002','王五'), ('A1200603160001','赵六'), ('甲1200603150007','钱七')",
        "INSERT INTO Surgery (id, 客户编号, 手术大类, 手术小类, 手术医生, 手术日期) VALUES"
        " (1,'A1200603150001','眼部','双眼皮','王医生','2003-01-15'),"
        " (2,'A1200603150001','眼部','开眼角','O''Neil','2003-01-15 10:30:00'),"
        " (3,'A1200603150003','鼻部','隆鼻','李医生','2003-01-14'),"
        " (4,'A1200603160001','鼻部','','王大夫','2003-01-16'),"
        " (5,NULL,'眼部','双眼皮','#1 [true]','2003-01-15')",
        "INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''), ('鼻部',''), ('双眼皮','眼部'),"
        " ('开眼角','眼部'), ('隆鼻','鼻部'), ('双眼皮','鼻部'), ('无父类', NULL)"};
    // clang-format on
    QSqlQuery q(m_db);
    for (const char *s : seed)
        QVERIFY2(q.exec(JetSql::translate(QString::fromUtf8(s), m_dialect)), qPrintable(q.lastError().text()));
}

// One column (the first unless named) of every row, joined by "|".
QString TestJetSql::rows(const QString &jet, const QString &column)
{
    QSqlQuery q(m_db);
    if (!q.exec(JetSql::translate(jet, m_dialect)))
        return QStringLiteral("error: ") + q.lastError().text();
    QStringList out;
    while (q.next()) {
        // Column names read back in the server's case; Booleans as 1 and 0 on both engines.
        const QVariant v = column.isEmpty() ? q.value(0) : q.value(column);
        out << (v.typeId() == QMetaType::Bool ? QString::number(v.toInt()) : v.toString());
    }
    return out.join(QLatin1Char('|'));
}

void TestJetSql::exec(const QString &jet)
{
    QSqlQuery q(m_db);
    QVERIFY2(q.exec(JetSql::translate(jet, m_dialect)), qPrintable(q.lastError().text()));
}

void TestJetSql::selects_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("result");
    // clang-format off
    QTest::newRow("greatest running number of a day")
        << "SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo WHERE LEFT(客户编号,10) = 'A120060315' ORDER BY 客户编号 DESC"
        << "0003|0002|0001";
    QTest::newRow("chinese hospital number counts characters")
        << "SELECT RIGHT(客户编号,4) FROM tUserInfo WHERE LEFT(客户编号,10) = '甲120060315'" << "0007";
    QTest::newRow("nested and expressions")
        << "SELECT Left(right(客户编号,6),(1)*2) FROM tUserInfo WHERE LEFT((客户编号),5*2)='甲120060315'" << "15";
    QTest::newRow("right of nothing, right beyond the text")
        << "SELECT RIGHT(用户姓名,0) || '/' || RIGHT(用户姓名,9) FROM tUserInfo WHERE 用户姓名='钱七'" << "/钱七";
    QTest::newRow("same-day range leaves out a time of day")
        << "SELECT id FROM Surgery WHERE 手术日期 between #2003-1-15# And #2003-1-15# ORDER BY id" << "1|5";
    QTest::newRow("month/day/year bound")
        << "SELECT id FROM Surgery WHERE 手术日期 between #1/14/2003# And #2003/1/15# ORDER BY id" << "1|3|5";
    QTest::newRow("bound with a time")
        << "SELECT id FROM Surgery WHERE 手术日期 between #2003-1-15# And #2003-1-15 23:59:59# ORDER BY id" << "1|2|5";
    QTest::newRow("no customer number, never listed")
        << "SELECT id FROM Surgery WHERE 客户编号=客户编号 ORDER BY id" << "1|2|3|4";
    QTest::newRow("quote inside a literal")
        << "SELECT id FROM Surgery WHERE 手术医生 like '%O''Neil%'" << "2";
    QTest::newRow("# [ true inside a literal")
        << "SELECT id FROM Surgery WHERE 手术医生='#1 [true]'" << "5";
    QTest::newRow("[Class]") << "SELECT 类别名称 FROM [Class] WHERE 父类别='' ORDER BY id" << "眼部|鼻部";
    QTest::newRow("[class]") << "SELECT 类别名称 FROM [class] WHERE 父类别='' ORDER BY id" << "眼部|鼻部";
    QTest::newRow("[CLASS]") << "SELECT 类别名称 FROM [CLASS] WHERE 父类别='' ORDER BY id" << "眼部|鼻部";
    QTest::newRow("true") << "SELECT UserName FROM SysManager WHERE IsSYS=true" << "Admin";
    QTest::newRow("FALSE") << "SELECT UserName FROM SysManager WHERE IsSYS=FALSE" << "guest";
    QTest::newRow("like ignores case") << "SELECT UserName FROM SysManager WHERE UserName like 'ad%'" << "Admin";
    // clang-format on
}

void TestJetSql::selects()
{
    QFETCH(QString, jet);
    QFETCH(QString, result);
    QCOMPARE(rows(jet), result);
}

void TestJetSql::changes_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("check");
    QTest::addColumn<QString>("result");
    // clang-format off
    QTest::newRow("DELETE * removes only the customer's cases")
        << "DELETE * FROM Surgery WHERE 客户编号='A1200603150001'"
        << "SELECT id FROM Surgery ORDER BY id" << "3|4|5";
    QTest::newRow("delete by name at both levels")
        << "Delete from [class] where 类别名称='双眼皮'"
        << "SELECT 类别名称 FROM [Class] ORDER BY id" << "眼部|鼻部|开眼角|隆鼻|无父类";
    QTest::newRow("must login on")
        << "update [Param] set MustLogin=true" << "select MustLogin from  [Param]" << "1";
    QTest::newRow("must login off")
        << "update [Param] set MustLogin=false" << "select MustLogin from  [Param]" << "0";
    // clang-format on
}

void TestJetSql::changes()
{
    QFETCH(QString, change);
    QFETCH(QString, check);
    QFETCH(QString, result);
    exec(QStringLiteral("update [Param] set MustLogin=true")); // so that "off" is a change
    exec(change);
    QCOMPARE(rows(check), result);
}

// The program's own statements, with typed values that hold quotes.
void TestJetSql::builtStatements_data()
{
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("result");
    const QString user = QStringLiteral("UserName"), name = QStringLiteral("类别名称"), id = QStringLiteral("id");
    // clang-format off
    QTest::newRow("login") << Statements::login("Admin", "admin") << user << "Admin";
    QTest::newRow("login, injected password") << Statements::login("Admin", "' OR '1'='1") << user << "";
    QTest::newRow("login, injected name") << Statements::login("' OR 1=1 OR ''='", "x") << user << "";
    QTest::newRow("login, quote in password") << Statements::login("guest", "g'1") << user << "guest";
    QTest::newRow("minor categories") << Statements::minorCategories("眼部") << name << "双眼皮|开眼角";
    QTest::newRow("minor categories, quote") << Statements::minorCategories("眼部' OR ''='") << name << "";
    QTest::newRow("new customer number")
        << Statements::maxCustomerNo("A120060315") << "MaxId" << "0003|0002|0001";
    // clang-format on
    Statements::CaseFilter f;
    f.bySurgeon = true;
    f.surgeon = QStringLiteral("O'N");
    // clang-format off
    QTest::newRow("filter by surgeon with a quote") << Statements::filter(f) + " ORDER BY id" << id << "2";
    // clang-format on
    f = {};
    f.byCategory = f.hasMinor = true;
    f.minor = QStringLiteral("双眼皮");
    f.byDate = true;
    f.from = f.to = QDate(2003, 1, 15);
    // clang-format off
    QTest::newRow("filter by minor and day leaves out a case without customer")
        << Statements::filter(f) + " ORDER BY id" << id << "1";
    QTest::newRow("search") << Statements::search(Statements::searchClause(true, "0315000")) + " ORDER BY id"
                            << id << "1|2|3";
    QTest::newRow("empty search lists every case") << Statements::search(Statements::searchClause(false, "x"))
                                                   << id << "1|2|3|4|5";
    // clang-format on
}

void TestJetSql::builtStatements()
{
    QFETCH(QString, jet);
    QFETCH(QString, column);
    QFETCH(QString, result);
    QCOMPARE(rows(jet, column), result);
}

QTEST_GUILESS_MAIN(TestJetSql)
#include "tst_jetsql.moc"
