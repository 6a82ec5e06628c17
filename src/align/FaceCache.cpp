// The faces of picture files, kept so that each picture is searched once: in memory for this
// process, and as one small text file per picture in the user's cache folder for the next.
// An entry is found by the picture's absolute path and belongs to its size and modification
// time; one that does not read back in full is searched again.
#include "align/Faces.h"

#include "data/AppError.h"
#include "pictures/PictureLoader.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <cmath>

namespace Align {

namespace {

// Changes whenever the search finds other faces or points: older entries are then not read.
const QString Format = QStringLiteral("belcara-faces 2");
// The picture is decoded at least this large (longest edge) to be searched.
constexpr int DecodeEdge = 2400;
constexpr int MemoryEntries = 4000;

QMutex memoryMutex;
QHash<QString, FaceSearch> &memory()
{
    static QHash<QString, FaceSearch> entries;
    return entries;
}

QString keyOf(const QFileInfo &info)
{
    return QStringLiteral("%1|%2|%3")
        .arg(info.absoluteFilePath())
        .arg(info.size())
        .arg(info.lastModified().toMSecsSinceEpoch());
}

QString entryFile(const QString &key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
    return faceCacheFolder() + QLatin1Char('/') + QString::fromLatin1(hash) + QStringLiteral(".txt");
}

QString number(double v)
{
    return QString::number(v, 'f', 2);
}

void writeEntry(const QString &key, const FaceSearch &search)
{
    if (faceCacheFolder().isEmpty() || !QDir().mkpath(faceCacheFolder()))
        return;
    QString text = Format + QLatin1Char('\n') + key + QLatin1Char('\n');
    text += QStringLiteral("size %1 %2\nfaces %3\n")
                .arg(search.pictureSize.width())
                .arg(search.pictureSize.height())
                .arg(search.faces.size());
    for (const Face &f : search.faces) {
        QStringList line{QStringLiteral("face"), number(f.score),       number(f.box.x()),
                         number(f.box.y()),      number(f.box.width()), number(f.box.height())};
        for (const QPointF &p : f.eyes)
            line << number(p.x()) << number(p.y());
        for (const QPointF &p : f.points)
            line << number(p.x()) << number(p.y());
        text += line.join(QLatin1Char(' ')) + QLatin1Char('\n');
    }
    // A cache: a failed write only means searching again next time.
    QSaveFile file(entryFile(key));
    if (file.open(QIODevice::WriteOnly)) {
        const QByteArray bytes = text.toUtf8();
        if (file.write(bytes) == bytes.size())
            file.commit();
        else
            file.cancelWriting();
    }
}

bool readEntry(const QString &key, FaceSearch &search)
{
    if (faceCacheFolder().isEmpty())
        return false;
    QFile file(entryFile(key));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1 << 20)
        return false;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() < 4 || lines[0] != Format || lines[1] != key)
        return false;
    const QStringList size = lines[2].split(QLatin1Char(' '));
    const QStringList count = lines[3].split(QLatin1Char(' '));
    bool ok = size.size() == 3 && size[0] == QLatin1String("size") && count.size() == 2
              && count[0] == QLatin1String("faces");
    const int faces = ok ? count[1].toInt(&ok) : 0;
    if (!ok || faces < 0 || lines.size() != 4 + faces)
        return false;
    FaceSearch found;
    found.pictureSize = QSize(size[1].toInt(), size[2].toInt());
    if (found.pictureSize.isEmpty())
        return false;
    constexpr int Numbers = 5 + 4 + 2 * Landmark::Count;
    for (int i = 0; i < faces; ++i) {
        const QStringList fields = lines[4 + i].split(QLatin1Char(' '));
        if (fields.size() != 1 + Numbers || fields[0] != QLatin1String("face"))
            return false;
        double v[Numbers];
        for (int n = 0; n < Numbers; ++n) {
            v[n] = fields[1 + n].toDouble(&ok);
            if (!ok || !std::isfinite(v[n]))
                return false;
        }
        Face f;
        f.score = v[0];
        f.box = QRectF(v[1], v[2], v[3], v[4]);
        f.eyes[0] = QPointF(v[5], v[6]);
        f.eyes[1] = QPointF(v[7], v[8]);
        for (int p = 0; p < Landmark::Count; ++p)
            f.points.append(QPointF(v[9 + 2 * p], v[10 + 2 * p]));
        found.faces.append(f);
    }
    search = found;
    return true;
}

} // namespace

QString faceCacheFolder()
{
    // Without a home folder there is no cache folder: faces are then kept in memory only.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return base.isEmpty() ? QString() : base + QStringLiteral("/belcara/faces");
}

void clearFaceMemoryCache()
{
    QMutexLocker lock(&memoryMutex);
    memory().clear();
}

FaceSearch facesOfFile(const QString &path)
{
    const QFileInfo info(path);
    FaceSearch search;
    if (!info.isFile()) {
        search.error = QStringLiteral("找不到图片文件：%1").arg(QDir::toNativeSeparators(path));
        return search;
    }
    const QString key = keyOf(info);
    {
        QMutexLocker lock(&memoryMutex);
        const auto kept = memory().constFind(key);
        if (kept != memory().constEnd())
            return *kept;
    }
    if (!readEntry(key, search)) {
        QImage picture;
        QSize natural;
        try {
            natural = PictureLoader::readNaturalSize(path);
            picture = PictureLoader::loadPreview(path, natural.scaled(DecodeEdge, DecodeEdge, Qt::KeepAspectRatio)
                                                           .boundedTo(natural));
        } catch (const AppError &e) {
            search.error = e.text();
            return search;
        }
        if (picture.isNull() || natural.isEmpty()) {
            search.error = QStringLiteral("图片无法读取：%1").arg(QDir::toNativeSeparators(path));
            return search;
        }
        search = findFaces(picture, natural);
        if (search.modelMissing)
            return search; // nothing was sought: nothing to keep
        writeEntry(key, search);
    }
    QMutexLocker lock(&memoryMutex);
    if (memory().size() >= MemoryEntries)
        memory().clear();
    memory().insert(key, search);
    return search;
}

} // namespace Align
