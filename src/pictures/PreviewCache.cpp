#include "pictures/PreviewCache.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const UriKey = "Thumb::URI";
const char *const MTimeKey = "Thumb::MTime";
const char *const SizeKey = "Thumb::Size";
const char *const FineKey = "X-Belcara::Stamp";

QString folderName(PreviewCache::Edge edge)
{
    switch (edge) {
    case PreviewCache::XLarge: return QStringLiteral("x-large");
    case PreviewCache::XXLarge: return QStringLiteral("xx-large");
    case PreviewCache::Huge: break;
    }
    return QStringLiteral("belcara-2048");
}

// This program's own copy of each entry, as a JPEG: a fifth of the PNG's size on a photo, and
// decoded about five times as fast, which is what a frame filled from the cache waits for.
QString fastFolderName(PreviewCache::Edge edge)
{
    return QStringLiteral("belcara-jpeg-%1").arg(int(edge));
}

// The fields that tell whether an entry still matches its picture, in the order they are kept.
QByteArray stampText(const QByteArray &uri, const PreviewCache::Stamp &stamp)
{
    return QByteArray(UriKey) + '=' + uri + '\n' + MTimeKey + '=' + QByteArray::number(stamp.mtime) + '\n' + SizeKey
           + '=' + QByteArray::number(stamp.size) + '\n' + FineKey + '=' + stamp.fine;
}

// Whether an entry's fields name this picture as it is now. Entries of other programs may lack
// the size and the fine stamp; what they carry must still match.
bool matches(const QMap<QByteArray, QByteArray> &text, const QByteArray &uri, const PreviewCache::Stamp &stamp)
{
    const QByteArray size = text.value(SizeKey);
    const QByteArray fine = text.value(FineKey);
    return text.value(UriKey) == uri && text.value(MTimeKey) == QByteArray::number(stamp.mtime)
           && (size.isEmpty() || size == QByteArray::number(stamp.size)) && (fine.isEmpty() || fine == stamp.fine);
}

// The comment segment of a JPEG before its scan, read as the stamp's fields; false when it is
// no JPEG, has no such comment or is cut short.
bool readJpegComment(const QByteArray &jpg, QMap<QByteArray, QByteArray> *text)
{
    if (!jpg.startsWith("\xff\xd8"))
        return false;
    for (qint64 at = 2; at + 4 <= jpg.size();) {
        if (quint8(jpg[at]) != 0xFF)
            return false;
        const quint8 marker = quint8(jpg[at + 1]);
        if (marker == 0xDA || marker == 0xD9)
            return false; // the scan begins: no comment came before it
        const qint64 length = quint32(quint8(jpg[at + 2])) << 8 | quint8(jpg[at + 3]);
        if (length < 2 || at + 2 + length > jpg.size())
            return false;
        if (marker == 0xFE) {
            for (const QByteArray &line : jpg.mid(at + 4, length - 2).split('\n')) {
                const int eq = line.indexOf('=');
                if (eq > 0)
                    text->insert(line.left(eq), line.mid(eq + 1));
            }
            return true;
        }
        at += 2 + length;
    }
    return false;
}

