// Consent of each case on SQLite and PostgreSQL: what a case without a stored agreement reads
// (an upgraded first-release database included), storing and reading it back, the audit events
// of real changes only and without the note's text, one level for all cases of one customer,
// and a deleted case taking its agreement with it.
#include "audit/AuditLog.h"
#include "consent/Consent.h"
#include "data/AppError.h"
#include "data/Schema.h"
#include "data/SchemaUpgrade.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#ifndef BELCARA_SOURCE_DIR
#define BELCARA_SOURCE_DIR "."
#endif

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

QList<qint64> ids(const QSqlDatabase &db, const QString &sql)
{
    QList<qint64> out;
    QSqlQuery q = run(db, sql);
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

const QString kConsentEvents = QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = '%1'");

} // namespace

class TestConsent : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestDatabase> m_db;
    QString m_conn;

    QSqlDatabase db() const { return QSqlDatabase::database(m_conn, false); }
    int events() const
    {
        return scalar(db(), kConsentEvents.arg(AuditLog::code(AuditLog::Action::ConsentChanged))).toInt();
    }
    int rows() const { return scalar(db(), QStringLiteral("SELECT count(*) FROM CaseConsent")).toInt(); }

    void makeDatabase()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        const QString folder = m_dir->path() + QLatin1Char('/');
        QDir().mkpath(folder + QStringLiteral("Data"));
        m_db = std::make_unique<TestDatabase>(folder);
        m_conn = m_db->connect();
        // Customer A1 with two cases, A2 with one.
        run(db(), QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1', '甲'), ('A2', '乙')"));
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
        const QList<qint64> cases = ids(db(), QStringLiteral("SELECT id FROM Surgery ORDER BY id"));
        // Nothing stored: record only, and reading writes nothing.
        for (qint64 id : cases)
            QVERIFY(Consent::read(db(), id) == Consent::Record());
        QCOMPARE(rows(), 0);

        const QString note = QStringLiteral("顾客王女士同意，见纸质授权书 07 号");
        const auto shown = record(Consent::Level::MayShow, QDate(2024, 3, 15), note);
        Consent::write(db(), cases[0], QStringLiteral("A1"), shown);
        const Consent::Record back = Consent::read(db(), cases[0]);
        QCOMPARE(back.level, Consent::Level::MayShow);
        QCOMPARE(back.signedOn, QDate(2024, 3, 15));
        QCOMPARE(back.note, note);
        QCOMPARE(scalar(db(), QStringLiteral("SELECT SignedOn FROM CaseConsent")).toString(), QStringLiteral("2024-03-15"));
        QVERIFY(Consent::read(db(), cases[1]) == Consent::Record());
        QCOMPARE(events(), 1);

        // The same again changes nothing and logs nothing; a changed note alone is a change.
        Consent::write(db(), cases[0], QStringLiteral("A1"), shown);
        QCOMPARE(events(), 1);
        Consent::write(db(), cases[0], QStringLiteral("A1"),
                       record(Consent::Level::MayShow, QDate(2024, 3, 15), QStringLiteral("另见病历")));
        QCOMPARE(events(), 2);
        Consent::write(db(), cases[0], QStringLiteral("A1"), record(Consent::Level::Publicity));
        QCOMPARE(events(), 3);
        QCOMPARE(rows(), 1);
        QVERIFY(!Consent::read(db(), cases[0]).signedOn.isValid());

        // The log says which case and which levels, never what the note says.
        QSqlQuery q = run(db(), QStringLiteral("SELECT CustomerNo, CaseId, Detail FROM AuditLog WHERE Action = '%1' ORDER BY id")
                                    .arg(AuditLog::code(AuditLog::Action::ConsentChanged)));
        QStringList details;
        while (q.next()) {
            QCOMPARE(q.value(0).toString(), QStringLiteral("A1"));
            QCOMPARE(q.value(1).toLongLong(), cases[0]);
            details << q.value(2).toString();
        }
        QCOMPARE(details, QStringList({"0 -> 1", "1 -> 1", "1 -> 2"}));
        QCOMPARE(scalar(db(), QStringLiteral("SELECT count(*) FROM AuditLog WHERE Detail LIKE '%王女士%' "
                                             "OR Detail LIKE '%病历%'")).toInt(), 0);

        // No agreement for a case that does not exist: it would pass to the next case given that id.
        const qint64 missing = cases.last() + 100;
        QVERIFY_THROWS_EXCEPTION(AppError, Consent::write(db(), missing, QStringLiteral("A1"), shown));
        QCOMPARE(rows(), 1);
        QCOMPARE(events(), 3);
    }

    void oneLevelForAllCasesOfOneCustomer()
    {
        makeDatabase();
        const QList<qint64> a1 = ids(db(), QStringLiteral("SELECT id FROM Surgery WHERE 客户编号 = 'A1' ORDER BY id"));
        const qint64 a2 = scalar(db(), QStringLiteral("SELECT id FROM Surgery WHERE 客户编号 = 'A2'")).toLongLong();
        Consent::write(db(), a1[1], QStringLiteral("A1"),
                       record(Consent::Level::RecordOnly, QDate(2020, 1, 2), QStringLiteral("只做术后随访")));
        Consent::write(db(), a2, QStringLiteral("A2"), record(Consent::Level::MayShow, QDate(2021, 5, 6)));
        const int before = events();

        QCOMPARE(Consent::setForCustomer(db(), QStringLiteral("A1"), Consent::Level::Publicity, QDate(2024, 6, 1)), 2);
        for (qint64 id : a1) {
            QCOMPARE(Consent::read(db(), id).level, Consent::Level::Publicity);
            QCOMPARE(Consent::read(db(), id).signedOn, QDate(2024, 6, 1));
        }
        // Each case keeps its own note; the other customer's case is untouched.
        QCOMPARE(Consent::read(db(), a1[1]).note, QStringLiteral("只做术后随访"));
        QVERIFY(Consent::read(db(), a2) == record(Consent::Level::MayShow, QDate(2021, 5, 6)));
        QCOMPARE(events(), before + 2);

        // Nothing to change: nothing written, nothing logged.
        QCOMPARE(Consent::setForCustomer(db(), QStringLiteral("A1"), Consent::Level::Publicity, QDate(2024, 6, 1)), 0);
        QCOMPARE(events(), before + 2);
        QCOMPARE(Consent::setForCustomer(db(), QStringLiteral("nobody"), Consent::Level::Publicity, QDate()), 0);
    }

    void deletedCaseTakesItsConsent()
    {
        makeDatabase();
        const qint64 last = scalar(db(), QStringLiteral("SELECT max(id) FROM Surgery")).toLongLong();
        Consent::write(db(), last, QStringLiteral("A2"), record(Consent::Level::Publicity, QDate(2024, 1, 1)));
        run(db(), QStringLiteral("DELETE FROM Surgery WHERE id = %1").arg(last));
        QCOMPARE(rows(), 0);
        // A case given the freed id (SQLite does this for the greatest id) starts as record only.
        run(db(), QStringLiteral("INSERT INTO Surgery (id, 客户编号, 手术大类) VALUES (%1, 'A1', '面部')").arg(last));
        QVERIFY(Consent::read(db(), last) == Consent::Record());
    }

    // Cases of a database made by the first release read as record only after the upgrade, and
    // take an agreement like any other.
    void upgradedFirstReleaseCasesAreRecordOnly()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        const QString folder = m_dir->path() + QLatin1Char('/');
        QDir().mkpath(folder + QStringLiteral("Data"));
        m_db = std::make_unique<TestDatabase>(folder, false);
        if (!m_db->isPostgres()) {
            QVERIFY(QFile::copy(QStringLiteral(BELCARA_SOURCE_DIR "/tests/fixtures/release1-filled.mdb"),
                                folder + QStringLiteral("Data/Data.mdb")));
            QFile::setPermissions(folder + QStringLiteral("Data/Data.mdb"), QFile::ReadOwner | QFile::WriteOwner);
        } else {
            // The first release's tables on the server, with cases in them.
            const QString c = m_db->connect();
            const QSqlDatabase server = QSqlDatabase::database(c, false);
            for (const QString &s : Schema::scriptStatements(QStringLiteral(":/schema-postgresql.sql"),
                                                             QStringLiteral("-- initial rows")))
                run(server, s);
            run(server, QStringLiteral("INSERT INTO tuserinfo (客户编号) VALUES ('A1')"));
            run(server, QStringLiteral("INSERT INTO surgery (客户编号, 手术大类) VALUES ('A1', '眼部'), ('A1', '鼻部')"));
            TestDatabase::disconnect(c);
        }
        TDataMod mod(folder);
        mod.DataModuleCreate();
        QCOMPARE(mod.lastUpgrade().from, 1);
        const QSqlDatabase upgraded = QSqlDatabase::database(mod.ADOConn, false);
        const QList<qint64> cases = ids(upgraded, QStringLiteral("SELECT id FROM Surgery ORDER BY id"));
        QVERIFY(cases.size() >= 2);
        for (qint64 id : cases)
            QVERIFY(Consent::read(upgraded, id) == Consent::Record());
        const QString owner = scalar(upgraded, QStringLiteral("SELECT 客户编号 FROM Surgery WHERE id = %1")
                                                   .arg(cases.first())).toString();
        Consent::write(upgraded, cases.first(), owner, record(Consent::Level::MayShow, QDate(2006, 12, 7)));
        QCOMPARE(Consent::read(upgraded, cases.first()).level, Consent::Level::MayShow);
        QVERIFY(Consent::read(upgraded, cases.last()) == Consent::Record());
    }
};

QTEST_GUILESS_MAIN(TestConsent)
#include "tst_consent.moc"
