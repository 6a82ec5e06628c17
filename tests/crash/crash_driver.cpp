// Saves without end through the records window's data sets, as staff do it: a new customer
// (numbered by the window), a case of that customer with pictures picked from sourceFolder
// (imported by the window's save through the picture store), and a change of the category
// list. crash_safety.sh kills it at random moments and checks what it left behind.
//
//   crash_driver <installation folder> <source folder> [--start-only]
//
// At start it does what the program does at start-up with the picture store (removes the
// temporary copies of interrupted imports), prints "started <removed>" and then one line per
// save. It ends only when killed (or, with --start-only, right after starting).

#include "data/DataSet.h"
#include "data/PictureStore.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "records/Unit_Manager.h"
#include "support/ScriptedPrompter.h"

#include <QApplication>
#include <QDir>
#include <QRandomGenerator>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3 || (argc == 4 && qstrcmp(argv[3], "--start-only") != 0) || argc > 4) {
        std::fprintf(stderr, "usage: crash_driver <installation folder> <source folder> [--start-only]\n");
        return 2;
    }
    const QString folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath() + QLatin1Char('/');
    const QDir sources(QString::fromLocal8Bit(argv[2]));
    const QStringList pictures = sources.entryList(QDir::Files, QDir::Name);
    if (pictures.isEmpty()) {
        std::fprintf(stderr, "no source pictures in %s\n", argv[2]);
        return 2;
    }
    Settings::setPath(folder + QStringLiteral("Belcara.ini"));
    const int removed = PictureStore::removeLeftoverCopies(PictureStore::storeRoot(folder));

    DataMod = new TDataMod(folder);
    DataMod->DataModuleCreate();
    ScriptedPrompter prompter; // answers every question with its default; nothing waits
    Tfrm_Manager window(nullptr, QString());
    say(QStringLiteral("started %1").arg(removed));
    if (argc == 4)
        return 0;

    const QStringList columns = Tfrm_Manager::pictureColumns();
    QRandomGenerator random{quint32(QCoreApplication::applicationPid())};
    for (qint64 round = 0;; ++round) {
        // A customer: every field written by one save, so a half-written row shows as a
        // mismatch between name and telephone.
        TableDataSet *customers = window.adt_UserInfo;
        customers->append();
        customers->setValue(QStringLiteral("用户姓名"), QStringLiteral("N%1").arg(round));
        customers->setValue(QStringLiteral("电话"), QStringLiteral("T%1").arg(round));
        customers->setValue(QStringLiteral("地址"), QString(200, QChar(u'址')));
        customers->post();
        say(QStringLiteral("customer %1").arg(customers->asString(QStringLiteral("客户编号"))));

        // A case of that customer with two to six pictures, some of them under a name the
        // customer's folder already holds (replaced as a whole by the store).
        TableDataSet *cases = window.adt_Surgery;
        cases->append();
        cases->setValue(QStringLiteral("手术大类"), QStringLiteral("眼部"));
        cases->setValue(QStringLiteral("手术医生"), QStringLiteral("D%1").arg(round));
        cases->setValue(QStringLiteral("金额"), QString::number(round));
        const int count = 2 + int(random.bounded(5));
        for (int i = 0; i < count; ++i)
            cases->setValue(columns.at(i), sources.filePath(pictures.at(int(random.bounded(pictures.size())))));
        cases->post();
        say(QStringLiteral("case %1 %2")
                .arg(cases->asString(QStringLiteral("客户编号")), cases->asString(columns.at(0))));

        // The category list: a new minor category, and now and then one renamed or removed.
        TableDataSet *classes = window.adt_Class;
        classes->append();
        classes->setValue(QStringLiteral("类别名称"), QStringLiteral("C%1").arg(round));
        classes->setValue(QStringLiteral("父类别"), QStringLiteral("眼部"));
        classes->post();
        if (round % 3 == 1 && classes->recordCount() > 1) {
            classes->first();
            classes->edit();
            classes->setValue(QStringLiteral("类别名称"), QStringLiteral("R%1").arg(round));
            classes->post();
        } else if (round % 3 == 2 && classes->recordCount() > 1) {
            classes->last();
            classes->remove();
        }
        say(QStringLiteral("categories %1").arg(classes->recordCount()));
        QCoreApplication::processEvents();
    }
}
