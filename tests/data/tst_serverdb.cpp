// Setting up a server: init makes the tables and the initial rows and leaves a server with
// tables alone unless forced; migrate copies an installation's SQLite database with its keys,
// Booleans and dates, refuses a server in use, and the program then works on the copy.
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Schema.h"
#include "data/SchemaUpgrade.h"
#include "data/ServerDb.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestServerDb : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<TestDatabase> m_server;
    QString m_conn;

    QSqlDatabase server() const { return QSqlDatabase::database(m_conn, false); }
    QVariant scalar(const QSqlDatabase &db, const QString &sql)
    {
        QSqlQuery q(db);
        if (!q.exec(sql) || !q.next())
            throw AppError(sql);
        return q.value(0);
    }
    // An installation's file with a few rows of every table.
    QString makeInstallation()
    {
        const QString folder = m_dir.filePath(QStringLiteral("old/"));
        Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
        const QString name = QStringLiteral("oldfile");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(folder + QStringLiteral("Data/Data.mdb"));
            db.open();
            QSqlQuery q(db);
            for (const char *s :
                 {"UPDATE Param SET MustLogin=1",
                  "INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('nurse','n''1',0)",
                  "INSERT INTO tUserInfo (id, 客户编号, 用户姓名) VALUES (7,'A1200612070001','张'),(9,'A1200612070002','李')",
                  "INSERT INTO Surgery (客户编号, 手术大类, 手术日期, 手术前) VALUES "
                  "('A1200612070001','眼部','2006-12-07','A1200612070001\\face.jpg'),('A1200612070002','鼻部',NULL,NULL)",
                  "INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''),('双眼皮','眼部'),('无父类',NULL)",
                  "INSERT INTO AuditLog (At, UserName, Host, Action) VALUES ('2006-12-07T01:02:03.000Z','nurse','ws1','login')",
                  "INSERT INTO PictureAlignment (BeforePicture, AfterPicture, Transform, Method, ChangedAt, ChangedBy) "
                  "VALUES ('a.jpg','b.jpg','1 0 0 0','manual','2006-12-07T01:02:03.000Z','nurse')",
                  "INSERT INTO CaseConsent (CaseId, Level, SignedOn, ChangedAt, ChangedBy) "
                  "VALUES (1, 2, '2006-12-07', '2006-12-07T01:02:03.000Z', 'nurse')"})
                if (!q.exec(QString::fromUtf8(s)))
                    throw AppError(QString::fromUtf8(s));
        }
        QSqlDatabase::removeDatabase(name);
        return folder;
    }

