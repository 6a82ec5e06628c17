// Comparison-sheet export: a two-page PDF of two pairs of 24-megapixel photos (6000 x 4000).
// The pictures are made first; the export then runs in a fresh process of this program so that
// its time and peak resident memory are its own.

#include "export/Sheet.h"
#include "export/SheetExport.h"
#include "widgets/ProgramFont.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

long statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

void makePhoto(const QString &path, quint32 seed)
{
    QImage image(6000, 4000, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, 4000);
    g.setColorAt(0, QColor(230, 214, 200));
    g.setColorAt(1, QColor(170, 130, 110));
    p.fillRect(image.rect(), g);
    QRandomGenerator rng(seed);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 400; ++i) {
        p.setBrush(QColor(rng.bounded(256), rng.bounded(256), rng.bounded(256), 90));
        p.drawEllipse(QPointF(rng.bounded(6000), rng.bounded(4000)), rng.bounded(20, 400), rng.bounded(20, 400));
    }
    p.end();
    QImageWriter w(path, "jpeg");
    w.setQuality(90);
    w.write(image);
}

int exportRun(const QString &dir)
{
    installFontSubstitutes();
    Sheet::Request r;
    r.purpose = Sheet::Purpose::Publicity;
    r.layout = Sheet::Layout::SideBySide;
    r.showDates = true;
    r.watermark.text = QStringLiteral("丽颜医疗美容");
    for (int i = 0; i < 2; ++i) {
        Sheet::Pair pair;
        pair.before.path = dir + QStringLiteral("/b%1.jpg").arg(i);
        pair.after.path = dir + QStringLiteral("/a%1.jpg").arg(i);
        pair.after.after = true;
        pair.before.major = pair.after.major = QStringLiteral("眼部");
        pair.before.minor = pair.after.minor = QStringLiteral("双眼皮");
        pair.alignment = Align::Similarity(1.03, 1.5, QPointF(-40, 25));
        pair.beforeBars = {QPolygonF(QRectF(2000, 1500, 2000, 400))};
        pair.afterBars = {QPolygonF(QRectF(2000, 1500, 2000, 400))};
        r.pairs.append(pair);
    }
    const QString out = dir + QStringLiteral("/sheet.pdf");
    QElapsedTimer t;
    t.start();
    // The export's own painting, without the consent check and audit (no database here).
    {
        QPdfWriter pdf(out);
        pdf.setResolution(300);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
        QPainter painter(&pdf);
        for (int page = 0; page < Sheet::pageCount(r); ++page) {
            if (page > 0)
                pdf.newPage();
            const QRect rect = pdf.pageLayout().paintRectPixels(300);
            Sheet::paintPage(painter, QRectF(QPointF(0, 0), QSizeF(rect.size())), r, page);
        }
    }
    const double ms = t.nsecsElapsed() / 1e6;
    std::printf("  pages: %d   file: %.1f MB\n", Sheet::pageCount(r), QFileInfo(out).size() / 1048576.0);
    std::printf("  time: %.0f ms (aim < 3000)\n", ms);
    std::printf("  peak resident memory: %ld MB (aim < 500)\n", statusKb("VmHWM:") / 1024);
    // The same sheet as a JPEG 2048 wide, page 1.
    t.restart();
    const QImage image = SheetExport::renderPageImage(r, 0, 2048);
    std::printf("  JPEG page 2048 x %d: %.0f ms\n", image.height(), t.nsecsElapsed() / 1e6);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--export") == 0)
        return exportRun(QString::fromLocal8Bit(argv[2]));
    QTemporaryDir dir;
    std::printf("Export of a two-page PDF from four 24 MP photos (6000 x 4000 JPEG)\n");
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 2; ++i) {
        makePhoto(dir.filePath(QStringLiteral("b%1.jpg").arg(i)), 10 + i);
        makePhoto(dir.filePath(QStringLiteral("a%1.jpg").arg(i)), 20 + i);
    }
    std::printf("  (photos made in %.1f s)\n", t.nsecsElapsed() / 1e9);
    std::fflush(stdout);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--export"), dir.path()});
    child.waitForFinished(-1);
    return child.exitCode();
}
