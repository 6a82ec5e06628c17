// The case list at clinic scale: opening the full list and the filters at 100,000 cases, next to
// a plain COUNT(*) on the same file as the floor. Prints milliseconds (median of several runs).
#include "data/DataSet.h"
#include "data/JetSql.h"
#include "data/Statements.h"
#include "data/Unit_DataMod.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>

static double medianMs(const std::function<void()> &fn, int runs = 7)
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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int cases = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    QTemporaryDir dir;
    const QString demo = QStringLiteral(BELCARA_BINARY_DIR "/tools/belcara-demo");
    QElapsedTimer made;
    made.start();
    const int rc = QProcess::execute(demo, {QStringLiteral("--customers"), QString::number(cases * 3 / 10),
                                            QStringLiteral("--cases"), QString::number(cases),
                                            QStringLiteral("--pictures"), QStringLiteral("0"), dir.path()});
    if (rc != 0) {
        std::fprintf(stderr, "belcara-demo failed (%d)\n", rc);
        return 1;
    }
    std::printf("made %d cases in %.0f ms\n", cases, made.nsecsElapsed() / 1e6);

    TDataMod mod(dir.path());
    mod.OpenDatabase();
    QSqlDatabase db = QSqlDatabase::database(mod.ADOConn);

    const double floor = medianMs([&] {
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT COUNT(*) FROM Surgery"));
        q.next();
    });

    auto openList = [&](const QString &statement) {
        return medianMs([&] {
            QueryDataSet ds(mod.ADOConn);
            ds.setSql(statement);
            ds.open();
            volatile int n = ds.recordCount();
            (void)n;
            (void)ds.valueAt(0, QStringLiteral("客户编号"));
        });
    };
    Statements::CaseFilter bySurgeon;
    bySurgeon.bySurgeon = true;
    bySurgeon.surgeon = QStringLiteral("王");
    Statements::CaseFilter byCategory;
    byCategory.byCategory = true;
    byCategory.hasMajor = true;
    byCategory.major = QStringLiteral("眼部整形");
    Statements::CaseFilter byDate;
    byDate.byDate = true;
    byDate.from = QDate(2021, 1, 1);
    byDate.to = QDate(2021, 12, 31);

    // The statement's own count is the least any list of its rows can cost: the engine has to
    // find the rows once.
    auto countOnly = [&](const QString &statement) {
        const QString sql = JetSql::translate(statement);
        return medianMs([&] {
            QSqlQuery q(db);
            q.exec(QStringLiteral("SELECT COUNT(*) FROM (%1)").arg(sql));
            q.next();
        });
    };
    struct Row {
        const char *name;
        QString sql;
    };
    const Row rows[] = {
        {"full list", Statements::showAll()},
        {"surgeon text", Statements::filter(bySurgeon)},
        {"category", Statements::filter(byCategory)},
        {"date range", Statements::filter(byDate)},
    };
    std::printf("floor: SELECT COUNT(*) FROM Surgery: %.2f ms\n", floor);
    std::printf("%-13s %9s %16s %14s\n", "list", "open", "its own COUNT", "vs COUNT(*)");
    for (const Row &r : rows) {
        const double open = openList(r.sql);
        const double own = countOnly(r.sql);
        std::printf("%-13s %6.2f ms %9.2f ms (%.1fx) %9.1fx\n", r.name, open, own, open / own, open / floor);
    }
    return 0;
}
