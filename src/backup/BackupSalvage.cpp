#include "backup/Backup.h"
#include "backup/BackupInternal.h"

#include "data/AuditLog.h"
#include "backup/BackupDb.h"
#include "backup/Restic.h"
#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/PictureStore.h"
#include "data/Settings.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSysInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStorageInfo>
#include <QThread>
#include <QUuid>

#include <sqlite3.h>

#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Backup {

using namespace Backup::Db;
using namespace Backup::Internal;

namespace Internal {

CheckFindings runCheck(const Restic::Repository &repo, const QStringList &extra, const std::function<bool()> &keepGoing)
{
    static const QRegularExpression mismatch(QStringLiteral("Pack ID does not match, want ([0-9a-f]{64})"));
    static const QRegularExpression contains(QStringLiteral("pack ([0-9a-f]{64}) contains \\d+ errors?"));
    static const QRegularExpression missing(QStringLiteral("pack ([0-9a-f]{64}): does not exist"));
    static const QRegularExpression tree(QStringLiteral("^tree ([0-9a-f]{64}): "));
    CheckFindings f;
    Restic::Result r;
    // A check needs the repository to itself: another installation's run may hold it a while.
    for (int attempt = 0;; ++attempt) {
        QByteArray out;
        r = repo.run(QStringList{QStringLiteral("check")} + extra, &out, keepGoing);
        r.errors += QString::fromUtf8(out);
        if (!r.locked() || attempt >= 12)
            break;
        QThread::sleep(10);
    }
    if (r.cancelled)
        throw Cancelled();
    if (r.wrongPassword())
        throw WrongPassword();
    if (r.exitCode == 0)
        return f;
    if (r.locked() || !r.started)
        fail(r, QStringLiteral("无法检查备份"));
    f.failed = true;
    for (const QString &line : r.errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1Char('[')) || t.startsWith(QLatin1String("using temporary cache"))
            || t.startsWith(QLatin1String("create exclusive lock")) || t.startsWith(QLatin1String("load indexes"))
            || t.startsWith(QLatin1String("check ")) || t.startsWith(QLatin1String("read "))
            || t == QLatin1String("Fatal: repository contains errors"))
            continue;
        f.problems << t;
        QRegularExpressionMatch m = mismatch.match(t);
        if (!m.hasMatch())
            m = contains.match(t);
        if (m.hasMatch())
            f.damagedPacks.insert(m.captured(1));
        else if ((m = missing.match(t)).hasMatch())
            f.missingPacks.insert(m.captured(1));
        else if ((m = tree.match(t)).hasMatch())
            f.brokenTrees.insert(m.captured(1));
    }
    if (f.problems.isEmpty())
        f.problems << tail(r.errors);
    return f;
}

QStringList photosInPacks(const Restic::Repository &repo, const QSet<QString> &packs, const QString &snapshot)
{
    QSet<QString> found;
    for (const QString &pack : packs) {
        QByteArray out;
        QStringList args{QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--pack"), pack};
        if (!snapshot.isEmpty())
            args << QStringLiteral("--snapshot") << snapshot;
        repo.run(args, &out);
        for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
            const QJsonObject o = v.toObject();
            const QString path = o.value(QLatin1String("path")).toString();
            if (!path.isEmpty())
                found.insert(path.mid(1));
        }
    }
    QStringList list(found.begin(), found.end());
    list.sort();
    return list;
}

} // namespace Internal

namespace {

qint64 filesUnder(const QString &folder)
{
    qint64 n = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        n++;
    }
    return n;
}

} // namespace