private slots:
    void initTestCase()
    {
        BELCARA_SKIP_WITHOUT_ENGINE();
        if (!TestDatabase::postgres())
            QSKIP("a PostgreSQL server only");
    }
    void init()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("new"));
        m_server = std::make_unique<TestDatabase>(m_dir.filePath(QStringLiteral("new/")), false);
        m_conn = m_server->connect();
    }
    void cleanup()
    {
        TestDatabase::disconnect(m_conn);
        m_server.reset();
        QDir(m_dir.filePath(QStringLiteral("old"))).removeRecursively();
    }

    void initMakesTablesAndInitialRowsOnce()
    {
        ServerDb::init(server(), false);
        QCOMPARE(ServerDb::existingTables(server()).size(), 5);
        QCOMPARE(scalar(server(), "SELECT count(*) FROM sysmanager WHERE username='Admin' AND pwd='admin' AND issys")
                     .toInt(),
                 1);
        QCOMPARE(scalar(server(), "SELECT count(*) FROM param WHERE NOT mustlogin").toInt(), 1);
        QCOMPARE(ServerDb::dataBeyondInit(server()), QString());
        QSqlQuery(server()).exec("INSERT INTO class (类别名称, 父类别) VALUES ('眼部','')");
        try {
            ServerDb::init(server(), false);
            QFAIL("init ran over existing tables");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains("--force"), qPrintable(e.text()));
        }
        QCOMPARE(scalar(server(), "SELECT count(*) FROM class").toInt(), 1);
        ServerDb::init(server(), true);
        QCOMPARE(scalar(server(), "SELECT count(*) FROM class").toInt(), 0);
    }

    void migrateCopiesEveryRowAndTheProgramWorksOnIt()
    {
        const QString folder = makeInstallation();
        ServerDb::init(server(), false); // a fresh init does not count as data
        const auto counts = ServerDb::migrate(ServerDb::sqlitePathFor(folder), server(), false);
        // The five tables, then the file's audit log, alignments, case and photo consents.
        QCOMPARE(counts.size(), 9);
        QCOMPARE(counts.at(5).table, QStringLiteral("AuditLog"));
        QCOMPARE(counts.last().table, QStringLiteral("PictureConsent"));
        const QList<qint64> expected{2, 2, 3, 2, 1, 1, 1, 1, 0};
        for (int i = 0; i < 9; ++i) {
            QCOMPARE(counts[i].source, expected[i]);
            QCOMPARE(counts[i].copied, expected[i]);
        }
        QCOMPARE(SchemaUpgrade::version(server()), SchemaUpgrade::newestVersion());
        QCOMPARE(scalar(server(), "SELECT string_agg(id || 客户编号, ',' ORDER BY id) FROM tuserinfo").toString(),
                 QStringLiteral("7A1200612070001,9A1200612070002"));
        QCOMPARE(scalar(server(), "SELECT 手术前 FROM surgery WHERE 手术日期='2006-12-07'").toString(),
                 QStringLiteral("A1200612070001\\face.jpg"));
        QCOMPARE(scalar(server(), "SELECT count(*) FROM class WHERE 父类别 IS NULL").toInt(), 1);
        // A deleted case takes its consent with it, so a case given its number later starts
        // without one.
        QVERIFY(scalar(server(), "DELETE FROM surgery WHERE id = 1 RETURNING id").isValid());
        QCOMPARE(scalar(server(), "SELECT count(*) FROM caseconsent").toInt(), 0);

        // The program on the server: login switch, accounts, and a new customer after the keys.
        TDataMod mod(m_dir.filePath(QStringLiteral("new")));
        mod.DataModuleCreate();
        QCOMPARE(mod.ReadMustLogin(), true);
        TableDataSet accounts(mod.ADOConn, QStringLiteral("SysManager"));
        accounts.open();
        QVERIFY(accounts.locate(QStringLiteral("UserName"), QStringLiteral("nurse")));
        QCOMPARE(accounts.asBool(QStringLiteral("IsSYS")), false);
        accounts.edit();
        accounts.setValue(QStringLiteral("IsSYS"), 1); // as a check box or text box gives it
        accounts.post();
        QCOMPARE(scalar(server(), "SELECT issys FROM sysmanager WHERE username='nurse'").toBool(), true);
        TableDataSet customers(mod.ADOConn, QStringLiteral("tUserInfo"));
        customers.open();
        customers.append();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070003"));
        customers.post();
        QCOMPARE(customers.rowId(customers.recNo()).toInt(), 10);

        // Now the server is in use: a second migrate needs --force, which replaces everything.
        try {
            ServerDb::migrate(ServerDb::sqlitePathFor(folder), server(), false);
            QFAIL("migrated over data");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains("tuserinfo: 3 rows"), qPrintable(e.text()));
        }
        ServerDb::migrate(folder + QStringLiteral("Data/Data.mdb"), server(), true);
        QCOMPARE(scalar(server(), "SELECT count(*) FROM tuserinfo").toInt(), 2);
    }

    void failedMigrateKeepsTheServerAsItWas()
    {
        const QString folder = makeInstallation();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dup"));
            db.setDatabaseName(folder + QStringLiteral("Data/Data.mdb"));
            db.open();
            QSqlQuery q(db);
            QVERIFY(q.exec("DROP INDEX tUserInfo_客户编号"));
            QVERIFY(q.exec("INSERT INTO tUserInfo (客户编号) VALUES ('A1200612070001')"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("dup"));
        ServerDb::init(server(), false);
        QVERIFY_THROWS_EXCEPTION(AppError, ServerDb::migrate(ServerDb::sqlitePathFor(folder), server(), false));
        QCOMPARE(scalar(server(), "SELECT count(*) FROM sysmanager").toInt(), 1); // init's rows remain
        QVERIFY_THROWS_EXCEPTION(AppError, ServerDb::migrate(m_dir.filePath("nowhere"), server(), false));
    }
};

QTEST_GUILESS_MAIN(TestServerDb)
#include "tst_serverdb.moc"