quint32 crc32(const QByteArray &bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (const char b : bytes)
        c = table[(c ^ quint8(b)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void appendBigEndian(QByteArray &out, quint32 v)
{
    out += char(v >> 24);
    out += char(v >> 16);
    out += char(v >> 8);
    out += char(v);
}

QByteArray textChunk(const char *key, const QByteArray &value)
{
    QByteArray body = QByteArray("tEXt") + key + '\0' + value;
    QByteArray chunk;
    appendBigEndian(chunk, quint32(body.size() - 4));
    chunk += body;
    appendBigEndian(chunk, crc32(body));
    return chunk;
}

quint32 bigEndian(const QByteArray &d, int at)
{
    return quint32(quint8(d[at])) << 24 | quint32(quint8(d[at + 1])) << 16 | quint32(quint8(d[at + 2])) << 8
           | quint32(quint8(d[at + 3]));
}

// The tEXt chunks before the image data of a PNG; false when it is no PNG or is cut short.
bool readTextChunks(const QByteArray &png, QMap<QByteArray, QByteArray> *text)
{
    if (!png.startsWith("\x89PNG\r\n\x1a\n"))
        return false;
    for (qint64 at = 8; at + 12 <= png.size();) {
        const qint64 length = bigEndian(png, int(at));
        if (length > png.size() - at - 12)
            return false;
        const QByteArray type = png.mid(at + 4, 4);
        if (type == "IDAT")
            return true;
        if (type == "tEXt") {
            const QByteArray body = png.mid(at + 8, length);
            const int zero = body.indexOf('\0');
            if (zero > 0)
                text->insert(body.left(zero), body.mid(zero + 1));
        }
        at += 12 + length;
    }
    return false;
}

// Creates the missing folders of path, each readable by the owner only.
bool makeFolders(const QString &path)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    for (int i = 1; i <= native.size(); ++i) {
        if (i < native.size() && native.at(i) != '/')
            continue;
        const QByteArray part = native.left(i);
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

PreviewCache::PreviewCache(const QString &root) : m_root(root) {}

QString PreviewCache::defaultRoot()
{
    // The shared thumbnail cache is where the desktop's base-directory rules put it: this is the
    // one place the program looks at its environment.
    const QString xdg = QFile::decodeName(qgetenv("XDG_CACHE_HOME"));
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg) + QStringLiteral("/thumbnails");
    const QString home = QFile::decodeName(qgetenv("HOME"));
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home) + QStringLiteral("/.cache/thumbnails");
    return QString();
}

PreviewCache::Stamp PreviewCache::stampOf(const QString &path)
{
    Stamp s;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return s;
    s.mtime = qint64(st.st_mtim.tv_sec);
    s.size = qint64(st.st_size);
    s.fine = QByteArray::number(qint64(st.st_mtim.tv_nsec)) + ':' + QByteArray::number(quint64(st.st_ino));
    return s;
}

QByteArray PreviewCache::uriOf(const QString &path)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    static const QByteArray kept("-._~!$&'()*+,;=:@/");
    QByteArray uri("file://");
    for (const char c : native) {
        const uchar u = uchar(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || kept.contains(c)) {
            uri += c;
        } else {
            uri += '%';
            uri += QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
        }
    }
    return uri;
}

QString PreviewCache::entryPath(const QString &path, Edge edge) const
{
    const QByteArray md5 = QCryptographicHash::hash(uriOf(path), QCryptographicHash::Md5).toHex();
    return m_root + QLatin1Char('/') + folderName(edge) + QLatin1Char('/') + QString::fromLatin1(md5)
           + QStringLiteral(".png");
}

QString PreviewCache::fastEntryPath(const QString &path, Edge edge) const
{
    const QByteArray md5 = QCryptographicHash::hash(uriOf(path), QCryptographicHash::Md5).toHex();
    return m_root + QLatin1Char('/') + fastFolderName(edge) + QLatin1Char('/') + QString::fromLatin1(md5)
           + QStringLiteral(".jpg");
}

QSize PreviewCache::entrySize(QSize natural, Edge edge)
{
    const int longer = std::max(natural.width(), natural.height());
    if (longer <= edge || natural.isEmpty())
        return natural;
    const double f = double(edge) / longer;
    return QSize(std::max(1, int(std::lround(natural.width() * f))),
                 std::max(1, int(std::lround(natural.height() * f))));
}

bool PreviewCache::worthCaching(QSize natural, Edge edge)
{
    return !natural.isEmpty() && std::max(natural.width(), natural.height()) > edge;
}

bool PreviewCache::edgeFor(QSize natural, QSize shown, Edge *edge)
{
    for (const Edge e : Edges) {
        const QSize s = entrySize(natural, e);
        if (s.width() >= shown.width() && s.height() >= shown.height()) {
            *edge = e;
            return true;
        }
    }
    return false;
}

QImage PreviewCache::find(const QString &path, const Stamp &stamp, QSize natural, Edge edge) const
{
    if (m_root.isEmpty() || !stamp.isValid())
        return QImage();
    const QByteArray uri = uriOf(path);
    // This program's JPEG first; then the shared PNG, which another program may have written.
    for (const bool fast : {true, false}) {
        QFile file(fast ? fastEntryPath(path, edge) : entryPath(path, edge));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = file.readAll();
        // The fields stand before the pixel data, so a stale entry costs no decoding.
        QMap<QByteArray, QByteArray> text;
        if (!(fast ? readJpegComment(bytes, &text) : readTextChunks(bytes, &text)) || !matches(text, uri, stamp))
            continue;
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, fast ? "jpeg" : "png");
        reader.setAutoDetectImageFormat(false);
        reader.setAutoTransform(false);
        // An entry of another shape was made from another picture or without the camera's
        // orientation: not ours to show.
        const QSize expected = entrySize(natural, edge);
        const QSize actual = reader.size();
        if (qAbs(actual.width() - expected.width()) > 1 || qAbs(actual.height() - expected.height()) > 1)
            continue;
        QImage image;
        if (reader.read(&image))
            return image;
    }
    return QImage();
}