namespace Internal {

QStringList setAsideDamaged(const Restic::Repository &repo, const QString &root, const QSet<QString> &damaged,
                            const QString &installationId, const QString &picRoot,
                            const std::function<bool()> &keepGoing)
{
    QStringList lost;
    const QString staging = picRoot + QStringLiteral("/.salvage-") + stamp();
    QStringList salvaged;
    if (!damaged.isEmpty()) {
        // One snapshot and path for each piece of data in the damaged packs.
        QHash<QString, QSet<QString>> bySnapshot;
        QSet<QString> blobs;
        for (const QString &pack : damaged) {
            QByteArray out;
            repo.run({QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--pack"), pack}, &out);
            for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
                const QJsonObject o = v.toObject();
                const QString blob = o.value(QLatin1String("id")).toString();
                const QString path = o.value(QLatin1String("path")).toString();
                if (path.isEmpty() || blobs.contains(blob))
                    continue;
                blobs.insert(blob);
                bySnapshot[o.value(QLatin1String("snapshot")).toString()].insert(path);
            }
        }
        Progress none;
        QSet<QString> unreadable;
        for (auto it = bySnapshot.cbegin(); it != bySnapshot.cend(); ++it) {
            const QString into = staging + QLatin1Char('/') + it.key().left(8);
            for (const QString &l :
                 restoreInto(repo, it.key(), into, QStringList(it->begin(), it->end()), {}, none, {}))
                unreadable.insert(l);
            if (QFileInfo::exists(into))
                salvaged << it.key().left(8);
        }
        lost = QStringList(unreadable.begin(), unreadable.end());
        lost.sort();
    }
    const QString aside = root + QStringLiteral("/损坏的数据");
    for (const QString &pack : damaged) {
        const QString file = repo.path() + QStringLiteral("/data/") + pack.left(2) + QLatin1Char('/') + pack;
        if (!QFileInfo::exists(file))
            continue;
        QDir().mkpath(aside);
        moveOrFail(file, aside + QLatin1Char('/') + pack);
    }
    const Restic::Result r = repo.run({QStringLiteral("rebuild-index")}, nullptr);
    if (r.exitCode != 0) {
        QDir(staging).removeRecursively();
        fail(r, QStringLiteral("无法整理备份的索引"));
    }
    if (!salvaged.isEmpty()) {
        const Restic::Result b = repo.run(QStringList{QStringLiteral("backup"), QStringLiteral("--json"),
                                                      QStringLiteral("--compression"), QStringLiteral("off"),
                                                      QStringLiteral("--host"), hostName(), QStringLiteral("--tag"),
                                                      QStringLiteral("belcara"), QStringLiteral("--tag"),
                                                      QStringLiteral("installation=") + installationId,
                                                      QStringLiteral("--tag"), QStringLiteral("salvaged=damaged-data"),
                                                      QStringLiteral("--tag"),
                                                      QStringLiteral("photos=%1").arg(filesUnder(staging))}
                                              + salvaged,
                                          {}, keepGoing, staging);
        QDir(staging).removeRecursively();
        if (b.exitCode != 0 && b.exitCode != 3)
            fail(b, QStringLiteral("无法重新存入损坏部分中还能读出的数据"));
    }
    return lost;
}

QStringList settleBrokenSnapshots(const Restic::Repository &repo, const QSet<QString> &trees, const QString &newest,
                                  const QString &installationId, const QString &picRoot,
                                  const std::function<bool()> &keepGoing)
{
    QSet<QString> broken;
    QHash<QString, QString> times;
    for (const QString &t : trees) {
        QByteArray out;
        repo.run({QStringLiteral("find"), QStringLiteral("--json"), QStringLiteral("--tree"), t}, &out);
        for (const QJsonValue &v : QJsonDocument::fromJson(out).array()) {
            const QString snap = v.toObject().value(QLatin1String("snapshot")).toString();
            broken.insert(snap);
            times.insert(snap, v.toObject()
                                   .value(QLatin1String("time"))
                                   .toString()
                                   .left(19)
                                   .replace(QLatin1Char('T'), QLatin1Char(' ')));
        }
    }
    for (const QString &b : broken)
        if (b.startsWith(newest))
            throw AppError(QStringLiteral("新的备份 %1 也缺少数据：请换一个盘再备份").arg(newest));
    QStringList notes;
    const QHash<QString, LocalFile> kept = snapshotFiles(repo, newest);
    for (const QString &b : broken) {
        QHash<QString, LocalFile> only;
        try {
            const QHash<QString, LocalFile> files = snapshotFiles(repo, b);
            for (auto f = files.cbegin(); f != files.cend(); ++f) {
                const auto k = kept.constFind(f.key());
                if (f.key().startsWith(QLatin1String("pic/"))
                    && (k == kept.constEnd() || k->size != f->size || k->mtime != f->mtime))
                    only.insert(f.key(), f.value());
            }
        } catch (const AppError &) {
            // Its list of files is gone as well: nothing of it can be read.
        }
        QString note = QStringLiteral("较早的备份 %1（%2）缺少数据，已删除").arg(b.left(8), times.value(b));
        if (!only.isEmpty()) {
            const QString staging = picRoot + QStringLiteral("/.salvage-") + b.left(8);
            QDir(staging).removeRecursively();
            Progress none;
            // One file at a time: restic gives up on a whole restore when a piece of data is
            // missing from the index, and each file that can be read is worth keeping.
            QStringList lost;
            for (auto f = only.cbegin(); f != only.cend(); ++f) {
                try {
                    lost += restoreInto(repo, b, staging, {QLatin1Char('/') + f.key()}, {{f.key(), f.value()}}, none,
                                        {});
                } catch (const AppError &) {
                    QFile::remove(staging + QLatin1Char('/') + f.key());
                    lost << f.key();
                }
            }
            const qint64 saved = only.size() - lost.size();
            if (saved > 0) {
                const Restic::Result r = repo.run({QStringLiteral("backup"), QStringLiteral("--json"),
                                                   QStringLiteral("--compression"), QStringLiteral("off"),
                                                   QStringLiteral("--host"), hostName(), QStringLiteral("--tag"),
                                                   QStringLiteral("belcara"), QStringLiteral("--tag"),
                                                   QStringLiteral("installation=") + installationId,
                                                   QStringLiteral("--tag"), QStringLiteral("salvaged=") + b.left(8),
                                                   QStringLiteral("--tag"), QStringLiteral("photos=%1").arg(saved),
                                                   QStringLiteral("pic")},
                                                  {}, keepGoing, staging);
                if (r.exitCode != 0 && r.exitCode != 3) {
                    QDir(staging).removeRecursively();
                    fail(r, QStringLiteral("无法另存较早备份中的图片"));
                }
                note += QStringLiteral("；只在它里面的 %1 张图片另存为一个备份").arg(saved);
            }
            if (!lost.isEmpty())
                note += QStringLiteral("；%1 张已无法读出：%2")
                            .arg(lost.size())
                            .arg(lost.mid(0, 10).join(QStringLiteral("、")));
            QDir(staging).removeRecursively();
        }
        const Restic::Result f = repo.run({QStringLiteral("forget"), b}, nullptr, keepGoing);
        if (f.exitCode != 0)
            fail(f, QStringLiteral("无法删除缺少数据的备份 %1").arg(b.left(8)));
        notes << note;
    }
    return notes;
}

QString damageNote(const QString &root)
{
    return root + QStringLiteral("/damaged-packs.txt");
}

QSet<QString> notedDamage(const QString &root)
{
    QSet<QString> packs;
    QFile f(damageNote(root));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.trimmed().size() == 64)
                packs.insert(QString::fromLatin1(line.trimmed()));
    return packs;
}

} // namespace Internal

} // namespace Backup
