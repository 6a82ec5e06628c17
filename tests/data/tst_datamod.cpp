// The data module: where the database is looked for, what a missing one says, and the login
// switch read and written only when it changes.
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "data/Schema.h"
#include "data/Unit_DataMod.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "support/TestDatabase.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <sys/wait.h>
#include <cstdio>

// A TCP socket on 127.0.0.1 that listens (the kernel completes connections) but never answers.
struct SilentPort {
    int fd = -1;
    quint16 port = 0;
    explicit SilentPort(bool listening)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening)
            ::listen(fd, 4);
        else
            close();
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    ~SilentPort() { close(); }
};

// A server on 127.0.0.1 that declines to encrypt: it answers libpq's encryption requests with 'N'.
struct PlainOnlyServer {
    SilentPort port{true};
    std::thread thread;
    PlainOnlyServer()
    {
        thread = std::thread([fd = port.fd] {
            const int c = ::accept(fd, nullptr, nullptr);
            if (c < 0)
                return;
            unsigned char request[8];
            for (int i = 0; i < 2 && ::recv(c, request, sizeof request, MSG_WAITALL) == 8; ++i)
                if (::send(c, "N", 1, MSG_NOSIGNAL) != 1)
                    break;
            ::close(c);
        });
    }
    ~PlainOnlyServer()
    {
        ::shutdown(port.fd, SHUT_RDWR);
        thread.join();
    }
};

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

class TestDataMod : public QObject {
    Q_OBJECT
    QStringList m_sent;
    QTemporaryDir m_settingsDir;

    // Makes the folder's database.conf the connection file, with the keys of section Database.
    void useConfig(const QTemporaryDir &dir, const QList<QPair<QString, QString>> &entries)
    {
        const QString path = dir.filePath(QStringLiteral("database.conf"));
        TestDatabase::writeConfig(path, entries);
        DbEngine::setConfigPath(path);
    }

private slots:
    void initTestCase()
    {
        BELCARA_SKIP_WITHOUT_ENGINE();
        // The machine's own files must not choose the engine of these tests.
        Settings::setPath(m_settingsDir.filePath(QStringLiteral("Belcara.ini")));
        DbEngine::setConfigPath(m_settingsDir.filePath(QStringLiteral("database.conf")));
    }
    void init()
    {
        m_sent.clear();
        Db::setObserver([this](const QString &s) { m_sent << s; });
    }
    void cleanup()
    {
        Db::setObserver(nullptr);
        DbEngine::setConfigPath(m_settingsDir.filePath(QStringLiteral("database.conf")));
    }

