// Customer numbers: the date stamp, the running number after the greatest saved number of the
// prefix, and the error for a hand-edited tail that is not a number.
#include "data/AppError.h"
#include "data/CustomerNo.h"
#include "data/Schema.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <memory>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestCustomerNo : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    TDataMod *m_mod = nullptr;

    void exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
        QVERIFY2(q.exec(sql), qPrintable(sql));
    }
    void addCustomers(const QStringList &numbers)
    {
        for (const QString &n : numbers)
            exec(QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('%1')").arg(n));
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_mod = m_install->mod();
    }
    void cleanup()
    {
        m_mod = nullptr;
        m_install.reset();
    }

    void dateStamp_data()
    {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QString>("stamp");
        // clang-format off
        QTest::newRow("padded month and day") << QDate(2006, 12, 7) << "20061207";
        QTest::newRow("both padded") << QDate(2003, 1, 5) << "20030105";
        QTest::newRow("none padded") << QDate(2024, 10, 31) << "20241031";
        // clang-format on
    }
    void dateStamp()
    {
        QFETCH(QDate, date);
        QFETCH(QString, stamp);
        QCOMPARE(CustomerNo::DateStamp(date), stamp);
    }

    void runningNumber_data()
    {
        QTest::addColumn<QString>("maxId");
        QTest::addColumn<QString>("next");
        // clang-format off
        QTest::newRow("0001") << "0001" << "0002";
        QTest::newRow("0009") << "0009" << "0010";
        QTest::newRow("0999") << "0999" << "1000";
        QTest::newRow("9999 grows to five digits") << "9999" << "10000";
        QTest::newRow("leading blanks") << "  12" << "0013";
        QTest::newRow("hex as the platform reads it") << "$00F" << "0016";
        // clang-format on
    }
    void runningNumber()
    {
        QFETCH(QString, maxId);
        QFETCH(QString, next);
        QCOMPARE(CustomerNo::nextRunningNumber(maxId), next);
    }

    void nonNumericTailIsAnError_data()
    {
        QTest::addColumn<QString>("maxId");
        // clang-format off
        QTest::newRow("letter inside") << "12a4";
        QTest::newRow("trailing blank") << "123 ";
        QTest::newRow("empty") << "";
        QTest::newRow("Chinese") << "一二三四";
        // clang-format on
    }
    void nonNumericTailIsAnError()
    {
        QFETCH(QString, maxId);
        try {
            CustomerNo::nextRunningNumber(maxId);
            QFAIL("no error");
        } catch (const AppError &e) {
            QCOMPARE(e.text(), QStringLiteral("'%1' is not a valid integer value").arg(maxId));
        }
    }

    void makeFromSavedRows_data()
    {
        QTest::addColumn<QStringList>("saved");
        QTest::addColumn<QString>("hospitalNo");
        QTest::addColumn<QString>("expected");
        const QString day = QStringLiteral("A120061207");
        // clang-format off
        QTest::newRow("first of the day") << QStringList() << "A1" << day + "0001";
        QTest::newRow("after 0009") << QStringList{day + "0003", day + "0009", day + "0002"} << "A1"
                                    << day + "0010";
        QTest::newRow("after 0999") << QStringList{day + "0999"} << "A1" << day + "1000";
        QTest::newRow("other days and hospitals do not count")
            << QStringList{"A1200612060042", "B1200612070042", "A1200612080042"} << "A1" << day + "0001";
        QTest::newRow("other hospital number") << QStringList{day + "0005", "B1200612070002"} << "B1"
                                               << "B1200612070003";
        QTest::newRow("one-character hospital number") << QStringList{"B200612070007", "B2200612070009"}
                                                       << "B" << "B200612070008";
        QTest::newRow("quote in hospital number") << QStringList{day + "0004"} << "A'" << "A'200612070001";
        // clang-format on
    }
    void makeFromSavedRows()
    {
        QFETCH(QStringList, saved);
        QFETCH(QString, hospitalNo);
        QFETCH(QString, expected);
        addCustomers(saved);
        QCOMPARE(CustomerNo::MakeCustomerNo(m_mod->ADOQuery, hospitalNo, QDate(2006, 12, 7)), expected);
    }

    void handEditedGreatestNumberFails()
    {
        addCustomers({QStringLiteral("A1200612070003"), QStringLiteral("A120061207003x")});
        QVERIFY_THROWS_EXCEPTION(AppError,
                                 CustomerNo::MakeCustomerNo(m_mod->ADOQuery, QStringLiteral("A1"), QDate(2006, 12, 7)));
    }
};

QTEST_GUILESS_MAIN(TestCustomerNo)
#include "tst_customerno.moc"
