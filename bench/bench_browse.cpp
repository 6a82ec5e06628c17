// Browsing at clinic scale, through the real main window (offscreen, 1920 x 1080):
//  1. 50 cases of six photos each, walked with the Down key: cold preview cache, warm cache, and
//     the naive way (each picture decoded whole and scaled on the window's thread), printing per
//     case the time until all six frames are filled (median and worst), the longest stretch the
//     window's thread was busy, the peak resident memory, and the ratios; then one picture
//     opened large.
//  2. The case list at 100,000 cases walked with the Down key: the time per key press and how
//     often the customer and the customer's cases are read again.
//  3. Part 1 again in a second process at device pixel ratio 2 (QT_SCALE_FACTOR=2: the same
//     logical window on a screen of twice the pixels), where the frames are decoded for their
//     device pixels.
// Beside the cold walk stands the bare scaled decode of the same pictures, the least any cold
// path can take.
// Usage: bench_browse [--cases N] [--size WxH] [--list N] [--ratio R]
//   (--list 0 skips the list walk; --ratio R runs part 1 at that ratio alone)
#include "data/DataSet.h"
#include "pictures/JpegDecoder.h"
#include "pictures/PictureGeometry.h"
#include "pictures/PictureLoader.h"
#include "pictures/PreviewService.h"
#include "widgets/Prompter.h"
#include "data/Schema.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "browser/Unit_Main.h"
#include "browser/Unit_PanelImage.h"
#include "ui_Unit_Main.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QKeyEvent>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

// Times every event the window's thread handles from its event loop: the longest is the
// longest time the window could not answer the user.
class MeteredApp : public QApplication {
public:
    using QApplication::QApplication;
    qint64 longestNs = 0;
    bool notify(QObject *o, QEvent *e) override
    {
        if (m_depth > 0)
            return QApplication::notify(o, e);
        ++m_depth;
        QElapsedTimer t;
        t.start();
        const bool r = QApplication::notify(o, e);
        longestNs = std::max(longestNs, t.nsecsElapsed());
        --m_depth;
        return r;
    }

private:
    int m_depth = 0;
};

// Answers nothing; notes the resident memory while the large-picture window is open.
class BenchPrompter : public Prompter {
public:
    long rssWhileOpen = 0;
    Prompt::Button messageBox(QWidget *, const QString &, const QString &, Prompt::Buttons, Prompt::Icon,
                              Prompt::Button d) override
    {
        return d;
    }
    void showMessage(QWidget *, const QString &) override {}
    void showError(QWidget *, const QString &t) override { std::fprintf(stderr, "error: %s\n", qPrintable(t)); }
    QString openFile(QWidget *, const QString &, int) override { return QString(); }
    QString saveFile(QWidget *, const QString &, const QString &) override { return QString(); }
    int execModal(QDialog *) override;
    void openExternal(QWidget *, const QString &) override {}
};

long statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Starts the peak resident memory afresh (Linux), so the pictures made for the run do not count.
void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

int BenchPrompter::execModal(QDialog *)
{
    rssWhileOpen = statusKb("VmRSS:");
    return 0;
}

// A photo-like picture: gradients, texture and sensor noise, about 3 bits per pixel at
// quality 90 like a camera's, so the decoder does the work real photos give it.
QImage photoLike(QSize size, int seed)
{
    QImage img(size, QImage::Format_RGB32);
    QRandomGenerator rng{quint32(seed * 7919 + 1)};
    const int w = size.width(), h = size.height();
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(rng.bounded(28)) - 14;
            const int t = ((x / 3 + y / 5 + seed) % 9) * 3;
            line[x] = qRgb(qBound(0, x * 200 / w + 30 + n + t, 255), qBound(0, y * 180 / h + 40 + n, 255),
                           qBound(0, (x + y) * 100 / (w + h) + 60 + seed * 9 % 80 + n - t, 255));
        }
    }
    return img;
}

struct Stats {
    double median = 0, worst = 0;
};

Stats statsOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v.empty() ? 0 : v[v.size() / 2], v.empty() ? 0 : v.back()};
}

void pressDown(QWidget *grid)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(grid, &press);
    QApplication::sendEvent(grid, &release);
}

bool allFilled(TfrmMain &w, int frames)
{
    int n = 0;
    for (QFrame *host : {w.ui()->Pl_Before, w.ui()->Pl_After})
        for (TPanelImage *f : host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly)) {
            if (f->Image->picture().isNull())
                return false;
            ++n;
        }
    return n == frames;
}

