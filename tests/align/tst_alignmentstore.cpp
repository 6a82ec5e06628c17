// Kept alignments on both engines: read back exactly, one per ordered pair, replaced and
// forgotten with their audit events, and a stored text that cannot be read taken as none.
#include "align/AlignmentStore.h"
#include "data/AppError.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using Align::Similarity;
using Align::StoredAlignment;

class TestAlignmentStore : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<TDataMod> m_mod;

    QSqlDatabase db() const { return QSqlDatabase::database(m_mod->ADOConn, false); }
    int count(const QString &sql) const
    {
        QSqlQuery q(db());
        if (!q.exec(sql) || !q.next())
            throw AppError(sql);
        return q.value(0).toInt();
    }
    QStringList events() const
    {
        QStringList out;
        QSqlQuery q(db());
        q.exec(QStringLiteral(
            "SELECT Action, CustomerNo, CaseId, Detail FROM AuditLog WHERE Action LIKE 'alignment%' ORDER BY id"));
        while (q.next())
            out << QStringList{q.value(0).toString(), q.value(1).toString(),
                               q.value(2).isNull() ? QString() : q.value(2).toString(), q.value(3).toString()}
                       .join(QLatin1Char('|'));
        return out;
    }

private slots:
    void initTestCase() { BELCARA_SKIP_WITHOUT_ENGINE(); }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_db = std::make_unique<TestDatabase>(m_dir->path() + QLatin1Char('/'));
        m_mod = std::make_unique<TDataMod>(m_dir->path() + QLatin1Char('/'));
        m_mod->DataModuleCreate();
    }
    void cleanup()
    {
        m_mod.reset();
        m_db.reset();
        m_dir.reset();
    }

    void keepsOneAlignmentPerOrderedPairAndRecordsEachChange()
    {
        const QString before = QStringLiteral("A1200601010001\\术前 1.jpg");
        const QString after = QStringLiteral("A1200601010001\\术后'1.jpg");
        QVERIFY(!Align::loadAlignment(db(), before, after));

        // Values that do not round nicely come back as the very same doubles.
        const Similarity first(1.0 / 3.0, -7.123456789012345, QPointF(-0.1, 1e-7 + 12345.678));
        Align::saveAlignment(db(), before, after, StoredAlignment{first, false}, QStringLiteral("A1200601010001"), 42);
        auto loaded = Align::loadAlignment(db(), before, after);
        QVERIFY(loaded && !loaded->automatic);
        QCOMPARE(loaded->transform, first);
        // The pair has a direction: the other way round is another pair.
        QVERIFY(!Align::loadAlignment(db(), after, before));
        QVERIFY(!Align::loadAlignment(db(), before.toUpper(), after));

        // Saving again replaces it.
        const Similarity second(1.05, 2.5, QPointF(10, -20));
        Align::saveAlignment(db(), before, after, StoredAlignment{second, true}, QStringLiteral("A1200601010001"), 42);
        loaded = Align::loadAlignment(db(), before, after);
        QVERIFY(loaded && loaded->automatic);
        QCOMPARE(loaded->transform, second);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM PictureAlignment")), 1);

        // Another pair stays apart from the first.
        Align::saveAlignment(db(), after, before, StoredAlignment{first, false});
        QCOMPARE(Align::loadAlignment(db(), before, after)->transform, second);

        // Forgetting: once it is gone, nothing more to forget and nothing recorded.
        QVERIFY(Align::resetAlignment(db(), before, after, QStringLiteral("A1200601010001"), 42));
        QVERIFY(!Align::loadAlignment(db(), before, after));
        QVERIFY(!Align::resetAlignment(db(), before, after));
        QVERIFY(Align::loadAlignment(db(), after, before));

        const QString pair = before + QStringLiteral(" | ") + after;
        QCOMPARE(events(),
                 (QStringList{
                     QStringLiteral("alignment-saved|A1200601010001|42|") + pair + QStringLiteral(" | 手动对齐"),
                     QStringLiteral("alignment-saved|A1200601010001|42|") + pair + QStringLiteral(" | 自动对齐"),
                     QStringLiteral("alignment-saved|||") + after + QStringLiteral(" | ") + before
                         + QStringLiteral(" | 手动对齐"),
                     QStringLiteral("alignment-reset|A1200601010001|42|") + pair,
                 }));
    }

    void anUnreadableStoredTextCountsAsNone()
    {
        QSqlQuery q(db());
        QVERIFY(
            q.prepare(QStringLiteral("INSERT INTO PictureAlignment (BeforePicture, AfterPicture, Transform, Method, "
                                     "ChangedAt, ChangedBy) VALUES (?, ?, ?, 'manual', '2026-01-01 00:00:00', 'x')")));
        const QStringList texts{QStringLiteral("s=0;r=0;dx=0;dy=0"), QStringLiteral("s=1;r=nan;dx=0;dy=0"),
                                QStringLiteral("garbage"), QStringLiteral("s=1;r=0;dx=0")};
        for (int i = 0; i < texts.size(); ++i) {
            q.addBindValue(QStringLiteral("b%1").arg(i));
            q.addBindValue(QStringLiteral("a%1").arg(i));
            q.addBindValue(texts.at(i));
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        for (int i = 0; i < texts.size(); ++i)
            QVERIFY2(!Align::loadAlignment(db(), QStringLiteral("b%1").arg(i), QStringLiteral("a%1").arg(i)),
                     qPrintable(texts.at(i)));
        // Saving over such a row replaces it with a readable one.
        Align::saveAlignment(db(), QStringLiteral("b2"), QStringLiteral("a2"),
                             StoredAlignment{Similarity(2, 0, {}), false});
        QCOMPARE(Align::loadAlignment(db(), QStringLiteral("b2"), QStringLiteral("a2"))->transform.scale(), 2.0);
    }
};

QTEST_GUILESS_MAIN(TestAlignmentStore)
#include "tst_alignmentstore.moc"
