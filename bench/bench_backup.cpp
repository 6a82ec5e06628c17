// Times a full backup of an installation into an encrypted repository against `cp -a` of the
// same picture store in the same run, an incremental backup after some pictures changed, the
// check after a run (structure, and a tenth of the data read back), and the restore of one
// customer with 100 photos.
// Usage: bench_backup [pictures (2000)] [MB each (3)] [changed (20)]
// Everything is made under $TMPDIR (or /tmp): give it room for three copies of the store.

#include "backup/Backup.h"
#include "backup/Restic.h"
#include "data/Schema.h"

#include <QSqlDatabase>
#include <QSqlQuery>

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
    // One customer has the first 100 photos; the others ten each.
    const QString customer = QStringLiteral("A1200612099999");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench"));
        db.setDatabaseName(install + QStringLiteral("Data/Data.mdb"));
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1', '客户')").arg(customer));
        q.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术前) VALUES ('%1', '眼部', '%1\\0.jpg')")
                   .arg(customer));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    const auto pathOf = [&](int i) {
        return i < 100
                   ? install + QStringLiteral("pic/%1/%2.jpg").arg(customer).arg(i)
                   : install
                         + QStringLiteral("pic/A12006120%1/%2.jpg").arg(i / 10, 5, 10, QLatin1Char('0')).arg(i % 10);
    };
    std::printf("writing %d pictures of %.1f MB under %s\n", pictures, mb, qPrintable(dir.path()));
    for (int i = 0; i < pictures; ++i) {
        QDir().mkpath(QFileInfo(pathOf(i)).absolutePath());
        writePicture(pathOf(i), size, quint32(i));
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

    // The temporary folders share one disk.
    qputenv("BELCARA_BACKUP_ANY_FOLDER", "1");
    const QByteArray password = "bench password";
    Backup::Source source;
    source.programFolder = install;
    const QString target = dir.filePath(QStringLiteral("usb"));
    QDir().mkpath(target);
    t.restart();
    const Backup::Made full = Backup::make(source, target, password, 0, true);
    const double first = seconds(t);

    for (int i = 0; i < changed && i < pictures; ++i)
        writePicture(pathOf(i * (pictures / qMax(1, changed))), size, quint32(100000 + i));
    t.restart();
    const Backup::Made incremental = Backup::make(source, target, password, 0, false);
    const double second = seconds(t);

    const Restic::Repository repo(Backup::repositoryPath(target), password);
    t.restart();
    repo.run({QStringLiteral("check")}, nullptr);
    const double check = seconds(t);
    t.restart();
    repo.run({QStringLiteral("check"), QStringLiteral("--read-data-subset"), QStringLiteral("1/10")}, nullptr);
    const double subset = seconds(t);

    QDir(install + QStringLiteral("pic/") + customer).removeRecursively();
    t.restart();
    const Backup::Restored one = Backup::restoreCustomer(source, target, password, QString(), customer);
    const double restoreOne = seconds(t);

    std::printf("store: %d pictures, %.0f MB\n", pictures, totalMb);
    std::printf("cp -a + sync:          %7.2f s  (%.0f MB/s)\n", cp, totalMb / cp);
    std::printf("full backup:           %7.2f s  (%.0f MB/s)  %.2fx cp -a  (aim: within 1.5x; includes its check)\n",
                first, totalMb / first, first / cp);
    std::printf("incremental, %d changed: %5.2f s  read %lld files (aim: under 5 s)\n", changed, second,
                static_cast<long long>(incremental.newFiles));
    std::printf("check (structure):     %7.2f s\n", check);
    std::printf("check, 1/10 read back: %7.2f s\n", subset);
    std::printf("restore of one customer, %lld photos: %.2f s (aim: under 10 s)\n", static_cast<long long>(one.files),
                restoreOne);
    std::printf("snapshots: %s, %s\n", qPrintable(full.snapshot), qPrintable(incremental.snapshot));
    return 0;
}
