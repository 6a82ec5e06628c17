// belcara-demo: makes a demo installation folder (database and picture store) with realistic,
// plainly synthetic content. See usage() for the options.
#include "data/AppError.h"
#include "demo_data.h"
#include "demo_database.h"
#include "demo_pictures.h"
#include "demo_store.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

const QSize StoredSize(4000, 3000);
const char *const PoolFolder = ".demo-pool";

void usage(FILE *to)
{
    std::fprintf(to,
                 "usage: belcara-demo [--customers N] [--cases M] [--pictures K] [--seed S] [--force] FOLDER\n"
                 "\n"
                 "Makes a demo installation in FOLDER: FOLDER/Data/Data.mdb with N customers (default 300),\n"
                 "M surgery cases (default 900) and the category tree, and before/after pictures for K cases\n"
                 "(default two thirds of the cases, at most %d; 0 makes no pictures) under FOLDER/pic/.\n"
                 "Repeated pictures are hard links to the pictures in FOLDER/%s/; the first picture of a\n"
                 "case is a copy whose caption names the case, about 0.5 MB each. S seeds the content\n"
                 "(default 1); the same options give the same installation.\n"
                 "\n"
                 "A FOLDER that already holds Data/Data.mdb is left alone unless --force is given: then that\n"
                 "database is renamed to Data.mdb.before-demo-<time> and a new one is made. Nothing is ever\n"
                 "deleted or overwritten: picture names that are taken get the next free number.\n",
                 DemoData::DefaultPictureCap, PoolFolder);
}

bool takeNumber(QStringList &args, int i, long long max, long long &out)
{
    if (i + 1 >= args.size())
        return false;
    bool ok = false;
    out = args.at(i + 1).toLongLong(&ok);
    if (!ok || out < 0 || out > max)
        return false;
    args.remove(i, 2);
    return true;
}

struct Arguments {
    DemoData::Options options;
    bool force = false;
    QString folder;
};

// Returns false (after saying why) when the command line is not understood.
bool parse(QStringList args, Arguments &a)
{
    for (int i = 0; i < args.size();) {
        const QString &arg = args.at(i);
        long long value = 0;
        if (arg == QLatin1String("--force")) {
            a.force = true;
            args.removeAt(i);
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            usage(stdout);
            std::exit(0);
        } else if (arg == QLatin1String("--customers") || arg == QLatin1String("--cases")
                   || arg == QLatin1String("--pictures")) {
            if (!takeNumber(args, i, 10000000, value)) {
                std::fprintf(stderr, "belcara-demo: %s needs a whole number from 0 to 10000000\n", qPrintable(arg));
                return false;
            }
            int &field = arg == QLatin1String("--customers") ? a.options.customers
                         : arg == QLatin1String("--cases")   ? a.options.cases
                                                             : a.options.pictures;
            field = int(value);
        } else if (arg == QLatin1String("--seed")) {
            if (!takeNumber(args, i, std::numeric_limits<long long>::max(), value)) {
                std::fprintf(stderr, "belcara-demo: --seed needs a whole number\n");
                return false;
            }
            a.options.seed = std::uint64_t(value);
        } else if (arg.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "belcara-demo: unknown option %s\n", qPrintable(arg));
            return false;
        } else {
            ++i;
        }
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "belcara-demo: give exactly one FOLDER\n");
        return false;
    }
    if (a.options.customers == 0 && a.options.cases > 0) {
        std::fprintf(stderr, "belcara-demo: cases need at least one customer\n");
        return false;
    }
    a.folder = QDir(args.first()).absolutePath();
    return true;
}

int run(const Arguments &a)
{
    QElapsedTimer timer;
    timer.start();
    const QString database = a.folder + QStringLiteral("/Data/Data.mdb");
    if (QFileInfo::exists(database) && !a.force) {
        std::fprintf(stderr,
                     "belcara-demo: %s already exists; nothing was changed.\n"
                     "Give --force to rename it aside and make a new demo there (nothing is deleted).\n",
                     qPrintable(database));
        return 1;
    }

    const bool withPictures = DemoData::picturedCases(a.options) > 0;
    const QList<DemoPictures::PoolPicture> pool = withPictures ? DemoPictures::poolLayout(StoredSize)
                                                               : QList<DemoPictures::PoolPicture>();
    DemoData::Plan plan = DemoData::makePlan(a.options, int(pool.size()));
    const QString picRoot = a.folder + QStringLiteral("/pic");
    DemoStore::chooseFreeNames(plan, picRoot);

    if (QFileInfo::exists(database)) {
        const QString aside = database + QStringLiteral(".before-demo-")
                              + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        if (!QFile::rename(database, aside))
            throw AppError(QStringLiteral("Cannot rename %1 to %2").arg(database, aside));
        std::printf("Renamed the existing database to %s\n", qPrintable(aside));
    }
    DemoDatabase::create(database, plan);
    if (!QDir().mkpath(picRoot))
        throw AppError(QStringLiteral("Cannot create the folder %1").arg(picRoot));

    DemoStore::Result pictures;
    bool anyPicture = false;
    for (const DemoData::Case &c : plan.cases)
        anyPicture = anyPicture || !c.caption.isEmpty();
    if (anyPicture) {
        const QStringList poolPaths = DemoStore::poolPaths(pool,
                                                           a.folder + QLatin1Char('/') + QLatin1String(PoolFolder));
        pictures = DemoStore::writePictures(plan, pool, poolPaths, picRoot, StoredSize, QThread::idealThreadCount());
    }

    int majors = 0, pictured = 0;
    for (const DemoData::Category &c : plan.categories)
        majors += c.parent.isEmpty() ? 1 : 0;
    for (const DemoData::Case &c : plan.cases)
        pictured += c.caption.isEmpty() ? 0 : 1;
    std::printf("Made a demo installation in %s\n", qPrintable(a.folder));
    std::printf("  Data/Data.mdb: %d customers, %d cases, %d major and %d minor categories, %d surgeons\n",
                int(plan.customers.size()), int(plan.cases.size()), majors, int(plan.categories.size()) - majors,
                int(plan.surgeons.size()));
    if (anyPicture) {
        std::printf("  pic/: pictures for %d cases: %d captioned, %d hard links to the %d pictures in %s/\n", pictured,
                    pictures.captioned, pictures.links, pictures.poolFiles, PoolFolder);
        if (pictures.copiedInsteadOfLinked > 0)
            std::printf("  this file system refused hard links: %d pictures were copied instead\n",
                        pictures.copiedInsteadOfLinked);
    }
    std::printf("  %.1f MB on disk, made in %.1f s\n", double(DemoStore::diskUsage(a.folder)) / 1e6,
                double(timer.elapsed()) / 1000.0);
    return 0;
}

// Drops the offscreen platform's remark about a missing XDG_RUNTIME_DIR: nothing here uses one.
void messages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

int main(int argc, char **argv)
{
    // Pictures are drawn with QPainter text, which needs a platform; no window is ever shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messages);
    QGuiApplication app(argc, argv);
    Arguments a;
    if (!parse(app.arguments().mid(1), a)) {
        usage(stderr);
        return 2;
    }
    try {
        return run(a);
    } catch (const AppError &e) {
        std::fprintf(stderr, "belcara-demo: %s\n", qPrintable(e.text()));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "belcara-demo: %s\n", e.what());
    }
    return 1;
}