// Walks from the first row down through `cases` rows; per case, the time until its six frames
// are filled.
std::vector<double> walk(MeteredApp &app, TfrmMain &w, int cases)
{
    w.adq_Surgery->moveTo(0);
    PreviewService::shared().waitForDone();
    app.processEvents();
    app.longestNs = 0;
    QTimer tick; // wakes the waiting loop should a frame fail to fill
    tick.start(50);
    std::vector<double> times;
    for (int i = 0; i < cases; ++i) {
        QElapsedTimer t;
        t.start();
        pressDown(w.ui()->DBGrid2);
        // Sleeps between events as the program's own loop does: a window thread that polls
        // would take a core from the decodes being measured.
        while (!allFilled(w, 6))
            app.processEvents(QEventLoop::WaitForMoreEvents);
        times.push_back(t.nsecsElapsed() / 1e6);
    }
    return times;
}

void printRow(const char *name, const Stats &s, double longestMs)
{
    std::printf("  %-34s median %7.1f ms   worst %7.1f ms   window thread busy at most %7.1f ms\n", name, s.median,
                s.worst, longestMs);
}

void browsePictures(MeteredApp &app, int cases, QSize size)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    QDir().mkpath(folder + QStringLiteral("Data"));
    QDir().mkpath(folder + QStringLiteral("pic/pool"));
    Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
    Settings::setPath(folder + QStringLiteral("Belcara.ini"));
    DbEngine::setConfigPath(folder + QStringLiteral("database.conf")); // the folder's SQLite file

    // Twelve distinct photos, linked under a name per case and column.
    QElapsedTimer made;
    made.start();
    QList<int> seeds;
    for (int i = 0; i < 12; ++i)
        seeds << i;
    QtConcurrent::blockingMap(seeds, [&](int s) {
        photoLike(size, s).save(folder + QStringLiteral("pic/pool/%1.jpg").arg(s), "JPG", 90);
    });
    qint64 bytes = 0;
    for (int s : seeds)
        bytes += QFileInfo(folder + QStringLiteral("pic/pool/%1.jpg").arg(s)).size();
    {
        TDataMod mod(folder);
        mod.DataModuleCreate();
        QSqlQuery q(QSqlDatabase::database(mod.ADOConn));
        // Row 0 has no pictures: the walk starts there and every step lands on six.
        q.exec(QStringLiteral(
            "INSERT INTO Surgery (客户编号, 手术大类, 手术小类) VALUES ('A1200001010000','眼部','双眼皮')"));
        for (int c = 0; c < cases; ++c) {
            const QString cust = QStringLiteral("A120000101%1").arg(c / 5 + 1, 4, 10, QLatin1Char('0'));
            QDir().mkpath(folder + QStringLiteral("pic/") + cust);
            QStringList refs;
            for (int k = 0; k < 6; ++k) {
                const QString name = QStringLiteral("%1-%2.jpg").arg(c).arg(k);
                ::link(QFile::encodeName(folder + QStringLiteral("pic/pool/%1.jpg").arg((c * 6 + k) % 12)).constData(),
                       QFile::encodeName(folder + QStringLiteral("pic/") + cust + QLatin1Char('/') + name).constData());
                refs << QLatin1Char('\'') + cust + QLatin1Char('\\') + name + QLatin1Char('\'');
            }
            q.exec(
                QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术前, 手术前1, 手术前2, 手术后, "
                               "手术后1, 手术后2) VALUES ('%1','眼部','双眼皮',%2)")
                    .arg(cust, refs.join(QLatin1Char(','))));
        }
    }
    std::printf("== device pixel ratio %.2f\n", app.devicePixelRatio());
    std::printf("%d cases of six %dx%d JPEGs (%.1f bits per pixel), made in %.1f s; %d worker threads\n", cases,
                size.width(), size.height(), bytes * 8.0 / (12.0 * size.width() * size.height()),
                made.nsecsElapsed() / 1e9, QThread::idealThreadCount());

    TDataMod mod(folder);
    mod.DataModuleCreate();
    DataMod = &mod;
    PreviewService::shared().setCacheRoot(folder + QStringLiteral("thumbnails"));
    const long rssBefore = statusKb("VmRSS:");
    resetPeak();
    std::vector<double> cold, warm, naive;
    double coldBusy = 0, warmBusy = 0, naiveBusy = 0;
    QVector<QSize> shown;
    QSize beforeShown; // the before column's frame, logical
    {
        TfrmMain w(folder);
        w.resize(1920, 1080);
        w.show();
        app.processEvents();
        w.adq_Surgery->moveTo(1);
        PreviewService::shared().waitForDone();
        app.processEvents();
        for (TPanelImage *f : w.ui()->Pl_Before->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly))
            beforeShown = f->Image->size();
        for (TPanelImage *f : w.ui()->Pl_After->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly)) {
            shown << f->Image->size();
            std::printf("frame %dx%d logical, preview %dx%d pixels\n", f->Image->width(), f->Image->height(),
                        f->Image->picture().width(), f->Image->picture().height());
        }
        std::printf("window 1920x1080: picture host %dx%d, three frames of %dx%d showing %dx%d; one frame would "
                    "show %s\n",
                    w.ui()->Pl_After->width(), w.ui()->Pl_After->height(), w.ui()->Pl_After->width() - 22,
                    w.ui()->Pl_After->height() / 3 - 12, shown.value(0).width(), shown.value(0).height(),
                    qPrintable([&] {
                        const auto fit = PictureGeometry::fitPicture(size, QSize(w.ui()->Pl_After->width() - 22,
                                                                                 w.ui()->Pl_After->height() - 20));
                        return QStringLiteral("%1x%2").arg(fit.width).arg(fit.height);
                    }()));
        QDir(folder + QStringLiteral("thumbnails")).removeRecursively();

        cold = walk(app, w, cases);
        coldBusy = app.longestNs / 1e6;
        warm = walk(app, w, cases);
        warmBusy = app.longestNs / 1e6;
        const long rssBrowsing = statusKb("VmHWM:");

        // One picture opened large: the full-size picture is held once.
        BenchPrompter prompter;
        Prompter::install(&prompter);
        TPanelImage *frame = w.ui()->Pl_After->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly).value(0);
        frame->ImageClick();
        Prompter::install(nullptr);
        std::printf("resident memory: %ld MB before the window, peak %ld MB while browsing; %ld MB with a "
                    "%dx%d picture open large\n",
                    rssBefore / 1024, rssBrowsing / 1024, prompter.rssWhileOpen / 1024, size.width(), size.height());
    }

    QSqlQuery q(QSqlDatabase::database(mod.ADOConn));
    q.exec(QStringLiteral("SELECT 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2 FROM Surgery WHERE 手术前 <> ''"));
    QList<QStringList> casePaths;
    while (q.next()) {
        QStringList paths;
        for (int k = 0; k < 6; ++k)
            paths << folder + QStringLiteral("pic/")
                         + q.value(k).toString().replace(QLatin1Char('\\'), QLatin1Char('/'));
        casePaths << paths;
    }

    // The floor under the cold path: the same six pictures of each case decoded at the DCT scale
    // their frames need (frame size times the device pixel ratio, as the frames ask), and nothing
    // else: no cache, no window. Once on one thread, once spread over as many threads as the
    // previews have.
    const qreal ratio = app.devicePixelRatio();
    const QSize beforeDevice = beforeShown * ratio, afterDevice = shown.value(0) * ratio;
    std::vector<double> bareOne, bareAll;
    QThreadPool barePool;
    barePool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    for (const QStringList &paths : casePaths) {
        QElapsedTimer t;
        t.start();
        for (int k = 0; k < 6; ++k)
            JpegDecoder::decode(paths.at(k), k < 3 ? beforeDevice : afterDevice);
        bareOne.push_back(t.nsecsElapsed() / 1e6);
    }
    for (const QStringList &paths : casePaths) {
        QElapsedTimer t;
        t.start();
        QList<int> ks{0, 1, 2, 3, 4, 5};
        QtConcurrent::blockingMap(&barePool, ks,
                                  [&](int k) { JpegDecoder::decode(paths.at(k), k < 3 ? beforeDevice : afterDevice); });
        bareAll.push_back(t.nsecsElapsed() / 1e6);
    }

    // The naive way: every picture decoded whole on the window's thread and scaled to its frame.
    for (const QStringList &paths : casePaths) {
        QElapsedTimer t;
        t.start();
        for (int k = 0; k < 6; ++k) {
            QImageReader reader(paths.at(k));
            reader.setAllocationLimit(1024);
            const QImage scaled = reader.read().scaled(shown.value(0), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            Q_UNUSED(scaled);
        }
        naive.push_back(t.nsecsElapsed() / 1e6);
        naiveBusy = std::max(naiveBusy, naive.back());
    }
    DataMod = nullptr;

    const Stats c = statsOf(cold), wm = statsOf(warm), n = statsOf(naive), b1 = statsOf(bareOne), bn = statsOf(bareAll);
    std::printf("per case, until its six frames are filled (%d cases):\n", cases);
    printRow("cold preview cache", c, coldBusy);
    printRow("warm preview cache", wm, warmBusy);
    printRow("naive synchronous full decode", n, naiveBusy);
    std::printf("  %-34s median %7.1f ms   worst %7.1f ms\n", "bare scaled decode, one thread", b1.median, b1.worst);
    std::printf("  %-34s median %7.1f ms   worst %7.1f ms\n",
                qPrintable(QStringLiteral("bare scaled decode, %1 threads").arg(barePool.maxThreadCount())), bn.median,
                bn.worst);
    std::printf("  cold / bare on %d threads = %.2fx   cold / bare on one = %.2fx (medians)\n",
                barePool.maxThreadCount(), c.median / bn.median, c.median / b1.median);
    std::printf("  naive / warm = %.1fx   naive / cold = %.1fx   cold / warm = %.1fx (medians)\n", n.median / wm.median,
                n.median / c.median, c.median / wm.median);
    std::printf("  peak resident memory with the naive way: %ld MB\n\n", statusKb("VmHWM:") / 1024);
}