QByteArray PreviewCache::encodeFastEntry(const QImage &preview, const QByteArray &uri, const Stamp &stamp)
{
    if (preview.isNull() || preview.hasAlphaChannel())
        return QByteArray();
    const QByteArray comment = stampText(uri, stamp);
    if (comment.size() > 65533)
        return QByteArray();
    QByteArray jpg;
    QBuffer buffer(&jpg);
    buffer.open(QIODevice::WriteOnly);
    if (!preview.save(&buffer, "JPG", 90) || !jpg.startsWith("\xff\xd8"))
        return QByteArray();
    // The comment goes right behind the start marker, before everything a reader must decode.
    QByteArray segment("\xff\xfe", 2);
    segment += char((comment.size() + 2) >> 8);
    segment += char((comment.size() + 2) & 0xFF);
    segment += comment;
    jpg.insert(2, segment);
    return jpg;
}

QByteArray PreviewCache::encodeEntry(const QImage &preview, const QByteArray &uri, const Stamp &stamp)
{
    if (preview.isNull())
        return QByteArray();
    // Written here rather than through Qt's PNG writer: every row with the "Up" filter and the
    // quickest zlib level. Preview pixels differ little from the row above, so the entries come
    // out about as small as with the writer's per-row filter search, in a quarter of the time.
    const bool alpha = preview.hasAlphaChannel();
    const QImage pixels = preview.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (pixels.isNull())
        return QByteArray();
    const int w = pixels.width(), h = pixels.height();
    const qsizetype rowBytes = qsizetype(w) * (alpha ? 4 : 3);
    QByteArray filtered;
    filtered.resize((rowBytes + 1) * h);
    char *out = filtered.data();
    for (int y = 0; y < h; ++y) {
        const uchar *row = pixels.constScanLine(y);
        const uchar *above = y > 0 ? pixels.constScanLine(y - 1) : nullptr;
        *out++ = 2; // Up: each byte less the byte above it
        for (qsizetype x = 0; x < rowBytes; ++x)
            *out++ = char(above ? uchar(row[x] - above[x]) : row[x]);
    }
    // qCompress gives a zlib stream behind four bytes of length.
    const QByteArray zlib = qCompress(filtered, 1).mid(4);
    if (zlib.isEmpty())
        return QByteArray();

    auto chunk = [](const char *type, const QByteArray &data) {
        const QByteArray body = QByteArray(type) + data;
        QByteArray c;
        appendBigEndian(c, quint32(data.size()));
        c += body;
        appendBigEndian(c, crc32(body));
        return c;
    };
    QByteArray header;
    appendBigEndian(header, quint32(w));
    appendBigEndian(header, quint32(h));
    header += char(8);             // bits per sample
    header += char(alpha ? 6 : 2); // truecolour, with or without alpha
    header += char(0);             // deflate
    header += char(0);             // adaptive filtering
    header += char(0);             // not interlaced
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += chunk("IHDR", header);
    png += textChunk(UriKey, uri) + textChunk(MTimeKey, QByteArray::number(stamp.mtime))
           + textChunk(SizeKey, QByteArray::number(stamp.size)) + textChunk(FineKey, stamp.fine)
           + textChunk("Software", "Belcara");
    png += chunk("IDAT", zlib);
    png += chunk("IEND", QByteArray());
    return png;
}

namespace {

// Writes bytes to target through a temporary file beside it, readable by the owner only, and
// renames it into place; nothing is left behind when a step fails.
bool writeEntry(const QString &target, const QByteArray &bytes)
{
    if (bytes.isEmpty() || !makeFolders(QFileInfo(target).path()))
        return false;
    QByteArray temp = QFile::encodeName(target) + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes);
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.constData(), QFile::encodeName(target).constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

} // namespace

bool PreviewCache::store(const QString &path, const Stamp &stamp, Edge edge, const QImage &preview) const
{
    if (m_root.isEmpty() || !stamp.isValid() || preview.isNull())
        return false;
    const QByteArray uri = uriOf(path);
    // The JPEG serves this program; the PNG of the shared sizes serves the desktop too. The
    // largest size is this program's alone, so a PNG of it is made only where a JPEG cannot
    // be (a picture with transparency).
    const bool fast = writeEntry(fastEntryPath(path, edge), encodeFastEntry(preview, uri, stamp));
    if (edge == Huge && fast)
        return true;
    return writeEntry(entryPath(path, edge), encodeEntry(preview, uri, stamp)) || fast;
}
