#include "demo_store.h"

#include "data/AppError.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace DemoStore {

namespace {

using DemoData::Slot;

bool hasFile(const Slot &s)
{
    return s.kind == Slot::Pool || s.kind == Slot::Captioned;
}

bool namesFile(const Slot &s)
{
    return hasFile(s) || s.kind == Slot::Missing;
}

// Writes a new file: to a temporary name first, every write checked, then renamed into place,
// which fails rather than replace a file that appeared meanwhile.
void writeNew(const QString &path, const QByteArray &bytes)
{
    const QString part = path + QStringLiteral(".part");
    QFile f(part);
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        throw AppError(QStringLiteral("Cannot create %1: %2").arg(part, f.errorString()));
    const bool written = f.write(bytes) == bytes.size() && f.flush();
    f.close();
    if (!written || f.error() != QFileDevice::NoError) {
        f.remove();
        throw AppError(QStringLiteral("Cannot write %1").arg(part));
    }
    if (!QFile::rename(part, path)) {
        QFile::remove(part);
        throw AppError(QStringLiteral("Cannot create %1: a file of that name exists").arg(path));
    }
}

// A hard link to the pool file; a copy where the file system has no hard links.
bool linkOrCopy(const QString &pool, const QString &path)
{
    const QByteArray from = QFile::encodeName(pool), to = QFile::encodeName(path);
    if (::link(from.constData(), to.constData()) == 0)
        return true;
    const int err = errno;
    if (err == EEXIST)
        throw AppError(QStringLiteral("Cannot create %1: a file of that name exists").arg(path));
    if (err != EXDEV && err != EPERM && err != ENOTSUP && err != EMLINK)
        throw AppError(QStringLiteral("Cannot link %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
    if (!QFile::copy(pool, path))
        throw AppError(QStringLiteral("Cannot copy %1 to %2").arg(pool, path));
    return false;
}

struct Job {
    QString path;
    QString caption; // empty: a link to the pool picture
};

} // namespace

void chooseFreeNames(DemoData::Plan &plan, const QString &picRoot)
{
    QHash<int, QSet<QString>> taken; // per customer: names on disk and names planned so far
    QHash<int, int> counter;         // per customer: next number to try after a clash
    for (DemoData::Case &c : plan.cases) {
        const QString number = plan.customers.at(c.customer).number;
        if (!taken.contains(c.customer)) {
            const QDir dir(picRoot + QLatin1Char('/') + number);
            QSet<QString> names;
            if (dir.exists())
                for (const QString &n : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
                    names.insert(n.toLower());
            taken.insert(c.customer, names);
        }
        QSet<QString> &names = taken[c.customer];
        for (Slot &s : c.pictures) {
            if (!namesFile(s))
                continue;
            if (names.contains(s.fileName.toLower())
                || names.contains(s.fileName.toLower() + QStringLiteral(".part"))) {
                int &n = counter[c.customer];
                if (n == 0)
                    n = 1;
                QString candidate;
                do {
                    candidate = QStringLiteral("IMG_%1.jpg").arg(n++, 4, 10, QLatin1Char('0'));
                } while (names.contains(candidate.toLower()));
                s.fileName = candidate;
            }
            names.insert(s.fileName.toLower());
        }
    }
}

QStringList poolPaths(const QList<DemoPictures::PoolPicture> &pool, const QString &poolFolder)
{
    QStringList paths;
    for (const DemoPictures::PoolPicture &p : pool) {
        const QString base = poolFolder + QLatin1Char('/') + p.fileName.chopped(4);
        QString path = base + QStringLiteral(".jpg");
        for (int n = 2; QFileInfo::exists(path) || QFileInfo::exists(path + QStringLiteral(".part")); ++n)
            path = base + QStringLiteral("-%1.jpg").arg(n);
        paths << path;
    }
    return paths;
}

Result writePictures(const DemoData::Plan &plan, const QList<DemoPictures::PoolPicture> &pool,
                     const QStringList &poolPaths, const QString &picRoot, const QSize &storedSize, int threads)
{
    std::vector<std::vector<Job>> jobs(size_t(pool.size()));
    QSet<QString> folders;
    for (const DemoData::Case &c : plan.cases) {
        const QString folder = picRoot + QLatin1Char('/') + plan.customers.at(c.customer).number;
        for (const Slot &s : c.pictures) {
            if (!hasFile(s) || s.pool < 0 || s.pool >= pool.size())
                continue;
            folders.insert(folder);
            jobs[size_t(s.pool)].push_back(
                Job{folder + QLatin1Char('/') + s.fileName, s.kind == Slot::Captioned ? c.caption : QString()});
        }
    }
    if (!poolPaths.isEmpty() && !QDir().mkpath(QFileInfo(poolPaths.first()).absolutePath()))
        throw AppError(QStringLiteral("Cannot create the folder %1").arg(QFileInfo(poolPaths.first()).absolutePath()));
    for (const QString &folder : std::as_const(folders))
        if (!QDir().mkpath(folder))
            throw AppError(QStringLiteral("Cannot create the folder %1").arg(folder));

    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    QString firstError;
    Result result;
    auto worker = [&]() {
        Result mine;
        try {
            for (int i = next++; i < pool.size() && !failed; i = next++) {
                DemoPictures::PoolImage image(pool.at(i), storedSize);
                writeNew(poolPaths.at(i), image.jpeg());
                ++mine.poolFiles;
                for (const Job &job : jobs[size_t(i)]) {
                    if (failed)
                        break;
                    if (!job.caption.isEmpty()) {
                        writeNew(job.path, image.withCaption(job.caption));
                        ++mine.captioned;
                    } else {
                        ++mine.links;
                        if (!linkOrCopy(poolPaths.at(i), job.path))
                            ++mine.copiedInsteadOfLinked;
                    }
                }
            }
        } catch (const std::exception &e) {
            const AppError *app = dynamic_cast<const AppError *>(&e);
            std::lock_guard<std::mutex> guard(lock);
            if (!failed.exchange(true))
                firstError = app ? app->text() : QString::fromLocal8Bit(e.what());
        }
        std::lock_guard<std::mutex> guard(lock);
        result.poolFiles += mine.poolFiles;
        result.links += mine.links;
        result.captioned += mine.captioned;
        result.copiedInsteadOfLinked += mine.copiedInsteadOfLinked;
    };
    std::vector<std::thread> running;
    for (int t = 1; t < std::max(threads, 1); ++t)
        running.emplace_back(worker);
    worker();
    for (std::thread &t : running)
        t.join();
    if (failed)
        throw AppError(firstError);
    return result;
}

qint64 diskUsage(const QString &folder)
{
    std::set<std::pair<dev_t, ino_t>> seen;
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray path = QFile::encodeName(it.next());
        struct stat st;
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (seen.insert({st.st_dev, st.st_ino}).second)
            total += qint64(st.st_size);
    }
    return total;
}

} // namespace DemoStore