void walkList(MeteredApp &app, int cases)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    const int rc = QProcess::execute(QStringLiteral(BELCARA_BINARY_DIR "/tools/belcara-demo"),
                                     {QStringLiteral("--customers"), QString::number(cases * 3 / 10),
                                      QStringLiteral("--cases"), QString::number(cases), QStringLiteral("--pictures"),
                                      QStringLiteral("0"), dir.path()});
    if (rc != 0) {
        std::fprintf(stderr, "belcara-demo failed (%d)\n", rc);
        return;
    }
    Settings::setPath(folder + QStringLiteral("Belcara.ini"));
    DbEngine::setConfigPath(folder + QStringLiteral("database.conf")); // the folder's SQLite file
    TDataMod mod(folder);
    mod.DataModuleCreate();
    DataMod = &mod;
    {
        TfrmMain w(folder);
        w.resize(1920, 1080);
        w.show();
        app.processEvents();
        int customerReads = 0, caseReads = 0, customerChanges = 0;
        QObject::connect(w.adt_Userinfo, &DataSet::rowsReset, [&] { ++customerReads; });
        QObject::connect(w.adt_Surgery, &DataSet::rowsReset, [&] { ++caseReads; });
        std::vector<double> steps;
        const int presses = std::min(cases - 1, 2000);
        QString customer = w.adq_Surgery->asString(QStringLiteral("客户编号"));
        app.longestNs = 0;
        for (int i = 0; i < presses; ++i) {
            QElapsedTimer t;
            t.start();
            pressDown(w.ui()->DBGrid2);
            app.processEvents();
            steps.push_back(t.nsecsElapsed() / 1e6);
            const QString now = w.adq_Surgery->asString(QStringLiteral("客户编号"));
            customerChanges += now != customer;
            customer = now;
        }
        const Stats s = statsOf(steps);
        std::printf("case list of %d cases, %d Down presses (key repeat is about one per 33 ms):\n", cases, presses);
        std::printf("  per press: median %.2f ms, worst %.2f ms; window thread busy at most %.2f ms\n", s.median,
                    s.worst, app.longestNs / 1e6);
        std::printf("  customer changed %d times; customer read again %d times, customer's cases %d times\n",
                    customerChanges, customerReads, caseReads);
    }
    DataMod = nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The ratio is the process's: set before the application object exists.
    QString ratio;
    for (int i = 1; i + 1 < argc; ++i)
        if (qstrcmp(argv[i], "--ratio") == 0)
            ratio = QString::fromLatin1(argv[i + 1]);
    qputenv("QT_SCALE_FACTOR", ratio.isEmpty() ? QByteArray("1") : ratio.toLatin1());
    MeteredApp app(argc, argv);
    int cases = 50, list = 100000;
    QSize size(4000, 3000);
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--cases"))
            cases = std::max(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--list"))
            list = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--size"))
            size = QSize(args[i + 1].section(QLatin1Char('x'), 0, 0).toInt(),
                         args[i + 1].section(QLatin1Char('x'), 1).toInt());
    }
    browsePictures(app, cases, size);
    if (!ratio.isEmpty())
        return 0;
    if (list > 1)
        walkList(app, list);
    // The same browse at ratio 2, in a process of its own so that its peak memory is its own.
    std::fflush(stdout);
    const QStringList childArgs{QStringLiteral("--ratio"),
                                QStringLiteral("2"),
                                QStringLiteral("--cases"),
                                QString::number(cases),
                                QStringLiteral("--size"),
                                QStringLiteral("%1x%2").arg(size.width()).arg(size.height())};
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), childArgs);
    child.waitForFinished(-1);
    return child.exitCode();
}