    void connectionStringKeepsTheFolderUnchanged()
    {
        if (TestDatabase::postgres())
            QSKIP("the SQLite file only");
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("诊所 程序/"));
        Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
        TDataMod mod(folder);
        mod.DataModuleCreate();
        QVERIFY(mod.isConnected());
        QCOMPARE(mod.connectionString(), QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=")
                                             + folder + QStringLiteral("Data/Data.mdb;Persist Security Info=false;"));
    }

    void missingOrBrokenDatabaseIsReportedAndNeverCreated()
    {
        if (TestDatabase::postgres())
            QSKIP("the SQLite file only");
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
        TestDatabase database(dir.path() + QLatin1Char('/'));
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
        TestDatabase database(dir.path() + QLatin1Char('/'));
        TDataMod mod(dir.path());
        mod.OpenDatabase();
        QSqlQuery(QSqlDatabase::database(mod.ADOConn)).exec(QStringLiteral("DELETE FROM Param"));
        QCOMPARE(mod.ReadMustLogin(), false);
        mod.WriteMustLogin(true); // changes no row, reports nothing
        QCOMPARE(mod.ReadMustLogin(), false);
    }

    void suppliedDatabaseHasAdminAndNoLogin()
    {
        QTemporaryDir dir;
        TestDatabase database(dir.path() + QLatin1Char('/'));
        if (!database.isPostgres()) {
            const QString path = dir.filePath(QStringLiteral("Data/Data.mdb"));
            QVERIFY_THROWS_EXCEPTION(AppError, Schema::createDatabase(path)); // never overwritten
        }
        TDataMod mod(dir.path());
        mod.OpenDatabase();
        mod.ADOQuery.setSql(QStringLiteral("SELECT * FROM SysManager WHERE UserName='Admin'"));
        mod.ADOQuery.open();
        QCOMPARE(mod.ADOQuery.recordCount(), 1);
        QVERIFY(mod.ADOQuery.value(0, QStringLiteral("IsSYS")).toInt() != 0);
        QCOMPARE(mod.ADOQuery.value(0, QStringLiteral("Pwd")).toString(), QStringLiteral("admin"));
    }

    // A user who may read the database file but not write it (nor its folder) can browse: the
    // file is opened read-only, and every save is refused with one message. Run as such a user
    // in a child process (root gives up its rights there; others lose the write bits).
    void readOnlyDatabaseOpensForBrowsing()
    {
        if (TestDatabase::postgres())
            QSKIP("the SQLite file only");
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        const QString path = folder + QStringLiteral("Data/Data.mdb");
        Schema::createDatabase(path);
        const QString settings = Settings::path();
        const bool root = ::geteuid() == 0;
        for (const QString &f : {dir.path(), folder + QStringLiteral("Data")})
            QFile::setPermissions(f, QFileDevice::Permissions(0x7555));
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther
                                        | (root ? QFileDevice::WriteOwner : QFileDevice::Permissions()));
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            int failed = 0;
            auto check = [&failed](bool ok, const char *what) {
                if (!ok) {
                    std::fprintf(stderr, "read-only database: %s\n", what);
                    failed = 1;
                }
            };
            if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(3);
            try {
                // This user reads neither the test's settings nor its connection file: with
                // none there, the program opens its own database file.
                Settings::setPath(QStringLiteral("/nonexistent/Belcara.ini"));
                DbEngine::setConfigPath(QStringLiteral("/nonexistent/database.conf"));
                TDataMod mod(folder);
                mod.DataModuleCreate();
                check(mod.isReadOnly(), "not marked read-only");
                check(!mod.ReadMustLogin(), "cannot read the login switch");
                mod.ADOQuery.setSql(QStringLiteral("SELECT * FROM SysManager WHERE UserName='Admin'"));
                mod.ADOQuery.open();
                check(mod.ADOQuery.recordCount() == 1, "cannot read the accounts");
                try {
                    mod.WriteMustLogin(true);
                    check(false, "a write went through");
                } catch (const AppError &e) {
                    check(e.text() == Db::readOnlyText(), qPrintable(e.text()));
                }
                TableDataSet classes(mod.ADOConn, QStringLiteral("Class"));
                classes.open();
                classes.append();
                classes.setValue(QStringLiteral("类别名称"), QStringLiteral("眼部"));
                try {
                    classes.post();
                    check(false, "a row was saved");
                } catch (const AppError &e) {
                    check(e.text() == Db::readOnlyText(), qPrintable(e.text()));
                }
                check(classes.state() == DataSet::Insert, "the refused row was not kept");
            } catch (const AppError &e) {
                std::fprintf(stderr, "read-only database: %s\n", qPrintable(e.text()));
                ::_exit(2);
            }
            ::_exit(failed);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        for (const QString &f : {folder + QStringLiteral("Data"), dir.path()})
            QFile::setPermissions(f, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        Settings::setPath(settings);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        // Nothing was written beside the database either.
        QCOMPARE(QDir(folder + QStringLiteral("Data")).entryList(QDir::Files | QDir::Hidden), QStringList{"Data.mdb"});
    }

    // ---- the engine chosen by the connection file ----

    void serverConnectionString_data()
    {
        QTest::addColumn<QStringList>("lines"); // key=value of section Database
        QTest::addColumn<QString>("conninfo");
        QTest::newRow("service only") << QStringList{"Engine=PostgreSQL", "Service=clinic"}
                                      << "connect_timeout=5 sslmode=require service=clinic";
        QTest::newRow("single keys and timeout")
            << QStringList{"Engine=postgresql", "Host=db.clinic", "Port=5433",
                           "Database=belcara",  "User=desk1",     "ConnectTimeout=3"}
            << "connect_timeout=3 sslmode=require host=db.clinic port=5433 dbname=belcara user=desk1";
        QTest::newRow("blank and quote quoted") << QStringList{"Engine=PostgreSQL", "Database=诊所 o'k"}
                                                << "connect_timeout=5 sslmode=require dbname='诊所 o\\'k'";
        QTest::newRow("options last (their sslmode wins), bad timeout ignored")
            << QStringList{"Engine=PostgreSQL", "Service=a", "Options=sslmode=verify-full", "ConnectTimeout=x"}
            << "connect_timeout=5 sslmode=require service=a sslmode=verify-full";
        QTest::newRow("a password in the file is not passed on")
            << QStringList{"Engine=PostgreSQL", "Service=a", "Password=secret"}
            << "connect_timeout=5 sslmode=require service=a";
    }
    void serverConnectionString()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, conninfo);
        QTemporaryDir dir;
        QList<QPair<QString, QString>> entries;
        for (const QString &l : lines)
            entries.append({l.section('=', 0, 0), l.section('=', 1)});
        useConfig(dir, entries);
        const DbEngine::Choice c = DbEngine::fromConfig();
        QCOMPARE(c.engine, DbEngine::Engine::PostgreSQL);
        QCOMPARE(DbEngine::conninfo(c.server), conninfo);
    }

    // Whoever can change the connection file chooses the server every login goes to: a file that
    // anyone but root could have written is refused before any connection is tried.
    void untrustedConnectionFileIsRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("writable by others") << "0666";
        QTest::newRow("writable by the group") << "0664";
        QTest::newRow("a symbolic link") << "link";
        QTest::newRow("a folder") << "folder";
        QTest::newRow("owned by another user") << "owner";
    }
    void untrustedConnectionFileIsRefused()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("owner") && ::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("database.conf"));
        const QString good = dir.filePath(QStringLiteral("good.conf"));
        // A server nobody listens on: were the file obeyed, the error would be libpq's.
        const quint16 port = SilentPort(false).port;
        const QList<QPair<QString, QString>> entries{{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")},
                                                     {QStringLiteral("Host"), QStringLiteral("127.0.0.1")},
                                                     {QStringLiteral("Port"), QString::number(port)}};
        if (kind == QLatin1String("link")) {
            TestDatabase::writeConfig(good, entries);
            QVERIFY(QFile::link(good, path));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("database.conf")));
        } else {
            TestDatabase::writeConfig(path, entries);
            const QByteArray name = QFile::encodeName(path);
            if (kind == QLatin1String("owner"))
                QCOMPARE(::chown(name.constData(), 65534, 65534), 0);
            else
                QCOMPARE(::chmod(name.constData(), mode_t(kind.toInt(nullptr, 8))), 0);
        }
        DbEngine::setConfigPath(path);
        TDataMod mod(dir.path());
        try {
            mod.DataModuleCreate();
            QFAIL("the connection file was obeyed");
        } catch (const AppError &e) {
            QVERIFY2(e.text().startsWith(QStringLiteral("数据库连接文件 ") + path), qPrintable(e.text()));
            QVERIFY2(e.text().contains(QStringLiteral("root")), qPrintable(e.text()));
        }
        QVERIFY(!mod.isConnected());
    }

    // A server that cannot encrypt is refused with libpq's own words unless the connection file
    // allows it.
    void unencryptedServerIsRefused()
    {
        PlainOnlyServer server;
        QTemporaryDir dir;
        useConfig(dir, {{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")},
                        {QStringLiteral("Host"), QStringLiteral("127.0.0.1")},
                        {QStringLiteral("Port"), QString::number(server.port.port)},
                        {QStringLiteral("ConnectTimeout"), QStringLiteral("2")}});
        qputenv("PGSSLMODE", "disable"); // the environment does not weaken it
        TDataMod mod(dir.path());
        try {
            mod.DataModuleCreate();
            QFAIL("connected without encryption");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("server does not support SSL, but SSL was required")),
                     qPrintable(e.text()));
        }
        qunsetenv("PGSSLMODE");
        QVERIFY(!mod.isConnected());
    }

    // Today's keys in the connection file reach the test server encrypted by default, and
    // unencrypted only when the file says sslmode=disable.
    void serverConnectionIsEncryptedUnlessAllowed()
    {
        if (!TestDatabase::postgres())
            QSKIP("needs the PostgreSQL test server");
        QTemporaryDir dir;
        TestDatabase database(dir.path() + QLatin1Char('/'));
        QList<QPair<QString, QString>> entries{{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")}};
        const QMap<QString, QString> keyOf{{QStringLiteral("host"), QStringLiteral("Host")},
                                           {QStringLiteral("port"), QStringLiteral("Port")},
                                           {QStringLiteral("user"), QStringLiteral("User")},
                                           {QStringLiteral("dbname"), QStringLiteral("Database")}};
        QMap<QString, QString> values;
        for (const QString &word : database.conninfo().split(QLatin1Char(' '), Qt::SkipEmptyParts))
            values[keyOf.value(word.section(QLatin1Char('='), 0, 0))] = word.section(QLatin1Char('='), 1);
        values.remove(QString());
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            entries.append({it.key(), it.value()});

        for (const bool allowPlain : {false, true}) {
            QTemporaryDir confDir;
            auto withMode = entries;
            if (allowPlain)
                withMode.append({QStringLiteral("Options"), QStringLiteral("sslmode=disable")});
            useConfig(confDir, withMode);
            DbEngine::setConfigPath(confDir.filePath(QStringLiteral("database.conf")));
            TDataMod mod(dir.path());
            mod.DataModuleCreate();
            QVERIFY(mod.connectionString().contains(QStringLiteral("sslmode=require")));
            QSqlQuery q(QSqlDatabase::database(mod.ADOConn, false));
            QVERIFY(q.exec(QStringLiteral("SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()")) && q.next());
            QCOMPARE(q.value(0).toBool(), !allowPlain);
            QCOMPARE(mod.ReadMustLogin(), false); // the test's own database, with its tables
        }
    }

    void unknownEngineIsNamed()
    {
        QTemporaryDir dir;
        useConfig(dir, {{QStringLiteral("Engine"), QStringLiteral("Oracle")}});
        TDataMod mod(dir.path());
        try {
            mod.OpenDatabase();
            QFAIL("opened");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("'Oracle'")), qPrintable(e.text()));
        }
        QVERIFY(!mod.isConnected());
    }

    // A server that takes the connection but never answers: the connect timeout ends the wait
    // with libpq's text, as a missing database file ends start-up.
    void silentServerFailsWithinTheTimeout()
    {
        SilentPort silent(true);
        QTemporaryDir dir;
        useConfig(dir, {{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")},
                        {QStringLiteral("Host"), QStringLiteral("127.0.0.1")},
                        {QStringLiteral("Port"), QString::number(silent.port)},
                        {QStringLiteral("ConnectTimeout"), QStringLiteral("2")}});
        TDataMod mod(dir.path());
        QElapsedTimer t;
        t.start();
        try {
            mod.DataModuleCreate();
            QFAIL("connected to a silent server");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("timeout"), Qt::CaseInsensitive), qPrintable(e.text()));
        }
        QVERIFY2(t.elapsed() < 6000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!mod.isConnected());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Data/Data.mdb"))));
    }

    void refusedConnectionGivesTheServerText()
    {
        const quint16 port = SilentPort(false).port; // free again: nobody listens there
        QTemporaryDir dir;
        useConfig(dir, {{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")},
                        {QStringLiteral("Options"), QStringLiteral("host=127.0.0.1 port=%1").arg(port)}});
        TDataMod mod(dir.path());
        try {
            mod.DataModuleCreate();
            QFAIL("connected");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QString::number(port)), qPrintable(e.text()));
        }
    }
};

QTEST_GUILESS_MAIN(TestDataMod)
#include "tst_datamod.moc"
