// The cases the consultation mode may show: only consented ones with pictures, grouped and
// counted by category; on both engines.
#include "support/TestInstall.h"
#include "consent/Consent.h"
#include "consent/Showable.h"
#include "data/Unit_DataMod.h"

#include <QtTest>

class TestShowable : public QObject {
    Q_OBJECT
    std::unique_ptr<TestInstall> m_install;

    QSqlDatabase db() const { return QSqlDatabase::database(m_install->mod()->ADOConn); }
    void addCase(int id, const char *major, const char *minor, const char *date, const QString &before,
                 const QString &after, int level)
    {
        m_install->exec(
            QStringLiteral(
                "INSERT INTO Surgery (id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, 手术前, 手术后1) "
                "VALUES (%1, 'A1202301150001', '%2', '%3', '王建国', '12800', '%4', '%5', '%6')")
                .arg(id)
                .arg(QString::fromUtf8(major), QString::fromUtf8(minor), QString::fromUtf8(date), before, after));
        if (level >= 0)
            Consent::write(db(), id, QStringLiteral("A1202301150001"), {Consent::fromInt(level), {}, {}});
    }

private slots:
    void cleanup() { m_install.reset(); }
    void onlyConsentedCasesWithPicturesGrouped();
    void surgeryDates();
};

void TestShowable::onlyConsentedCasesWithPicturesGrouped()
{
    m_install = std::make_unique<TestInstall>();
    QVERIFY(Showable::load(db()).isEmpty());
    addCase(1, "眼部", "双眼皮", "2023-03-10", QStringLiteral("A1\\b1.jpg"), QStringLiteral("A1\\a1.jpg"), 1);
    addCase(2, "眼部", "双眼皮", "2022-01-05 10:30:00", QString(), QStringLiteral("A1\\a2.jpg"), 2);
    addCase(3, "眼部", "开眼角", "", QStringLiteral("A1\\b3.jpg"), QString(), 1);
    addCase(4, "眼部", "双眼皮", "", QStringLiteral("A1\\b4.jpg"), QStringLiteral("A1\\a4.jpg"), 1);
    addCase(5, "鼻部", "隆鼻", "2023-06-01", QStringLiteral("A1\\b5.jpg"), QStringLiteral("A1\\a5.jpg"), 1);
    addCase(6, "鼻部", "隆鼻", "2023-06-02", QStringLiteral("A1\\b6.jpg"), QStringLiteral("A1\\a6.jpg"),
            0); // record only
    addCase(7, "胸部", "假体", "2023-06-03", QStringLiteral("A1\\b7.jpg"), QStringLiteral("A1\\a7.jpg"), -1); // no row
    addCase(8, "面部", "注射", "2023-06-04", QString(), QString(), 2); // nothing to show
    addCase(9, "", "", "2023-06-05", QStringLiteral("A1\\b9.jpg"), QString(), 1);

    const QVector<Showable::Major> all = Showable::load(db());
    QStringList seen;
    for (const Showable::Major &m : all) {
        for (const Showable::Minor &n : m.minors) {
            for (const Showable::Case &c : n.cases)
                seen << QStringLiteral("%1/%2/%3").arg(m.name, n.name).arg(c.id);
        }
    }
    // Grouped by category, each group by date with undated cases last.
    QCOMPARE(seen, QStringList({QStringLiteral("//9"), QStringLiteral("眼部/双眼皮/2"), QStringLiteral("眼部/双眼皮/1"),
                                QStringLiteral("眼部/双眼皮/4"), QStringLiteral("眼部/开眼角/3"),
                                QStringLiteral("鼻部/隆鼻/5")}));
    QCOMPARE(all.at(1).count(), 4);
    QCOMPARE(all.at(2).count(), 1);
    const Showable::Case &two = all.at(1).minors.at(0).cases.at(0);
    QCOMPARE(two.after, QStringList{QStringLiteral("A1\\a2.jpg")});
    QVERIFY(two.before.isEmpty());
    QCOMPARE(two.surgeryDate, QDate(2022, 1, 5));
    QCOMPARE(two.surgeon, QStringLiteral("王建国"));

    // Publicity only: the single case at that level with pictures.
    const QVector<Showable::Major> publicity = Showable::load(db(), Consent::Level::Publicity);
    QCOMPARE(publicity.size(), 1);
    QCOMPARE(publicity.at(0).minors.at(0).cases.at(0).id, qint64(2));

    // Withdrawn consent and a deleted case leave the lists at once.
    Consent::write(db(), 5, QStringLiteral("A1202301150001"), {Consent::Level::RecordOnly, {}, {}});
    m_install->exec(QStringLiteral("DELETE FROM Surgery WHERE id = 9"));
    QStringList majors;
    for (const Showable::Major &m : Showable::load(db()))
        majors << m.name;
    QCOMPARE(majors, QStringList{QStringLiteral("眼部")});
}

void TestShowable::surgeryDates()
{
    QCOMPARE(Showable::surgeryDate(QStringLiteral("2023-03-10")), QDate(2023, 3, 10));
    QCOMPARE(Showable::surgeryDate(QStringLiteral("2023-03-10 14:30:00")), QDate(2023, 3, 10));
    QCOMPARE(Showable::surgeryDate(QStringLiteral(" 2023/3/9 ")), QDate(2023, 3, 9));
    QVERIFY(!Showable::surgeryDate(QString()).isValid());
    QVERIFY(!Showable::surgeryDate(QStringLiteral("去年春天")).isValid());
    QVERIFY(!Showable::surgeryDate(QStringLiteral("2023-02-30")).isValid());
}

QTEST_GUILESS_MAIN(TestShowable)
#include "tst_showable.moc"
