// The data module: where the database is looked for, what a missing one says, and the login
// switch read and written only when it changes.
#include "AppError.h"
#include "Db.h"
#include "Schema.h"
#include "Unit_DataMod.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestDataMod : public QObject {
    Q_OBJECT
    QStringList m_sent;

private slots:
    void init()
    {
        m_sent.clear();
        Db::setObserver([this](const QString &s) { m_sent << s; });
    }
    void cleanup() { Db::setObserver(nullptr); }

    void connectionStringKeepsTheFolderUnchanged()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("诊所 程序/"));
        Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
        TDataMod mod(folder);
        mod.DataModuleCreate();
        QVERIFY(mod.isConnected());
        QCOMPARE(mod.connectionString(),
                 QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=") + folder
                     + QStringLiteral("Data/Data.mdb;Persist Security Info=false;"));
    }

    void missingOrBrokenDatabaseIsReportedAndNeverCreated()
    {
        QTemporaryDir dir;
        TDataMod mod(dir.path());
        try {
            mod.OpenDatabase();
            QFAIL("a missing database opened");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("Data/Data.mdb")), qPrintable(e.text()));
        }
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Data/Data.mdb"))));
        QVERIFY(!mod.isConnected());

        QDir(dir.path()).mkpath(QStringLiteral("Data"));
        QFile f(dir.filePath(QStringLiteral("Data/Data.mdb")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        QVERIFY_THROWS_EXCEPTION(AppError, mod.OpenDatabase());
    }

    void mustLoginIsWrittenOnlyWhenChanged()
    {
        QTemporaryDir dir;
        Schema::createDatabase(dir.filePath(QStringLiteral("Data/Data.mdb")));
        TDataMod mod(dir.path());
        mod.OpenDatabase();
        QCOMPARE(mod.ReadMustLogin(), false);
        QCOMPARE(m_sent, QStringList{QStringLiteral("select * from  [Param]")});
        mod.WriteMustLogin(false);
        QCOMPARE(m_sent.size(), 1);
        mod.WriteMustLogin(true);
        QCOMPARE(m_sent.last(), QStringLiteral("update [Param] set MustLogin=true"));
        QCOMPARE(mod.ReadMustLogin(), true);
        mod.WriteMustLogin(false);
        QCOMPARE(m_sent.last(), QStringLiteral("update [Param] set MustLogin=false"));
        QCOMPARE(mod.ReadMustLogin(), false);
    }

    void emptyParamTableMeansNoLogin()
    {
        QTemporaryDir dir;
        Schema::createDatabase(dir.filePath(QStringLiteral("Data/Data.mdb")));
        TDataMod mod(dir.path());
        mod.OpenDatabase();
        QSqlQuery(QSqlDatabase::database(mod.ADOConn)).exec(QStringLiteral("DELETE FROM Param"));
        QCOMPARE(mod.ReadMustLogin(), false);
        mod.WriteMustLogin(true);           // changes no row, reports nothing
        QCOMPARE(mod.ReadMustLogin(), false);
    }

    void suppliedDatabaseHasAdminAndNoLogin()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Data/Data.mdb"));
        Schema::createDatabase(path);
        QVERIFY_THROWS_EXCEPTION(AppError, Schema::createDatabase(path));   // never overwritten
        TDataMod mod(dir.path());
        mod.OpenDatabase();
        mod.ADOQuery.setSql(QStringLiteral("SELECT * FROM SysManager WHERE UserName='Admin'"));
        mod.ADOQuery.open();
        QCOMPARE(mod.ADOQuery.recordCount(), 1);
        QVERIFY(mod.ADOQuery.value(0, QStringLiteral("IsSYS")).toInt() != 0);
    }
};

QTEST_GUILESS_MAIN(TestDataMod)
#include "tst_datamod.moc"
