// Data sets against temporary databases: paging of long lists, navigation flags, editing with
// hooks that refuse, and the master-detail settle rule on which the records window relies.
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Schema.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <memory>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestDataSet : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;
    TDataMod *m_mod = nullptr;

    void exec(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
        QVERIFY2(q.exec(sql), qPrintable(sql));
    }
    int countRows(const QString &sql)
    {
        QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
        q.exec(sql);
        q.next();
        return q.value(0).toInt();
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        m_install = std::make_unique<TestInstall>();
        m_mod = m_install->mod();
        exec(QStringLiteral(
            "INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070001','甲'),('A1200612070002','乙'),('A1200612070003','丙')"));
        exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200612070001','眼'),('A1200612070001','鼻'),('A1200612070002','眼')"));
    }
    void cleanup()
    {
        m_mod = nullptr;
        m_install.reset();
    }

    void queryPagesThroughLongLists()
    {
        QSqlDatabase db = QSqlDatabase::database(m_mod->ADOConn);
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO Surgery (客户编号, 手术医生) VALUES (?, ?)"));
        for (int i = 0; i < 1000; ++i) {
            q.addBindValue(QStringLiteral("B%1").arg(i, 4, 10, QLatin1Char('0')));
            q.addBindValue(QString::number(i));
            q.exec();
        }
        db.commit();
        QueryDataSet ds(m_mod->ADOConn);
        ds.setSql(QStringLiteral("SELECT * FROM Surgery WHERE 客户编号 like 'B%' ORDER BY 客户编号"));
        ds.open();
        QCOMPARE(ds.recordCount(), 1000);
        QVERIFY(ds.bof());
        QVERIFY(!ds.eof());
        // Rows far apart come from different pages and stay right when read again.
        QCOMPARE(ds.valueAt(700, QStringLiteral("手术医生")).toString(), QStringLiteral("700"));
        QCOMPARE(ds.valueAt(3, QStringLiteral("手术医生")).toString(), QStringLiteral("3"));
        for (int row = 0; row < 1000; row += 37)
            QCOMPARE(ds.valueAt(row, QStringLiteral("手术医生")).toString(), QString::number(row));
        ds.last();
        QVERIFY(ds.eof());
        QCOMPARE(ds.asString(QStringLiteral("客户编号")), QStringLiteral("B0999"));
        QCOMPARE(ds.recNo(), 999);
    }

    void navigationFlags()
    {
        QueryDataSet ds(m_mod->ADOConn);
        ds.setSql(QStringLiteral("SELECT * FROM tUserInfo ORDER BY 客户编号"));
        ds.open();
        QVERIFY(ds.bof() && !ds.eof());
        ds.next();
        QVERIFY(!ds.bof() && !ds.eof());
        ds.next();
        QVERIFY(!ds.eof()); // on the last row, but no move ran into the end yet
        ds.next();
        QVERIFY(ds.eof());
        QCOMPARE(ds.recNo(), 2);
        ds.prior();
        ds.prior();
        QVERIFY(!ds.bof());
        ds.prior();
        QVERIFY(ds.bof());
        QCOMPARE(ds.moveBy(10), 2);
        QVERIFY(ds.eof());
        ds.moveTo(0);
        QVERIFY(!ds.bof()); // a grid click onto the first row is no run into it
    }

    void rejectedStatementLeavesItClosedAndEmptyResultIsNoError()
    {
        QueryDataSet ds(m_mod->ADOConn);
        ds.setSql(QStringLiteral("SELECT * FROM Surgery WHERE 手术大类='a'b'"));
        QVERIFY_THROWS_EXCEPTION(AppError, ds.open());
        QVERIFY(!ds.isActive());
        QCOMPARE(ds.recordCount(), 0);
        ds.setSql(QStringLiteral("SELECT * FROM Surgery WHERE 手术大类='无'"));
        ds.open();
        QVERIFY(ds.isActive());
        QCOMPARE(ds.recordCount(), 0);
        QVERIFY(ds.bof() && ds.eof());
        QCOMPARE(ds.recNo(), -1);
    }

    void editingWithHooks()
    {
        TableDataSet t(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        int newRecords = 0;
        t.setOnNewRecord([&](DataSet &d) {
            ++newRecords;
            d.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070009"));
        });
        t.open();
        QCOMPARE(t.recordCount(), 3);
        t.append();
        QCOMPARE(newRecords, 1);
        QCOMPARE(t.state(), DataSet::Insert);
        QVERIFY(!t.modified()); // what the new-record hook fills is no change
        QCOMPARE(t.recordCount(), 4);
        t.checkBrowseMode(); // unchanged: dropped
        QCOMPARE(t.recordCount(), 3);
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM tUserInfo")), 3);

        t.append();
        t.setValue(QStringLiteral("用户姓名"), QStringLiteral("丁"));
        bool refuse = true;
        t.setBeforePost([&](DataSet &) {
            if (refuse)
                throw Abort();
        });
        QVERIFY_THROWS_EXCEPTION(Abort, t.post());
        QCOMPARE(t.state(), DataSet::Insert); // refused: still editing, nothing written
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM tUserInfo")), 3);
        refuse = false;
        t.post();
        QCOMPARE(t.state(), DataSet::Browse);
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM tUserInfo WHERE 用户姓名='丁'")), 1);

        // A refused new record leaves the data set as it was.
        t.setOnNewRecord([](DataSet &) { throw AppError(QStringLiteral("bad tail")); });
        const int row = t.recNo();
        QVERIFY_THROWS_EXCEPTION(AppError, t.append());
        QCOMPARE(t.state(), DataSet::Browse);
        QCOMPARE(t.recNo(), row);
        QCOMPARE(t.recordCount(), 4);

        // Edit, cancel, delete with a refusing hook, then delete.
        t.first();
        t.edit();
        t.setValue(QStringLiteral("用户姓名"), QStringLiteral("改"));
        t.cancel();
        QCOMPARE(t.asString(QStringLiteral("用户姓名")), QStringLiteral("甲"));
        t.setBeforeDelete([](DataSet &) { throw Abort(); });
        t.edit();
        t.setValue(QStringLiteral("用户姓名"), QStringLiteral("未存"));
        QVERIFY_THROWS_EXCEPTION(Abort, t.remove());
        QCOMPARE(t.recordCount(), 4);
        QCOMPARE(t.state(), DataSet::Edit); // a refused delete keeps what was typed
        QCOMPARE(t.asString(QStringLiteral("用户姓名")), QStringLiteral("未存"));
        t.cancel();
        t.setBeforeDelete(nullptr);
        t.remove();
        QCOMPARE(t.recordCount(), 3);
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM tUserInfo WHERE 用户姓名='甲'")), 0);
    }

    void deleteOnNewRowOnlyDiscardsIt()
    {
        TableDataSet t(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        bool asked = false;
        t.setBeforeDelete([&](DataSet &) { asked = true; });
        t.open();
        t.insert();
        t.setValue(QStringLiteral("客户编号"), QStringLiteral("X"));
        t.remove();
        QVERIFY(!asked);
        QCOMPARE(t.state(), DataSet::Browse);
        QCOMPARE(t.recordCount(), 3);
    }

    void locateExactAndPartial()
    {
        TableDataSet t(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        t.open();
        QVERIFY(t.locate(QStringLiteral("客户编号"), QStringLiteral("A12006120700"), true));
        QCOMPARE(t.asString(QStringLiteral("用户姓名")), QStringLiteral("甲"));
        QVERIFY(t.locate(QStringLiteral("用户姓名"), QStringLiteral("丙")));
        QVERIFY(!t.locate(QStringLiteral("用户姓名"), QStringLiteral("丙丙")));
        QCOMPARE(t.asString(QStringLiteral("用户姓名")), QStringLiteral("丙")); // no match: stays
        QVERIFY(!t.locate(QStringLiteral("客户编号"), QStringLiteral("A12006120700"), false));
    }

    void datesAreStoredPaddedAndCheckedOnSave()
    {
        TableDataSet t(m_mod->ADOConn, QStringLiteral("Surgery"));
        t.setDateFields({QStringLiteral("手术日期")});
        t.open();
        t.edit();
        t.setValue(QStringLiteral("手术日期"), QStringLiteral("2006-3-5"));
        t.post();
        QCOMPARE(t.asString(QStringLiteral("手术日期")), QStringLiteral("2006-03-05"));
        t.edit();
        t.setValue(QStringLiteral("手术日期"), QStringLiteral("next week"));
        QVERIFY_THROWS_EXCEPTION(AppError, t.post());
        QCOMPARE(t.state(), DataSet::Edit);
    }

    void detailFollowsMasterAndNewRowsBelongToIt()
    {
        TableDataSet customers(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        TableDataSet cases(m_mod->ADOConn, QStringLiteral("Surgery"));
        cases.setMaster(&customers, QStringLiteral("客户编号"));
        cases.setOrderBy(QStringLiteral("客户编号"));
        customers.open();
        cases.open();
        QCOMPARE(cases.recordCount(), 2);
        customers.next();
        QCOMPARE(cases.recordCount(), 1);
        customers.next();
        QCOMPARE(cases.recordCount(), 0);
        cases.append();
        QCOMPARE(cases.asString(QStringLiteral("客户编号")), QStringLiteral("A1200612070003"));
        cases.setValue(QStringLiteral("手术大类"), QStringLiteral("唇"));
        // Leaving the customer saves the changed case under the customer who owns it.
        customers.first();
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM Surgery WHERE 客户编号='A1200612070003'")), 1);
        QCOMPARE(cases.recordCount(), 2);
    }

    void settleRuleDropsUnchangedAndStopsOnRefusal()
    {
        TableDataSet customers(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        TableDataSet cases(m_mod->ADOConn, QStringLiteral("Surgery"));
        cases.setMaster(&customers, QStringLiteral("客户编号"));
        customers.open();
        cases.open();
        // An unchanged new case is dropped when the customer is left.
        cases.append();
        customers.next();
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM Surgery")), 3);
        // A changed case whose save is refused keeps the customer where it is.
        cases.setBeforePost([](DataSet &d) {
            if (d.asString(QStringLiteral("手术大类")).isEmpty())
                throw Abort();
        });
        cases.edit();
        cases.setValue(QStringLiteral("手术大类"), QString());
        QVERIFY_THROWS_EXCEPTION(Abort, customers.next());
        QCOMPARE(customers.recNo(), 1);
        QCOMPARE(cases.state(), DataSet::Edit);
        // The customer's own save, cancel and delete settle the case first, too.
        customers.edit();
        customers.setValue(QStringLiteral("用户姓名"), QStringLiteral("乙乙"));
        QVERIFY_THROWS_EXCEPTION(Abort, customers.post());
        QCOMPARE(customers.state(), DataSet::Edit);
        cases.cancel();
        customers.post();
        QCOMPARE(countRows(QStringLiteral("SELECT COUNT(*) FROM tUserInfo WHERE 用户姓名='乙乙'")), 1);
    }

    void readOnlyDataSetsRefuseChanges()
    {
        QueryDataSet q(m_mod->ADOConn);
        q.setSql(QStringLiteral("SELECT * FROM tUserInfo"));
        q.open();
        QVERIFY_THROWS_EXCEPTION(AppError, q.edit());
        TableDataSet t(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        t.setReadOnly(true);
        t.open();
        QVERIFY_THROWS_EXCEPTION(AppError, t.insert());
        QVERIFY_THROWS_EXCEPTION(AppError, t.setValue(QStringLiteral("用户姓名"), QStringLiteral("x")));
    }
};

QTEST_GUILESS_MAIN(TestDataSet)
#include "tst_dataset.moc"
