// The audit log at scale: the viewer's first page, unfiltered and under each filter, on a log of
// 1,000,000 events (aim: under 100 ms each); the check of the whole chain (aim: 2 s); and what the event adds to saving a customer row
// on SQLite (aim: under 1 ms). Prints milliseconds, the median of several runs.
//
//   bench_audit [events]      default 1000000
#include "data/AuditLog.h"
#include "data/AuditQuery.h"
#include "data/DataSet.h"
#include "data/Schema.h"
#include "data/Settings.h"
#include "data/Transaction.h"
#include "data/Unit_DataMod.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>

static double medianMs(const std::function<void()> &fn, int runs = 9)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        fn();
        t.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// A log over two years: 20 users on 5 workstations, the actions in their usual mix, customer
// events spread over 50,000 customers.
static void fill(const QSqlDatabase &db, int events)
{
    const QVector<AuditLog::Action> common{AuditLog::Action::CaseChanged,    AuditLog::Action::CustomerChanged,
                                           AuditLog::Action::Login,          AuditLog::Action::CaseAdded,
                                           AuditLog::Action::PicturesStored, AuditLog::Action::CustomerAdded,
                                           AuditLog::Action::LoginFailed,    AuditLog::Action::CategoryAdded};
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-730);
    QSqlQuery q(db);
    q.exec(QStringLiteral("BEGIN"));
    q.prepare(QStringLiteral("INSERT INTO AuditLog (id, At, UserName, Host, Action, CustomerNo, CaseId, Detail, Hash) "
                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    AuditLog::ChainHead head = AuditLog::chainHead(db);
    const qint64 span = qint64(730) * 86400 * 1000;
    for (int i = 0; i < events; ++i) {
        const QDateTime at = start.addMSecs(span / events * i);
        const AuditLog::Action a = common.at((i * 7) % common.size());
        const bool customer = a != AuditLog::Action::Login && a != AuditLog::Action::LoginFailed
                              && a != AuditLog::Action::CategoryAdded;
        const QString when = at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
        const QString user = QStringLiteral("user%1").arg(i % 20);
        const QString host = QStringLiteral("ws%1").arg(i % 5);
        const QVariant customerNo = customer
                                        ? QVariant(QStringLiteral("A120%1").arg(i % 50000, 10, 10, QLatin1Char('0')))
                                        : QVariant();
        const QVariant caseId = customer ? QVariant(qlonglong(i / 3)) : QVariant();
        const QString detail = QStringLiteral("手术医生、金额");
        ++head.id;
        head.hash = AuditLog::eventHash(head.hash, head.id, when, user, host, AuditLog::code(a), customerNo, caseId,
                                        detail);
        q.addBindValue(head.id);
        q.addBindValue(when);
        q.addBindValue(user);
        q.addBindValue(host);
        q.addBindValue(AuditLog::code(a));
        q.addBindValue(customerNo);
        q.addBindValue(caseId);
        q.addBindValue(detail);
        q.addBindValue(head.hash);
        q.exec();
    }
    q.exec(QStringLiteral("COMMIT"));
    q.exec(QStringLiteral("ANALYZE"));
    AuditLog::writeHead(AuditLog::headFile(), head);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int events = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000000;
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    Settings::setPath(folder + QStringLiteral("Belcara.ini"));
    Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
    TDataMod mod(folder);
    mod.DataModuleCreate();
    const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn, false);

    QElapsedTimer made;
    made.start();
    fill(db, events);
    std::printf("audit log: %d events made in %.1f s\n", events, made.elapsed() / 1000.0);

    // The check of the whole chain, as the start-up check and verify-audit run it (aim: 2 s).
    AuditLog::Verdict verdict;
    const double checkMs = medianMs([&] { verdict = AuditLog::verify(db, AuditLog::readHead(AuditLog::headFile())); },
                                    3);
    std::printf("checking the chain of %lld events: %.0f ms (%s)\n", static_cast<long long>(verdict.events), checkMs,
                verdict.whole ? "whole" : "NOT whole");

    const int pageSize = 100;
    struct Case {
        const char *name;
        AuditQuery::Filter filter;
    };
    const QDate today = QDate::currentDate();
    AuditQuery::Filter none, byDate, byUser, byAction, byCustomer, all;
    byDate.from = today.addDays(-400);
    byDate.to = today.addDays(-370);
    byUser.user = QStringLiteral("user7");
    byAction.action = AuditLog::code(AuditLog::Action::LoginFailed);
    byCustomer.customerNo = QStringLiteral("A120%1").arg(12347, 10, 10, QLatin1Char('0'));
    all = byDate;
    all.user = QStringLiteral("user0");
    all.action = AuditLog::code(AuditLog::Action::CaseChanged);
    const Case cases[] = {{"first page, no filter", none},
                          {"date range (one month)", byDate},
                          {"user", byUser},
                          {"action (a rare one)", byAction},
                          {"customer number", byCustomer},
                          {"date + user + action", all}};
    for (const Case &c : cases) {
        int rows = 0;
        const double ms = medianMs([&] { rows = AuditQuery::page(db, c.filter, pageSize).size(); });
        // The tenth page, reached page by page as the viewer does.
        QVector<AuditQuery::Event> page = AuditQuery::page(db, c.filter, pageSize);
        for (int i = 1; i < 9 && !page.isEmpty(); ++i) {
            const AuditQuery::Event last = page.last();
            page = AuditQuery::page(db, c.filter, pageSize, &last);
        }
        double tenth = 0;
        if (!page.isEmpty()) {
            const AuditQuery::Event last = page.last();
            tenth = medianMs([&] { AuditQuery::page(db, c.filter, pageSize, &last); });
        }
        std::printf("  %-24s %8.2f ms (%d rows; 10th page %.2f ms)\n", c.name, ms, rows, tenth);
    }

    // Saving a customer's telephone through a table data set, with its event, against the same
    // save written directly without one.
    TableDataSet customers(mod.ADOConn, QStringLiteral("tUserInfo"));
    QSqlQuery(db).exec(QStringLiteral("INSERT INTO tUserInfo (客户编号) VALUES ('A1200612070001')"));
    customers.open();
    int n = 0;
    const double withEvent = medianMs(
                                 [&] {
                                     for (int i = 0; i < 50; ++i) {
                                         customers.edit();
                                         customers.setValue(QStringLiteral("电话"), QString::number(++n));
                                         customers.post();
                                     }
                                 },
                                 7)
                             / 50;
    QSqlQuery plain(db);
    // The statement the table data set sends: every column but the key.
    plain.prepare(QStringLiteral("UPDATE \"tUserInfo\" SET \"客户编号\" = ?, \"用户姓名\" = ?, \"性别\" = ?, "
                                 "\"年龄\" = ?, \"电话\" = ?, \"地址\" = ? WHERE id = ?"));
    const double without = medianMs(
                               [&] {
                                   for (int i = 0; i < 50; ++i) {
                                       Transaction t(db);
                                       plain.addBindValue(QStringLiteral("A1200612070001"));
                                       for (int k = 0; k < 3; ++k)
                                           plain.addBindValue(QVariant());
                                       plain.addBindValue(QString::number(++n));
                                       plain.addBindValue(QVariant());
                                       plain.addBindValue(customers.rowId(0));
                                       plain.exec();
                                       t.commit();
                                   }
                               },
                               7)
                           / 50;
    const double withRecord = medianMs(
                                  [&] {
                                      for (int i = 0; i < 50; ++i) {
                                          Transaction t(db);
                                          plain.addBindValue(QStringLiteral("A1200612070001"));
                                          for (int k = 0; k < 3; ++k)
                                              plain.addBindValue(QVariant());
                                          plain.addBindValue(QString::number(++n));
                                          plain.addBindValue(QVariant());
                                          plain.addBindValue(customers.rowId(0));
                                          plain.exec();
                                          AuditLog::record(db, {AuditLog::Action::CustomerChanged,
                                                                QStringLiteral("A1200612070001"), QVariant(),
                                                                QStringLiteral("电话"), QString()});
                                          t.commit();
                                      }
                                  },
                                  7)
                              / 50;
    const double eventOnly = medianMs(
                                 [&] {
                                     for (int i = 0; i < 50; ++i) {
                                         Transaction t(db);
                                         AuditLog::record(db, {AuditLog::Action::CustomerChanged,
                                                               QStringLiteral("A1200612070001"), QVariant(),
                                                               QStringLiteral("电话"), QString()});
                                         // rolled back when t ends
                                     }
                                 },
                                 7)
                             / 50;
    std::printf("saving a customer row (each save its own committed transaction, synchronous=FULL):\n"
                "  the update alone %.3f ms; the update and its event %.3f ms: the event adds %.3f ms\n"
                "  (its insert inside the transaction %.3f ms; the rest is the commit writing a few more\n"
                "  pages, within the noise of the disk's flush)\n"
                "  a save through the table data set, event included: %.3f ms\n",
                without, withRecord, withRecord - without, eventOnly, withEvent);
    return 0;
}
