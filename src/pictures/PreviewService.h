#pragma once
// Previews decoded on worker threads for a window that must not wait: the window asks for a
// picture at the size it will draw it, goes on, and is handed the preview later on its own
// thread. Requests belong to a PreviewGroup (the pictures of one case); starting the group's
// next generation abandons everything asked before: work not yet begun is skipped, and a result
// that comes back for an older generation is dropped, so it can never be shown for the wrong
// case. Previews come from the PreviewCache where it has them and are added to it otherwise.

#include "pictures/PreviewCache.h"

#include <QImage>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// The generation counter the requests of one case share with the workers. Copies share it.
class PreviewGroup {
public:
    PreviewGroup();
    // Abandons every request made so far and returns the new generation.
    quint64 restart();
    quint64 generation() const;
    bool isCurrent(quint64 generation) const;
    // True the first time it is asked for the current generation, false afterwards and for an
    // older generation: one case reports at most one failure. Window thread only.
    bool claimFailureReport(quint64 generation);

private:
    struct State {
        std::atomic<quint64> generation{1};
        quint64 reported = 0;
    };
    std::shared_ptr<State> m_state;
};

struct PreviewResult {
    QImage image;  // scaled to the size asked for (never enlarged)
    QString error; // the decoder's text when the picture could not be read
    bool fromCache = false;
    bool ok() const { return error.isEmpty(); }
};

class PreviewService : public QObject {
    Q_OBJECT
public:
    // Uses PreviewCache::defaultRoot() and as many workers as the machine has cores.
    explicit PreviewService(QObject *parent = nullptr);
    ~PreviewService() override; // abandons queued work and waits for the running work

    // The program's service, made on first use as a child of the application object.
    static PreviewService &shared();

    // Where previews are kept; empty keeps none. Requests already made keep the old place.
    void setCacheRoot(const QString &root);
    QString cacheRoot() const;

    using Done = std::function<void(const PreviewResult &)>;
    // Decodes `path` (whose upright natural size is `natural`, or invalid when unknown) for
    // drawing at `shown`, on a worker. `keep` is the largest size the picture may be drawn at
    // where it is shown (its frame in a maximised full-HD window): the cache keeps a preview
    // that covers it, so the picture need not be decoded again when the window grows. `done`
    // runs on this object's thread with the result, unless by then the group has another
    // generation or `context` has been destroyed.
    void request(const PreviewGroup &group, quint64 generation, const QString &path, QSize natural, QSize shown,
                 QSize keep, QObject *context, Done done);

    // Waits until every request and cache write has finished (tests, benchmarks, shutdown).
    void waitForDone();

    // Cache entries waiting for the writer hold their pixels: at most this many bytes of them.
    // Past it, a worker writes its entries itself.
    static constexpr qsizetype MaxQueuedBytes = 32 * 1024 * 1024;
    // Entries still to be decoded wait in the same queue, at most this many; past it they are
    // not made this time (the picture is decoded again when next shown). When the service ends,
    // entries already decoded are written and those still to be decoded are left.
    static constexpr int MaxQueuedDecodes = 512;

    // The work of one request, on the calling thread. Entries for the cache are appended to
    // `writes` (to be made and written after the result is handed over) or written at once when
    // null. With `writes`, a JPEG whose entry needs a larger DCT scale than the frame is decoded
    // for the frame alone, and its entries are left for the writer to decode.
    struct Write {
        QString path;
        PreviewCache::Stamp stamp;
        PreviewCache::Edge edge;
        QImage image; // null: decode the picture for the entry `kept` and for `edge`
        QSize natural;
        PreviewCache::Edge kept = PreviewCache::XLarge;
    };
    static PreviewResult produce(const PreviewCache *cache, const QString &path, QSize natural, QSize shown, QSize keep,
                                 std::vector<Write> *writes);

    // Decodes the picture once and writes its entry `kept` and, when smaller, its entry `edge`;
    // returns the smaller one. Raises AppError.
    static QImage makeEntries(const PreviewCache *cache, const QString &path, const PreviewCache::Stamp &stamp,
                              QSize natural, PreviewCache::Edge edge, PreviewCache::Edge kept,
                              std::vector<Write> *writes);

private:
    std::shared_ptr<const PreviewCache> cache() const;
    void schedule(const std::shared_ptr<const PreviewCache> &cache, std::vector<Write> writes);

    class Writer;
    mutable QMutex m_mutex;
    std::shared_ptr<const PreviewCache> m_cache;
    QThreadPool m_pool;
    std::unique_ptr<Writer> m_writer; // ends after the pool's work (see the destructor)
};
