// Upgrading a first-release database on start: every row kept, the SQLite file copied aside,
// a newer or read-only database refused untouched, two programs at once upgrading once, and a
// failing step leaving the database as the step before left it.
#include "data/AppError.h"
#include "data/Db.h"
#include "data/Schema.h"
#include "data/SchemaUpgrade.h"
#include "data/ServerDb.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <memory>

#ifndef BELCARA_SOURCE_DIR
#define BELCARA_SOURCE_DIR "."
#endif

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(BELCARA_SOURCE_DIR "/tests/fixtures/") + QLatin1String(name);
}

QSqlQuery run(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        throw AppError(sql + QStringLiteral(": ") + q.lastError().text());
    return q;
}

QVariant scalar(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q = run(db, sql);
    return q.next() ? q.value(0) : QVariant();
}

// Every row of the five original tables, as text, in key order.
QStringList dump(const QSqlDatabase &db)
{
    QStringList out;
    for (const QString &t : ServerDb::tables()) {
        QSqlQuery q = run(db, QStringLiteral("SELECT * FROM %1 ORDER BY id").arg(t));
        while (q.next()) {
            QStringList row{t};
            for (int i = 0; i < q.record().count(); ++i) {
                QVariant v = q.value(i);
                if (v.typeId() == QMetaType::Bool)
                    v = v.toBool() ? 1 : 0;
                row << (v.isNull() ? QStringLiteral("<null>") : v.toString());
            }
            out << row.join(QLatin1Char('|'));
        }
    }
    return out;
}

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// A step that takes a while, so that a second program arrives while the first one works.
SchemaUpgrade::Step slowStep(int version)
{
    SchemaUpgrade::Step s;
    s.version = version;
    s.description = QStringLiteral("slow");
    s.sqlite << QStringLiteral("CREATE TABLE Slow AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                               "WHERE x < 1500000) SELECT count(*) AS n FROM c");
    s.postgres << QStringLiteral("CREATE TABLE Slow AS SELECT 1 AS n FROM pg_sleep(1)");
    return s;
}

// A connection of its own to the test's database, closed when it goes out of scope (after the
// handles declared later).
struct Connection {
    explicit Connection(const TestDatabase &d) : name(d.connect()) {}
    ~Connection() { TestDatabase::disconnect(name); }
    QSqlDatabase db() const { return QSqlDatabase::database(name, false); }
    QString name;
};

} // namespace

