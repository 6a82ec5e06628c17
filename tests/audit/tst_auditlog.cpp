// The audit log: rows cannot be changed or deleted, an event is kept exactly when its change
// is, and saves and deletes through table data sets leave the right events without values of
// personal data or passwords.
#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Operations.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

class TestAuditLog : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<TDataMod> m_mod;

    QSqlDatabase db() const { return QSqlDatabase::database(m_mod->ADOConn, false); }
    bool exec(const QString &sql) const { return QSqlQuery(db()).exec(sql); }
    QVariant scalar(const QString &sql) const
    {
        QSqlQuery q(db());
        if (!q.exec(sql) || !q.next())
            throw AppError(sql);
        return q.value(0);
    }
    // The events after the upgrade's, oldest first: "action|customer|case?|detail|user".
    QStringList events() const
    {
        QStringList out;
        QSqlQuery q(db());
        q.exec(QStringLiteral("SELECT Action, CustomerNo, CaseId, Detail, UserName, Host, At FROM AuditLog "
                              "WHERE Action <> 'upgraded' ORDER BY id"));
        while (q.next())
            out << QStringList{q.value(0).toString(), q.value(1).toString(),
                               q.value(2).isNull() ? QString() : QStringLiteral("case"), q.value(3).toString(),
                               q.value(4).toString()}
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

    void rowsCannotBeChangedOrDeleted()
    {
        AuditLog::record(db(), {AuditLog::Action::LoginFailed, QString(), QVariant(), QString(), QStringLiteral("x")});
        const int n = scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt();
        QVERIFY(!exec(QStringLiteral("UPDATE AuditLog SET UserName = 'someone else'")));
        QVERIFY(!exec(QStringLiteral("DELETE FROM AuditLog")));
        if (m_db->isPostgres())
            QVERIFY(!exec(QStringLiteral("TRUNCATE AuditLog")));
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt(), n);
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE UserName = 'x'")).toInt(), 1);
    }

    void savesAndDeletesLeaveTheirEvents()
    {
        TableDataSet customers(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        TableDataSet cases(m_mod->ADOConn, QStringLiteral("Surgery"));
        TableDataSet accounts(m_mod->ADOConn, QStringLiteral("SysManager"));
        TableDataSet classes(m_mod->ADOConn, QStringLiteral("Class"));
        for (DataSet *d : {static_cast<DataSet *>(&customers), static_cast<DataSet *>(&cases),
                           static_cast<DataSet *>(&accounts), static_cast<DataSet *>(&classes)})
            d->open();
        const QString me = AuditLog::computerAccount();

        customers.append();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070001"));
        customers.setValue(QStringLiteral("用户姓名"), QStringLiteral("张三"));
        customers.post();
        customers.edit();
        customers.setValue(QStringLiteral("电话"), QStringLiteral("13800000001"));
        customers.setValue(QStringLiteral("用户姓名"), QStringLiteral("张三")); // unchanged
        customers.post();

        cases.append();
        cases.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070001"));
        cases.setValue(QStringLiteral("手术大类"), QStringLiteral("眼部"));
        cases.setValue(QStringLiteral("手术前"), QStringLiteral("A1200612070001\\before.jpg"));
        cases.setValue(QStringLiteral("手术后"), QStringLiteral("/home/nurse/after.jpg")); // not stored
        cases.post();

        classes.append();
        classes.setValue(QStringLiteral("类别名称"), QStringLiteral("双眼皮"));
        classes.setValue(QStringLiteral("父类别"), QStringLiteral("眼部"));
        classes.post();

        QVERIFY(accounts.locate(QStringLiteral("UserName"), QStringLiteral("Admin")));
        accounts.edit();
        accounts.setValue(QStringLiteral("Pwd"), QStringLiteral("s3cret"));
        accounts.post();

        m_mod->ReadMustLogin();
        m_mod->WriteMustLogin(true);

        // A customer's delete takes its cases with it, as the records window's hook does.
        customers.setBeforeDelete([&](DataSet &) {
            AuditLog::recordWith(db(),
                                 {AuditLog::Action::CaseDeleted, QStringLiteral("A1200612070001"), QVariant(),
                                  QString(), QString()},
                                 [&] { QSqlQuery(db()).exec(QStringLiteral("DELETE FROM Surgery")); });
        });
        customers.remove();

        const QStringList expected{
            "customer-added|A1200612070001|||" + me,   "customer-changed|A1200612070001||电话|" + me,
            "case-added|A1200612070001|case||" + me,   "pictures-stored|A1200612070001|case|手术前|" + me,
            "category-added|||眼部/双眼皮|" + me,      "account-changed|||Admin：Pwd|" + me,
            "login-switch-changed|||开|" + me,         "case-deleted|A1200612070001|||" + me,
            "customer-deleted|A1200612070001|||" + me,
        };
        QCOMPARE(events(), expected);
        // Nothing personal and no password in any event.
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Detail LIKE '%张三%' OR Detail LIKE "
                                       "'%1380%' OR Detail LIKE '%s3cret%'"))
                     .toInt(),
                 0);
        QCOMPARE(scalar(QStringLiteral(
                            "SELECT count(*) FROM AuditLog WHERE Host = '%1' AND At LIKE '____-__-__T__:__:__.___Z'")
                            .arg(AuditLog::hostName()))
                     .toInt(),
                 scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt());

        // After a login, events carry the account's name.
        m_mod->SetCurrentUser({QStringLiteral("nurse"), false});
        classes.append();
        classes.setValue(QStringLiteral("类别名称"), QStringLiteral("鼻部"));
        classes.setValue(QStringLiteral("父类别"), QString());
        classes.post();
        QCOMPARE(events().last(), QStringLiteral("category-added|||鼻部|nurse"));
    }

    void eventAndChangeSucceedOrFailTogether()
    {
        TableDataSet customers(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        customers.open();
        const int before = scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt();

        // The change refused (a customer number already taken): no event.
        customers.append();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070001"));
        customers.post();
        customers.append();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070001"));
        QVERIFY_THROWS_EXCEPTION(AppError, customers.post());
        customers.cancel();
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt(), before + 1);

        // The event refused (the log cannot be written): the change is not kept either, and
        // the row stays in editing to be saved again.
        QVERIFY(exec(QStringLiteral("ALTER TABLE AuditLog RENAME TO AuditLogAway")));
        customers.append();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070002"));
        QVERIFY_THROWS_EXCEPTION(AppError, customers.post());
        QCOMPARE(customers.state(), DataSet::Insert);
        customers.cancel();
        QVERIFY(customers.locate(QStringLiteral("客户编号"), QStringLiteral("A1200612070001")));
        QVERIFY_THROWS_EXCEPTION(AppError, customers.remove());
        QVERIFY_THROWS_EXCEPTION(AppError, m_mod->WriteMustLogin(!m_mod->ReadMustLogin()));
        QVERIFY(exec(QStringLiteral("ALTER TABLE AuditLogAway RENAME TO AuditLog")));
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM tUserInfo")).toInt(), 1);
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM tUserInfo WHERE 客户编号 = 'A1200612070002'")).toInt(), 0);
        QCOMPARE(m_mod->ReadMustLogin(), false);
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM AuditLog")).toInt(), before + 1);

        // And the customer's delete refused by the database after its cases went: the cases stay.
        QVERIFY(exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200612070001', '眼部')")));
        customers.setBeforeDelete([&](DataSet &) {
            QSqlQuery(db()).exec(QStringLiteral("DELETE FROM Surgery"));
            throw AppError(QStringLiteral("refused after the cases were deleted"));
        });
        QVERIFY_THROWS_EXCEPTION(AppError, customers.remove());
        QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM Surgery")).toInt(), 1);
    }

    // Deleting a customer leaves one event per case with its pictures; a number changed by
    // hand keeps the old one; a deleted case's id is never given to a later case.
    void deletesAndRenumberingKeepTheirTrail()
    {
        auto run = [this](const QString &sql) { QVERIFY2(exec(sql), qPrintable(sql)); };
        run(QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('A1200612070001')"));
        run(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术前) VALUES "
                           "('A1200612070001', '眼部', 'A1200612070001\\a.jpg'), ('A1200612070001', '鼻部', NULL)"));
        const qint64 last = scalar(QStringLiteral("SELECT max(id) FROM Surgery")).toLongLong();
        TableDataSet customers(m_mod->ADOConn, QStringLiteral("tUserInfo"));
        customers.open();
        customers.edit();
        customers.setValue(QStringLiteral("客户编号"), QStringLiteral("A1200612070009"));
        customers.post();
        QVERIFY(events().last().contains(QStringLiteral("A1200612070001 → A1200612070009")));
        Operations::deleteCasesOf(*m_mod, QStringLiteral("A1200612070001"));
        const QStringList deleted = events().filter(QStringLiteral("case-deleted|"));
        QCOMPARE(deleted.size(), 2);
        QVERIFY(deleted.first().contains(QStringLiteral("图片：A1200612070001\\a.jpg")));
        QCOMPARE(scalar(QStringLiteral("SELECT count(DISTINCT CaseId) FROM AuditLog WHERE Action = 'case-deleted'"))
                     .toInt(),
                 2);
        run(QStringLiteral("INSERT INTO Surgery (客户编号) VALUES ('A1200612070002')"));
        QVERIFY(scalar(QStringLiteral("SELECT max(id) FROM Surgery")).toLongLong() > last);
    }

    // The chain finds what was done behind the program's back, with the guards taken off (and
    // puts the guards back): an event deleted, changed, slipped in, or the newest ones removed
    // and the log written on from there; an untouched log is whole. {n} is the n-th event
    // written here.
    void tamperingIsFound_data()
    {
        QTest::addColumn<QString>("tamper");
        QTest::addColumn<int>("firstBroken"); // 0: whole
        QTest::addColumn<QString>("finding");
        const QString fake(64, QLatin1Char('a'));
        // clang-format off
        QTest::newRow("untouched") << "" << 0 << "";
        QTest::newRow("deleted") << "DELETE FROM AuditLog WHERE id = {5}" << 5 << "第{5}条事件被删除";
        QTest::newRow("changed") << "UPDATE AuditLog SET UserName = 'nobody' WHERE id = {6}" << 6 << "第{6}条事件的内容被改动";
        QTest::newRow("forged") << "UPDATE AuditLog SET Detail = 'x', Hash = '" + fake + "' WHERE id = {7}" << 7
                                << "第{7}条事件是伪造的";
        QTest::newRow("newest removed, others slipped in")
            << "DELETE FROM AuditLog WHERE id > {8};INSERT INTO AuditLog (id, At, UserName, Host, Action) "
               "VALUES ({9}, '2026-01-01T00:00:00.000Z', 'Admin', 'ws', 'login')"
            << 9 << "第{9}条事件没有校验值";
        QTest::newRow("newest removed, log written on") << "DELETE FROM AuditLog WHERE id > {8};record" << 12
                                                        << "最后一条是第{12}条";
        // clang-format on
    }
    void tamperingIsFound()
    {
        QFETCH(QString, tamper);
        QFETCH(int, firstBroken);
        QFETCH(QString, finding);
        for (int i = 0; i < 12; ++i)
            AuditLog::record(db(), {AuditLog::Action::Login, QString(), i % 3 ? QVariant(i) : QVariant(),
                                    i % 2 ? QStringLiteral("手术医生") : QString(), QStringLiteral("user%1").arg(i)});
        const qint64 base = scalar(QStringLiteral("SELECT max(id) FROM AuditLog")).toLongLong() - 12;
        const AuditLog::ChainHead kept = AuditLog::readHead(AuditLog::headFile());
        QCOMPARE(kept.id, base + 12);
        QCOMPARE(AuditLog::chainHead(db()).hash, kept.hash);
        auto ids = [base](QString text) {
            for (int n = 12; n >= 1; --n)
                text.replace(QStringLiteral("{%1}").arg(n), QString::number(base + n));
            return text;
        };
        if (!tamper.isEmpty()) {
            QVERIFY(exec(m_db->isPostgres() ? QStringLiteral("ALTER TABLE AuditLog DISABLE TRIGGER auditlog_no_change")
                                            : QStringLiteral("DROP TRIGGER AuditLog_no_update")));
            if (!m_db->isPostgres())
                QVERIFY(exec(QStringLiteral("DROP TRIGGER AuditLog_no_delete")));
            for (const QString &sql : ids(tamper).split(QLatin1Char(';'))) {
                if (sql != QLatin1String("record"))
                    QVERIFY2(exec(sql), qPrintable(sql));
                else // the program goes on writing from what is left
                    for (const char *user : {"a", "b", "c"})
                        AuditLog::record(db(), {AuditLog::Action::Login, QString(), QVariant(), QString(),
                                                QString::fromLatin1(user)});
            }
        }
        // The head outside was not moved back by the events written after the removal.
        const AuditLog::Verdict v = AuditLog::verify(db(), AuditLog::readHead(AuditLog::headFile()));
        QCOMPARE(v.whole, firstBroken == 0);
        QCOMPARE(v.firstBroken, firstBroken ? base + firstBroken : 0);
        if (firstBroken) {
            QVERIFY2(v.summary().contains(ids(finding)), qPrintable(v.summary()));
            QVERIFY(!v.triggersRestored.isEmpty());
            QVERIFY(!exec(QStringLiteral("DELETE FROM AuditLog")));
        }
    }
};

QTEST_GUILESS_MAIN(TestAuditLog)
#include "tst_auditlog.moc"
