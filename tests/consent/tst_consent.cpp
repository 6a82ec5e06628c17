// Consent of each case on SQLite and PostgreSQL: the default of a case without a row (an upgraded
// first-release database included), storing and reading back, audit events for real changes only
// and without the note, one level for one customer's cases, and a deleted case's row going with it.
#include "data/AuditLog.h"
#include "consent/Consent.h"
#include "data/AppError.h"
#include "data/Schema.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

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

QList<qint64> ids(const QSqlDatabase &db, const QString &where = QStringLiteral("1 = 1"))
{
    QList<qint64> out;
    QSqlQuery q = run(db, QStringLiteral("SELECT id FROM Surgery WHERE %1 ORDER BY id").arg(where));
    while (q.next())
        out << q.value(0).toLongLong();
    return out;
}

Consent::Record record(Consent::Level level, const QDate &date = {}, const QString &note = {})
{
    Consent::Record r;
    r.level = level;
    r.signedOn = date;
    r.note = note;
    return r;
}

} // namespace

class TestConsent : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestDatabase> m_db;
    QString m_conn;

    QSqlDatabase db() const { return QSqlDatabase::database(m_conn, false); }
    QString folder() const { return m_dir->path() + QLatin1Char('/'); }
    // The consent events: "case:detail" in order.
    QStringList events() const
    {
        QStringList out;
        QSqlQuery q = run(db(), QStringLiteral("SELECT CaseId, Detail FROM AuditLog WHERE Action = '%1' ORDER BY id")
                                    .arg(AuditLog::code(AuditLog::Action::ConsentChanged)));
        while (q.next())
            out << q.value(0).toString() + QLatin1Char(':') + q.value(1).toString();
        return out;
    }

    void makeDatabase(bool withSchema = true)
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QDir().mkpath(folder() + QStringLiteral("Data"));
        m_db = std::make_unique<TestDatabase>(folder(), withSchema);
        if (withSchema || m_db->isPostgres())
            m_conn = m_db->connect(); // an SQLite file is not made before the fixture is there
        if (withSchema)
            run(db(), QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1', '眼部'), ('A1', '鼻部'), "
                                     "('A2', '眼部')"));
    }

