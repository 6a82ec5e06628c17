#pragma once
// The preview cache: small copies of stored pictures kept on disk, in the layout of the
// freedesktop.org thumbnail cache so that desktop programs share it. An entry lives in
// <root>/x-large (512 pixels) or <root>/xx-large (1024 pixels). It is named after the MD5 of the
// picture's file URI plus ".png", and carries in PNG tEXt chunks the URI, the picture's
// modification time and size (Thumb::URI, Thumb::MTime, Thumb::Size). An entry whose recorded
// time or size differs from the picture's is stale and never used; entries written here also
// record the time to the nanosecond and the file's inode, so that a picture replaced within the
// same second is still noticed. Entries are written to a temporary file and renamed into place,
// readable by the owner only, in folders only the owner may enter.
//
// Beside each PNG the program keeps a JPEG copy of its own, in <root>/belcara-jpeg-512 (and
// -1024, -2048), with the same fields in a JPEG comment: it is read first, because a photo's
// JPEG decodes about five times as fast as its PNG. The 2048-pixel size serves frames drawn at
// twice their size on high-density screens; no desktop program uses it, so it is kept as a JPEG
// alone (as a PNG in <root>/belcara-2048 only for a picture with transparency).
//
// The cache never writes beside the pictures: only under its root. Every member may be called
// from any thread; failing to write an entry is no error (the picture is simply decoded again).

#include <QImage>
#include <QSize>
#include <QString>

class PreviewCache {
public:
    // The sizes used here: the longer edge of an entry, unless the picture is smaller (pictures
    // are never enlarged, and one small enough needs no entry at all). The first two are the
    // freedesktop sizes; the third serves frames drawn at twice their size on high-density
    // screens. Each size has its folder, so previews of one picture at several sizes coexist.
    enum Edge { XLarge = 512, XXLarge = 1024, Huge = 2048 };
    static constexpr Edge Edges[] = {XLarge, XXLarge, Huge};

    explicit PreviewCache(const QString &root);
    const QString &root() const { return m_root; }

    // $XDG_CACHE_HOME/thumbnails, or ~/.cache/thumbnails when that is unset or not absolute;
    // empty when neither the variable nor a home folder is known.
    static QString defaultRoot();

    // What identifies the picture's content for the cache. Taken before the picture is read, so
    // that a picture replaced while it was decoded leaves an entry that no longer matches.
    struct Stamp {
        qint64 mtime = -1; // seconds, as stat's st_mtime
        qint64 size = -1;
        QByteArray fine; // nanosecond time and inode
        bool isValid() const { return mtime >= 0; }
    };
    static Stamp stampOf(const QString &path);

    // "file://" + the absolute path, percent-encoded as a URI path.
    static QByteArray uriOf(const QString &path);
    // <root>/x-large/<md5 of the URI>.png (or xx-large).
    QString entryPath(const QString &path, Edge edge) const;
    // This program's own copy: <root>/belcara-jpeg-<edge>/<md5 of the URI>.jpg.
    QString fastEntryPath(const QString &path, Edge edge) const;

    // The size of the entry for a picture of this (upright) natural size: scaled to fit a square
    // of `edge`, proportions kept, never enlarged.
    static QSize entrySize(QSize natural, Edge edge);
    // Whether a picture of this natural size gets an entry of this edge (it is larger than it).
    static bool worthCaching(QSize natural, Edge edge);
    // The smallest edge whose entry covers `shown` (the size the picture is drawn at) for a
    // picture of this natural size; false when even the largest is too small.
    static bool edgeFor(QSize natural, QSize shown, Edge *edge);

    // The entry for the picture, or a null image when there is none, it is stale (stamp, URI),
    // unreadable, or not the shape of the picture (natural) at this edge.
    QImage find(const QString &path, const Stamp &stamp, QSize natural, Edge edge) const;
    // Writes the entry atomically; false (and nothing left behind) when it could not.
    bool store(const QString &path, const Stamp &stamp, Edge edge, const QImage &preview) const;

    // The PNG bytes of an entry: the image with the tEXt chunks inserted after the header.
    static QByteArray encodeEntry(const QImage &preview, const QByteArray &uri, const Stamp &stamp);
    // The JPEG bytes of this program's copy, the same fields in a comment behind the start
    // marker; empty for a picture with transparency, which a JPEG cannot hold.
    static QByteArray encodeFastEntry(const QImage &preview, const QByteArray &uri, const Stamp &stamp);

private:
    QString m_root;
};