class TestSchemaUpgrade : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestDatabase> m_db;
    QString m_folder;

    QString dataFile() const { return m_folder + QStringLiteral("Data/Data.mdb"); }

    // The first-release database, as an installation in the field holds it: the fixture file
    // itself, or its rows in the first release's tables on the server.
    void installFirstRelease(const char *name)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->path() + QLatin1Char('/');
        QDir().mkpath(m_folder + QStringLiteral("Data"));
        m_db = std::make_unique<TestDatabase>(m_folder, false);
        if (!m_db->isPostgres()) {
            QVERIFY(QFile::copy(fixture(name), dataFile()));
            QFile::setPermissions(dataFile(), QFile::ReadOwner | QFile::WriteOwner);
            return;
        }
        const QString src = QStringLiteral("fixture-src");
        const QString dst = m_db->connect();
        {
            QSqlDatabase from = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), src);
            from.setDatabaseName(fixture(name));
            from.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QVERIFY(from.open());
            QSqlDatabase to = QSqlDatabase::database(dst, false);
            for (const QString &s :
                 Schema::scriptStatements(QStringLiteral(":/schema-postgresql.sql"), QStringLiteral("-- initial rows")))
                run(to, s);
            for (const QString &t : ServerDb::tables()) {
                QSqlQuery q = run(from, QStringLiteral("SELECT * FROM %1").arg(t));
                while (q.next()) {
                    QStringList cols, marks;
                    QSqlQuery ins(to);
                    for (int i = 0; i < q.record().count(); ++i)
                        cols << QLatin1Char('"') + q.record().fieldName(i).toLower() + QLatin1Char('"');
                    for (int i = 0; i < cols.size(); ++i)
                        marks << QStringLiteral("?");
                    QVERIFY(
                        ins.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                        .arg(t.toLower(), cols.join(QLatin1Char(',')), marks.join(QLatin1Char(',')))));
                    for (int i = 0; i < cols.size(); ++i) {
                        const bool boolean = (t == QLatin1String("Param") && i == 1)
                                             || (t == QLatin1String("SysManager") && i == 3);
                        ins.addBindValue(boolean ? QVariant(q.value(i).toInt() != 0) : q.value(i));
                    }
                    QVERIFY2(ins.exec(), qPrintable(ins.lastError().text()));
                }
            }
            from.close();
        }
        QSqlDatabase::removeDatabase(src);
        TestDatabase::disconnect(dst);
    }

    QStringList backups() const
    {
        return QDir(m_folder + QStringLiteral("Data")).entryList({QStringLiteral("Data-v*.mdb")}, QDir::Files);
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void cleanup()
    {
        m_db.reset();
        m_dir.reset();
    }

    void startUpgradesFirstRelease_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("empty") << QStringLiteral("release1-empty.mdb");
        QTest::newRow("filled") << QStringLiteral("release1-filled.mdb");
    }
    void startUpgradesFirstRelease()
    {
        QFETCH(QString, file);
        installFirstRelease(qPrintable(file));
        QStringList before;
        {
            Connection c(*m_db);
            QCOMPARE(SchemaUpgrade::version(c.db()), 1);
            before = dump(c.db());
        }
        QVERIFY(!before.isEmpty());
        if (QTest::currentTestFailed())
            return;

        TDataMod mod(m_folder);
        mod.DataModuleCreate();
        QCOMPARE(mod.lastUpgrade().from, 1);
        QCOMPARE(mod.lastUpgrade().to, SchemaUpgrade::newestVersion());
        QCOMPARE(mod.lastUpgrade().done.size(), SchemaUpgrade::newestVersion() - 1);
        const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn, false);
        QCOMPARE(SchemaUpgrade::version(db), SchemaUpgrade::newestVersion());
        QCOMPARE(dump(db), before);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = 'upgraded'")).toInt(),
                 SchemaUpgrade::newestVersion() - 1);
        // The program works on the upgraded database as before.
        QVERIFY(!mod.ReadMustLogin() == (file == QLatin1String("release1-empty.mdb")));

        if (!m_db->isPostgres()) {
            // The copy aside is the first-release file, whole.
            QCOMPARE(backups().size(), 1);
            QVERIFY(backups().first().startsWith(QStringLiteral("Data-v1-")));
            QCOMPARE(mod.lastUpgrade().backup, m_folder + QStringLiteral("Data/") + backups().first());
            QSqlDatabase copy = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("copy"));
            copy.setDatabaseName(mod.lastUpgrade().backup);
            QVERIFY(copy.open());
            QCOMPARE(SchemaUpgrade::version(copy), 1);
            QCOMPARE(dump(copy), before);
            copy.close();
            copy = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("copy"));
        }

        // Deleting a case, even by a program that knows nothing of consent, removes its
        // consent: the case number given next must not inherit it.
        if (file == QLatin1String("release1-filled.mdb")) {
            const qint64 last = scalar(db, QStringLiteral("SELECT max(id) FROM Surgery")).toLongLong();
            run(db, QStringLiteral("INSERT INTO CaseConsent (CaseId, Level, ChangedAt, ChangedBy) "
                                   "VALUES (%1, 2, 'now', 'test')")
                        .arg(last));
            run(db, QStringLiteral("DELETE FROM Surgery WHERE id = %1").arg(last));
            QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM CaseConsent")).toInt(), 0);
        }

        // A second start finds nothing to do and copies nothing.
        TDataMod again(m_folder);
        again.DataModuleCreate();
        QCOMPARE(again.lastUpgrade().from, SchemaUpgrade::newestVersion());
        QVERIFY(again.lastUpgrade().done.isEmpty());
        QVERIFY(backups().size() <= 1);
    }

    void newDatabasesAreNewest()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = m_dir->path() + QLatin1Char('/');
        m_db = std::make_unique<TestDatabase>(m_folder);
        Connection c(*m_db);
        QCOMPARE(SchemaUpgrade::version(c.db()), SchemaUpgrade::newestVersion());
    }

    void newerDatabaseIsRefusedUntouched()
    {
        installFirstRelease("release1-filled.mdb");
        {
            Connection c(*m_db);
            const QSqlDatabase db = c.db();
            SchemaUpgrade::upgrade(db, QString());
            run(db, QStringLiteral("UPDATE BelcaraSchema SET Version = 99"));
            if (!m_db->isPostgres())
                run(db, QStringLiteral("PRAGMA journal_mode=DELETE"));
        }
        const QByteArray hash = m_db->isPostgres() ? QByteArray() : hashOf(dataFile());
        TDataMod mod(m_folder);
        try {
            mod.DataModuleCreate();
            QFAIL("a newer database was opened");
        } catch (const SchemaUpgrade::Refused &e) {
            QVERIFY2(e.text().contains(QStringLiteral("第99版"))
                         && e.text().contains(QStringLiteral("第%1版").arg(SchemaUpgrade::newestVersion())),
                     qPrintable(e.text()));
        }
        QVERIFY(!mod.isConnected());
        Connection c(*m_db);
        const QSqlDatabase db = c.db();
        QCOMPARE(SchemaUpgrade::version(db), 99);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM AuditLog")).toInt(),
                 SchemaUpgrade::newestVersion() - 1);
        if (!m_db->isPostgres()) {
            QCOMPARE(hashOf(dataFile()), hash);
            QVERIFY(!QFile::exists(dataFile() + QStringLiteral("-wal")));
        }
    }

    void readOnlyDatabaseIsRefused()
    {
        installFirstRelease("release1-filled.mdb");
        Connection c(*m_db);
        QSqlDatabase db = c.db();
        if (m_db->isPostgres()) {
            run(db, QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"));
        } else {
            db.close();
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            QVERIFY(db.open());
        }
        const QByteArray hash = m_db->isPostgres() ? QByteArray() : hashOf(dataFile());
        try {
            SchemaUpgrade::upgrade(db, m_db->isPostgres() ? QString() : dataFile());
            QFAIL("a read-only database was upgraded");
        } catch (const SchemaUpgrade::Refused &e) {
            QVERIFY2(e.text().contains(QStringLiteral("只读")), qPrintable(e.text()));
        }
        QCOMPARE(SchemaUpgrade::version(db), 1);
        if (!m_db->isPostgres()) {
            QCOMPARE(hashOf(dataFile()), hash);
            QVERIFY(backups().isEmpty());
        }
    }

    void twoProgramsUpgradeOnce()
    {
        installFirstRelease("release1-filled.mdb");
        QVector<SchemaUpgrade::Step> steps = SchemaUpgrade::steps();
        steps << slowStep(SchemaUpgrade::newestVersion() + 1);
        const QString file = m_db->isPostgres() ? QString() : dataFile();
        SchemaUpgrade::Report reports[2];
        QString errors[2];
        QAtomicInt ready = 0;
        std::unique_ptr<QThread> threads[2];
        for (int i = 0; i < 2; ++i) {
            threads[i].reset(QThread::create([&, i] {
                try {
                    Connection c(*m_db);
                    {
                        const QSqlDatabase db = c.db();
                        ready.fetchAndAddOrdered(1);
                        while (ready.loadAcquire() < 2)
                            QThread::yieldCurrentThread();
                        reports[i] = SchemaUpgrade::upgrade(db, file, steps);
                    }
                } catch (const AppError &e) {
                    errors[i] = e.text();
                }
            }));
            threads[i]->start();
        }
        for (auto &t : threads)
            QVERIFY(t->wait(60000));
        QCOMPARE(errors[0], QString());
        QCOMPARE(errors[1], QString());
        const int newest = steps.last().version;
        QCOMPARE(reports[0].to, newest);
        QCOMPARE(reports[1].to, newest);
        // Each step ran once, by one of the two.
        QCOMPARE(reports[0].done.size() + reports[1].done.size(), steps.size());
        Connection c(*m_db);
        const QSqlDatabase db = c.db();
        QCOMPARE(SchemaUpgrade::version(db), newest);
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = 'upgraded'")).toInt(),
                 steps.size());
        QCOMPARE(scalar(db, QStringLiteral("SELECT count(*) FROM Slow")).toInt(), 1);
        if (!m_db->isPostgres())
            QCOMPARE(backups().size(), 1);
    }

    void failedStepLeavesDatabaseAsItWas()
    {
        installFirstRelease("release1-filled.mdb");
        Connection c(*m_db);
        const QSqlDatabase db = c.db();
        const QStringList rows = dump(db);
        const QString file = m_db->isPostgres() ? QString() : dataFile();

        // The first step fails half-way: not even its first table stays.
        SchemaUpgrade::Step broken = SchemaUpgrade::steps().first();
        broken.sqlite << QStringLiteral("INSERT INTO NoSuchTable VALUES (1)");
        broken.postgres << QStringLiteral("INSERT INTO NoSuchTable VALUES (1)");
        QVERIFY_THROWS_EXCEPTION(AppError, SchemaUpgrade::upgrade(db, file, {broken}));
        QCOMPARE(SchemaUpgrade::version(db), 1);
        QCOMPARE(scalar(db, m_db->isPostgres()
                                ? QStringLiteral("SELECT to_regclass('auditlog') IS NULL")
                                : QStringLiteral("SELECT count(*) = 0 FROM sqlite_master WHERE name = 'AuditLog'"))
                     .toBool(),
                 true);
        QCOMPARE(dump(db), rows);

        // A later step fails: the steps before it stay done, the failing one leaves nothing.
        SchemaUpgrade::Step later;
        later.version = SchemaUpgrade::newestVersion() + 1;
        later.description = QStringLiteral("broken");
        later.sqlite << QStringLiteral("CREATE TABLE Later (x INTEGER)") << QStringLiteral("SELECT * FROM NoSuchTable");
        later.postgres = later.sqlite;
        try {
            SchemaUpgrade::upgrade(db, file, SchemaUpgrade::steps() + QVector<SchemaUpgrade::Step>{later});
            QFAIL("a broken step went through");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("保持第%1版").arg(SchemaUpgrade::newestVersion())),
                     qPrintable(e.text()));
        }
        QCOMPARE(SchemaUpgrade::version(db), SchemaUpgrade::newestVersion());
        QVERIFY(!QSqlQuery(db).exec(QStringLiteral("SELECT * FROM Later")));
        QCOMPARE(dump(db), rows);
    }
};

QTEST_GUILESS_MAIN(TestSchemaUpgrade)
#include "tst_schemaupgrade.moc"
