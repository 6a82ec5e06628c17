// Two workstations on one database (two connections to the same SQLite file or the same
// PostgreSQL database): customers created at the same moment get distinct numbers, a typed
// number that collides is refused, and two saves of one customer leave the later one.
#include "data/AppError.h"
#include "data/CustomerNo.h"
#include "data/CustomerTable.h"
#include "data/Db.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
const QString kNo = QStringLiteral("客户编号");
const QDate kDay(2024, 3, 5);

// One workstation: its own connection and its customer table as the records window makes it.
struct Workstation {
    TDataMod mod;
    CustomerTable table;
    explicit Workstation(const QString &folder)
        : mod(folder), table(mod.ADOConn, [this] { return CustomerNo::MakeCustomerNo(mod.ADOQuery, "A1", kDay); })
    {
        mod.DataModuleCreate();
        table.setOnNewRecord([this](DataSet &ds) {
            const QString no = CustomerNo::MakeCustomerNo(mod.ADOQuery, "A1", kDay);
            ds.setValue(kNo, no);
            table.setGeneratedNo(no);
        });
        table.open();
    }
};
} // namespace

class TestWorkstations : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TestDatabase> m_database;

    QString folder() const { return m_dir.path() + QLatin1Char('/'); }
    QStringList savedNumbers()
    {
        TDataMod mod(folder());
        mod.DataModuleCreate();
        mod.ADOQuery.setSql(QStringLiteral("SELECT 客户编号 FROM tUserInfo ORDER BY 客户编号"));
        mod.ADOQuery.open();
        QStringList out;
        for (int i = 0; i < mod.ADOQuery.recordCount(); ++i)
            out << mod.ADOQuery.value(i, 0).toString();
        return out;
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        QFile::remove(m_dir.filePath(QStringLiteral("Data/Data.mdb")));
        m_database = std::make_unique<TestDatabase>(folder());
    }
    void cleanup() { m_database.reset(); }

    void interleavedNewCustomersGetDistinctNumbers()
    {
        Workstation a(folder()), b(folder());
        QStringList renumbered;
        b.table.setOnRenumbered([&](const QString &from, const QString &to) { renumbered << from + "->" + to; });
        for (int i = 0; i < 200; ++i) {
            // Both start a customer before either saves: both are given the same number.
            a.table.append();
            b.table.append();
            QCOMPARE(a.table.asString(kNo), b.table.asString(kNo));
            a.table.setValue(QStringLiteral("用户姓名"), QStringLiteral("甲%1").arg(i));
            b.table.setValue(QStringLiteral("用户姓名"), QStringLiteral("乙%1").arg(i));
            if (i % 2) {
                b.table.post();
                a.table.post();
            } else {
                a.table.post();
                b.table.post();
            }
            QCOMPARE(a.table.state(), DataSet::Browse);
            QCOMPARE(b.table.state(), DataSet::Browse);
        }
        QStringList expected;
        for (int n = 1; n <= 400; ++n)
            expected << QStringLiteral("A120240305%1").arg(n, 4, 10, QLatin1Char('0'));
        const QStringList saved = savedNumbers();
        QCOMPARE(saved.size(), 400);
        QCOMPARE(saved, expected);
        QCOMPARE(renumbered.size(), 100); // b saved second on every even round
        // Each table shows its own rows under the numbers really saved.
        QCOMPARE(b.table.asString(kNo), b.table.valueAt(b.table.recNo(), kNo).toString());
        QCOMPARE(QSet<QString>(saved.begin(), saved.end()).size(), 400);
    }

    void typedNumberThatCollidesIsRefused()
    {
        Workstation a(folder()), b(folder());
        a.table.append();
        a.table.post();
        b.table.append();
        b.table.setValue(kNo, QStringLiteral("A120240305%1").arg(1, 4, 10, QLatin1Char('0')));
        try {
            b.table.post();
            QFAIL("a repeated number was saved");
        } catch (const DuplicateKey &e) {
            QVERIFY(!e.text().isEmpty());
        }
        QCOMPARE(b.table.state(), DataSet::Insert); // the user can change it and save again
        QCOMPARE(savedNumbers(), QStringList{"A1202403050001"});
        b.table.setValue(kNo, QStringLiteral("A1202403059000"));
        b.table.post();
        QCOMPARE(savedNumbers().size(), 2);
    }

    void editedNumberOfSavedCustomerIsNeverChanged()
    {
        Workstation a(folder()), b(folder());
        a.table.append();
        a.table.post();
        b.table.append();
        b.table.post();
        b.table.refresh();
        b.table.locate(kNo, QStringLiteral("A1202403050002"));
        b.table.edit();
        b.table.setValue(kNo, QStringLiteral("A1202403050001"));
        QVERIFY_THROWS_EXCEPTION(DuplicateKey, b.table.post());
        QCOMPARE(savedNumbers(), (QStringList{"A1202403050001", "A1202403050002"}));
    }

    // Both workstations change the same customer; each save writes the whole row, so the later
    // one stands as it was typed there and no row is repeated or mixed.
    void laterSaveOfOneCustomerWins()
    {
        Workstation a(folder());
        a.table.append();
        a.table.setValue(QStringLiteral("用户姓名"), QStringLiteral("原名"));
        a.table.post();
        Workstation b(folder());
        a.table.edit();
        b.table.edit();
        a.table.setValue(QStringLiteral("用户姓名"), QStringLiteral("甲改"));
        b.table.setValue(QStringLiteral("电话"), QStringLiteral("555"));
        a.table.post();
        b.table.post();
        Workstation c(folder());
        QCOMPARE(c.table.recordCount(), 1);
        QCOMPARE(c.table.asString(QStringLiteral("用户姓名")), QStringLiteral("原名"));
        QCOMPARE(c.table.asString(QStringLiteral("电话")), QStringLiteral("555"));
    }
};

QTEST_GUILESS_MAIN(TestWorkstations)
#include "tst_workstations.moc"
