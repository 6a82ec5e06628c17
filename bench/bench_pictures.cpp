// Times the loading of a case's pictures for the main window's frames: our DCT-scaled preview
// against decoding at full size and scaling down, with libjpeg's bare scaled decode as the floor.
// Usage: bench_pictures [runs]

#include "pictures/JpegDecoder.h"
#include "pictures/PictureGeometry.h"
#include "pictures/PictureLoader.h"

#include <QCoreApplication>
#include <QThread>
#include <QtConcurrent>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace {

// A photo-like picture: smooth gradients with sensor noise, so that decoding costs what it
// costs for real photos (flat colours decode unrealistically fast).
QImage photoLike(int w, int h, int seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    QRandomGenerator rng{quint32(seed)};
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int n = int(rng.bounded(6));
            line[x] = qRgb((x * 255 / w + n + seed * 40) & 255, (y * 255 / h + n) & 255,
                           ((x + y) * 128 / (w + h) + n) & 255);
        }
    }
    return img;
}

// libjpeg alone at the given scale, into a reused row buffer: the least any loader can take.
void bareDecode(const QString &path, unsigned scaleNum)
{
    FILE *f = std::fopen(QFile::encodeName(path).constData(), "rb");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = scaleNum;
    cinfo.scale_denom = 8;
    cinfo.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&cinfo);
    std::vector<unsigned char> row(size_t(cinfo.output_width) * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
}

template <typename F> double bestOf(int runs, F f)
{
    double best = 1e18;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

void runSet(const QStringList &paths, QSize natural, int runs)
{
    const QSize frame(600, 300); // one of the frames of the picture area at 1920 x 1080
    const PictureGeometry::Fit fit = PictureGeometry::fitPicture(natural, frame);
    const QSize shown(fit.width, fit.height);

    const double ours = bestOf(runs, [&] {
        for (const QString &p : paths) {
            const QImage img = PictureLoader::loadPreview(p, shown);
            const QImage s = img.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            Q_UNUSED(s);
        }
    });
    // The loader is thread-safe, so a window may load a case's pictures side by side.
    const double parallel = bestOf(runs, [&] {
        QtConcurrent::blockingMap(paths, [&](const QString &p) {
            const QImage img = PictureLoader::loadPreview(p, shown);
            const QImage s = img.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            Q_UNUSED(s);
        });
    });
    const double naive = bestOf(runs, [&] {
        for (const QString &p : paths) {
            QImageReader reader(p);
            reader.setAllocationLimit(1024);
            const QImage img = reader.read();
            const QImage s = img.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            Q_UNUSED(s);
        }
    });
    const unsigned n = unsigned(JpegDecoder::scaleNumerator(natural, shown));
    const double floor = bestOf(runs, [&] {
        for (const QString &p : paths)
            bareDecode(p, n);
    });
    qint64 bytes = 0;
    for (const QString &p : paths)
        bytes += QFile(p).size();
    std::printf("%d pictures of %dx%d, %.1f bits per pixel, into frames of %dx%d (shown at %dx%d, decoded at %u/8):\n",
                int(paths.size()), natural.width(), natural.height(),
                bytes * 8.0 / (double(natural.width()) * natural.height() * paths.size()), frame.width(),
                frame.height(), shown.width(), shown.height(), n);
    std::printf("  loadPreview + smooth scale : %8.1f ms\n", ours);
    std::printf("  the same, in parallel      : %8.1f ms (%d threads)\n", parallel, QThread::idealThreadCount());
    std::printf("  full decode + smooth scale : %8.1f ms\n", naive);
    std::printf("  bare libjpeg scaled decode : %8.1f ms\n", floor);
    std::printf("  naive / ours = %.1fx (parallel: %.1fx), ours / floor = %.2fx\n\n", naive / ours, naive / parallel,
                ours / floor);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    for (const QSize size : {QSize(4000, 3000), QSize(6000, 4000)}) {
        QStringList paths;
        for (int i = 0; i < 6; ++i) {
            const QString p = dir.filePath(QStringLiteral("%1x%2-%3.jpg").arg(size.width()).arg(size.height()).arg(i));
            photoLike(size.width(), size.height(), i).save(p, "JPG", 90);
            paths << p;
        }
        runSet(paths, size, runs);
    }
    return 0;
}