private slots:
    void initTestCase()
    {
        if (!TestDatabase::unavailable().isEmpty())
            QSKIP(qPrintable(TestDatabase::unavailable()));
    }
    void cleanup()
    {
        if (!m_conn.isEmpty())
            TestDatabase::disconnect(m_conn);
        m_conn.clear();
        m_db.reset();
        m_dir.reset();
    }

    void storedReadBackAndLogged()
    {
        makeDatabase();
        const QList<qint64> c = ids(db());
        QVERIFY(Consent::read(db(), c[0]) == Consent::Record());
        const QString note = QStringLiteral("王女士同意，见纸质授权书 07 号");
        const auto shown = record(Consent::Level::MayShow, QDate(2024, 3, 15), note);
        Consent::write(db(), c[0], QStringLiteral("A1"), shown);
        QVERIFY(Consent::read(db(), c[0]) == shown);
        QCOMPARE(scalar(db(), QStringLiteral("SELECT SignedOn FROM CaseConsent")).toString(),
                 QStringLiteral("2024-03-15"));
        QVERIFY(Consent::read(db(), c[1]) == Consent::Record());

        // The same again logs nothing; a note alone is a change; the log never holds the note.
        Consent::write(db(), c[0], QStringLiteral("A1"), shown);
        Consent::write(db(), c[0], QStringLiteral("A1"), record(Consent::Level::MayShow, QDate(2024, 3, 15)));
        Consent::write(db(), c[0], QStringLiteral("A1"), record(Consent::Level::Publicity));
        const QString e = QString::number(c[0]) + QLatin1Char(':');
        QCOMPARE(events(), QStringList({e + "0 -> 1", e + "1 -> 1", e + "1 -> 2"}));
        QCOMPARE(scalar(db(), QStringLiteral("SELECT count(*) FROM AuditLog WHERE Detail LIKE '%王女士%'")).toInt(), 0);
        QVERIFY(!Consent::read(db(), c[0]).signedOn.isValid());

        // None for a case that does not exist: it would pass to the next case given that id.
        QVERIFY_THROWS_EXCEPTION(AppError, Consent::write(db(), c.last() + 100, QStringLiteral("A1"), shown));
        QCOMPARE(scalar(db(), QStringLiteral("SELECT count(*) FROM CaseConsent")).toInt(), 1);
    }

    void oneCustomersCasesAndDeletedCases()
    {
        makeDatabase();
        const QList<qint64> a1 = ids(db(), QStringLiteral("客户编号 = 'A1'"));
        const qint64 a2 = ids(db(), QStringLiteral("客户编号 = 'A2'")).first();
        Consent::write(db(), a1[1], QStringLiteral("A1"),
                       record(Consent::Level::RecordOnly, QDate(2020, 1, 2), "随访"));
        Consent::write(db(), a2, QStringLiteral("A2"), record(Consent::Level::MayShow, QDate(2021, 5, 6)));
        QCOMPARE(Consent::setForCustomer(db(), QStringLiteral("A1"), Consent::Level::Publicity, QDate(2024, 6, 1)), 2);
        QVERIFY(Consent::read(db(), a1[0]) == record(Consent::Level::Publicity, QDate(2024, 6, 1)));
        QVERIFY(Consent::read(db(), a1[1]) == record(Consent::Level::Publicity, QDate(2024, 6, 1), "随访"));
        QVERIFY(Consent::read(db(), a2) == record(Consent::Level::MayShow, QDate(2021, 5, 6)));
        QCOMPARE(Consent::setForCustomer(db(), QStringLiteral("A1"), Consent::Level::Publicity, QDate(2024, 6, 1)), 0);
        QCOMPARE(events().size(), 4);

        // A deleted case takes its row along; a case given the freed id starts as record only.
        run(db(), QStringLiteral("DELETE FROM Surgery WHERE id = %1").arg(a2));
        QCOMPARE(scalar(db(), QStringLiteral("SELECT count(*) FROM CaseConsent WHERE CaseId = %1").arg(a2)).toInt(), 0);
        run(db(), QStringLiteral("INSERT INTO Surgery (id, 客户编号) VALUES (%1, 'A3')").arg(a2));
        QVERIFY(Consent::read(db(), a2) == Consent::Record());
    }

    void upgradedFirstReleaseCasesAreRecordOnly()
    {
        makeDatabase(false);
        if (!m_db->isPostgres()) {
            const QString file = folder() + QStringLiteral("Data/Data.mdb");
            QVERIFY(QFile::copy(QStringLiteral(BELCARA_SOURCE_DIR "/tests/fixtures/release1-filled.mdb"), file));
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
        } else {
            for (const QString &s :
                 Schema::scriptStatements(QStringLiteral(":/schema-postgresql.sql"), QStringLiteral("-- initial rows")))
                run(db(), s);
            run(db(), QStringLiteral("INSERT INTO surgery (客户编号, 手术大类) VALUES ('A1', '眼部'), ('A1', '鼻部')"));
        }
        TDataMod mod(folder());
        mod.DataModuleCreate();
        QCOMPARE(mod.lastUpgrade().from, 1);
        const QSqlDatabase upgraded = QSqlDatabase::database(mod.ADOConn, false);
        const QList<qint64> cases = ids(upgraded);
        QVERIFY(cases.size() >= 2);
        for (qint64 id : cases)
            QVERIFY(Consent::read(upgraded, id) == Consent::Record());
        Consent::write(upgraded, cases.first(), QStringLiteral("A1"), record(Consent::Level::MayShow));
        QCOMPARE(Consent::read(upgraded, cases.first()).level, Consent::Level::MayShow);
    }
};

QTEST_GUILESS_MAIN(TestConsent)
#include "tst_consent.moc"
