// Times a full backup of an installation against `cp -a` of the same picture store in the same
// run, then an incremental backup after some pictures changed.
// Usage: bench_backup [pictures (2000)] [MB each (3)] [changed (20)]
// Everything is made under $TMPDIR (or /tmp): give it room for three copies of the store.

#include "backup/Backup.h"
#include "data/Schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void writePicture(const QString &path, qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != size)
        qFatal("cannot write %s", qPrintable(path));
}

double seconds(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int pictures = argc > 1 ? std::atoi(argv[1]) : 2000;
    const double mb = argc > 2 ? std::atof(argv[2]) : 3.0;
    const int changed = argc > 3 ? std::atoi(argv[3]) : 20;
    const qint64 size = qint64(mb * 1024 * 1024) & ~qint64(3);

    QTemporaryDir dir;
    const QString install = dir.filePath(QStringLiteral("install/"));
    QDir().mkpath(install + QStringLiteral("Data"));
    Schema::createDatabase(install + QStringLiteral("Data/Data.mdb"));
    std::printf("writing %d pictures of %.1f MB under %s\n", pictures, mb, qPrintable(dir.path()));
    for (int i = 0; i < pictures; ++i) {
        const QString folder = install + QStringLiteral("pic/A12006120%1/").arg(i / 10, 5, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        writePicture(folder + QStringLiteral("%1.jpg").arg(i % 10), size, quint32(i));
    }
    const double totalMb = double(size) * pictures / (1024 * 1024);

    // cp -a of the store, synced like the backup's own copy.
    QElapsedTimer t;
    t.start();
    if (QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), install + QStringLiteral("pic"),
                                                 dir.filePath(QStringLiteral("cp-copy"))})
            != 0
        || QProcess::execute(QStringLiteral("sync"), {QStringLiteral("-f"), dir.filePath(QStringLiteral("cp-copy"))})
               != 0)
        qFatal("cp -a failed");
    const double cp = seconds(t);
    QDir(dir.filePath(QStringLiteral("cp-copy"))).removeRecursively();

    Backup::Source source;
    source.programFolder = install;
    const QString target = dir.filePath(QStringLiteral("usb"));
    QDir().mkpath(target);
    t.restart();
    const Backup::Made full = Backup::make(source, target, 0);
    const double first = seconds(t);

    for (int i = 0; i < changed && i < pictures; ++i) {
        const int n = i * (pictures / qMax(1, changed));
        writePicture(install
                         + QStringLiteral("pic/A12006120%1/%2.jpg").arg(n / 10, 5, 10, QLatin1Char('0')).arg(n % 10),
                     size, quint32(100000 + i));
    }
    t.restart();
    const Backup::Made incremental = Backup::make(source, target, 0);
    const double second = seconds(t);

    std::printf("store: %d pictures, %.0f MB\n", pictures, totalMb);
    std::printf("cp -a + sync:          %7.2f s  (%.0f MB/s)\n", cp, totalMb / cp);
    std::printf("full backup:           %7.2f s  (%.0f MB/s)  %.2fx cp -a  (aim: within 1.3x)\n", first,
                totalMb / first, first / cp);
    std::printf("incremental, %d changed: %5.2f s  copied %lld files (aim: under 5 s)\n", changed, second,
                static_cast<long long>(incremental.copiedFiles));
    std::printf("backups: %s, %s\n", qPrintable(full.folder), qPrintable(incremental.folder));
    return 0;
}
