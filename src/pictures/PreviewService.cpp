#include "pictures/PreviewService.h"

#include "data/AppError.h"
#include "pictures/JpegDecoder.h"
#include "pictures/PictureLoader.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

QImage scaledTo(const QImage &image, QSize shown)
{
    if (image.isNull() || image.size() == shown || image.width() < shown.width() || image.height() < shown.height())
        return image;
    return image.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// The next smaller size of cache entry (the smallest stays itself).
PreviewCache::Edge smallerEdge(PreviewCache::Edge edge)
{
    PreviewCache::Edge smaller = PreviewCache::Edges[0];
    for (const PreviewCache::Edge e : PreviewCache::Edges)
        if (e < edge)
            smaller = e;
    return smaller;
}

} // namespace

// ---- PreviewGroup ---------------------------------------------------------------------------

PreviewGroup::PreviewGroup() : m_state(std::make_shared<State>()) {}

quint64 PreviewGroup::restart()
{
    return m_state->generation.fetch_add(1) + 1;
}

quint64 PreviewGroup::generation() const
{
    return m_state->generation.load();
}

bool PreviewGroup::isCurrent(quint64 generation) const
{
    return m_state->generation.load() == generation;
}

bool PreviewGroup::claimFailureReport(quint64 generation)
{
    if (!isCurrent(generation) || m_state->reported == generation)
        return false;
    m_state->reported = generation;
    return true;
}

// ---- the cache writer ------------------------------------------------------------------------

// Makes and writes cache entries on a thread of its own at the lowest priority, so that this
// work never delays the decoding of the frames being filled. Entries are written in the order
// they were handed over, each atomically (PreviewCache::store). An entry already decoded is never
// dropped: one that does not fit in the queue is written by the thread that made it, and those
// queued are written before the writer ends. An entry still to be decoded is left when the queue
// holds too many of them or the writer ends: the picture is decoded again when next shown.
class PreviewService::Writer {
public:
    Writer()
    {
        m_thread.reset(QThread::create([this] { run(); }));
        m_thread->start(QThread::LowestPriority);
    }

    ~Writer()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread->wait();
    }

    // False when the queue is full: the caller writes the entry itself, or, for an entry still
    // to be decoded, leaves it.
    bool enqueue(const std::shared_ptr<const PreviewCache> &cache, Write &write)
    {
        const qsizetype bytes = write.image.sizeInBytes();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (write.image.isNull() ? m_decodes >= MaxQueuedDecodes : m_bytes > 0 && m_bytes + bytes > MaxQueuedBytes)
                return false;
            m_bytes += bytes;
            m_decodes += write.image.isNull();
            m_queue.push_back({cache, std::move(write), bytes});
        }
        m_wake.notify_all();
        return true;
    }

    void waitForDone()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_queue.empty() && !m_writing; });
    }

private:
    struct Item {
        std::shared_ptr<const PreviewCache> cache;
        Write write;
        qsizetype bytes;
    };

    // Makes the entries of a picture the frame was decoded smaller for, unless an earlier request
    // made them meanwhile. The stamp is taken again: the picture may have been replaced since.
    static void makeLater(const PreviewCache &cache, const Write &w)
    {
        try {
            const PreviewCache::Stamp stamp = PreviewCache::stampOf(w.path);
            if (!stamp.isValid() || !cache.find(w.path, stamp, w.natural, w.edge).isNull())
                return;
            makeEntries(&cache, w.path, stamp, w.natural, w.edge, w.kept, nullptr);
        } catch (...) {
            // Shown as the frame's error already, or next time it is shown; no entry is made.
        }
    }

    void run()
    {
#ifdef Q_OS_LINUX
        // Threads of Linux's normal policy have no priority of their own but a nice value: far
        // below the workers, yet never starved by a busy machine as the idle policy would be.
        ::setpriority(PRIO_PROCESS, id_t(::syscall(SYS_gettid)), 10);
#endif
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping, and everything is written
            Item item = std::move(m_queue.front());
            m_queue.pop_front();
            const bool decode = item.write.image.isNull();
            m_decodes -= decode;
            if (decode && m_stopping)
                continue;
            m_writing = true;
            lock.unlock();
            const Write &w = item.write;
            if (decode)
                makeLater(*item.cache, w);
            else
                item.cache->store(w.path, w.stamp, w.edge, w.image);
            item.write.image = QImage();
            lock.lock();
            m_bytes -= item.bytes;
            m_writing = false;
            if (m_queue.empty())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    std::deque<Item> m_queue;
    qsizetype m_bytes = 0;
    int m_decodes = 0;
    bool m_writing = false;
    bool m_stopping = false;
    std::unique_ptr<QThread> m_thread;
};

// ---- PreviewService -------------------------------------------------------------------------

PreviewService::PreviewService(QObject *parent)
    : QObject(parent), m_cache(std::make_shared<PreviewCache>(PreviewCache::defaultRoot())),
      m_writer(std::make_unique<Writer>())
{
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
}

PreviewService::~PreviewService()
{
    m_pool.clear();
    m_pool.waitForDone();
}

PreviewService &PreviewService::shared()
{
    static QPointer<PreviewService> service;
    if (!service)
        service = new PreviewService(QCoreApplication::instance());
    return *service;
}

void PreviewService::setCacheRoot(const QString &root)
{
    auto cache = std::make_shared<const PreviewCache>(root);
    QMutexLocker lock(&m_mutex);
    m_cache = std::move(cache);
}

QString PreviewService::cacheRoot() const
{
    return cache()->root();
}

std::shared_ptr<const PreviewCache> PreviewService::cache() const
{
    QMutexLocker lock(&m_mutex);
    return m_cache;
}

void PreviewService::waitForDone()
{
    m_pool.waitForDone();
    m_writer->waitForDone();
}

void PreviewService::request(const PreviewGroup &group, quint64 generation, const QString &path, QSize natural,
                             QSize shown, QSize keep, QObject *context, Done done)
{
    QPointer<QObject> target(context);
    std::shared_ptr<const PreviewCache> snapshot = cache();
    m_pool.start([this, group, generation, path, natural, shown, keep, target, done = std::move(done), snapshot] {
        if (!group.isCurrent(generation))
            return; // abandoned before it began
        std::vector<Write> writes;
        PreviewResult result = produce(snapshot.get(), path, natural, shown, keep, &writes);
        if (group.isCurrent(generation)) {
            // Checked again on the window's thread: the group may move on while this is queued.
            QMetaObject::invokeMethod(
                this,
                [group, generation, target, done, result = std::move(result)] {
                    if (target && group.isCurrent(generation))
                        done(result);
                },
                Qt::QueuedConnection);
        }
        schedule(snapshot, std::move(writes));
    });
}

void PreviewService::schedule(const std::shared_ptr<const PreviewCache> &cache, std::vector<Write> writes)
{
    for (Write &w : writes)
        if (!m_writer->enqueue(cache, w) && !w.image.isNull())
            cache->store(w.path, w.stamp, w.edge, w.image);
}

PreviewResult PreviewService::produce(const PreviewCache *cache, const QString &path, QSize natural, QSize shown,
                                      QSize keep, std::vector<Write> *writes)
{
    PreviewResult result;
    try {
        if (!natural.isValid())
            natural = PictureLoader::readNaturalSize(path);
        shown = shown.boundedTo(natural).expandedTo(QSize(1, 1));
        auto store = [&](PreviewCache::Edge edge, const PreviewCache::Stamp &stamp, const QImage &image) {
            if (writes)
                writes->push_back({path, stamp, edge, image, natural, edge});
            else
                cache->store(path, stamp, edge, image);
        };

        PreviewCache::Edge edge;
        if (cache && !cache->root().isEmpty() && PreviewCache::edgeFor(natural, shown, &edge)
            && PreviewCache::worthCaching(natural, edge)) {
            const PreviewCache::Stamp stamp = PreviewCache::stampOf(path);
            const QImage entry = cache->find(path, stamp, natural, edge);
            if (!entry.isNull()) {
                result.image = scaledTo(entry, shown);
                result.fromCache = true;
                return result;
            }
            // The entry kept covers the largest frame the picture can have, when that is larger;
            // a frame larger than every entry keeps the largest.
            PreviewCache::Edge kept = edge;
            if (keep.isValid() && !PreviewCache::edgeFor(natural, keep.boundedTo(natural), &kept))
                kept = PreviewCache::Huge;
            kept = std::max(kept, edge);
            while (kept > edge && !PreviewCache::worthCaching(natural, kept))
                kept = smallerEdge(kept);
            // A larger entry made for another frame serves this one without a decode.
            for (PreviewCache::Edge larger = kept; larger > edge; larger = smallerEdge(larger)) {
                const QImage found = cache->find(path, stamp, natural, larger);
                if (!found.isNull()) {
                    const QImage small = scaledTo(found, PreviewCache::entrySize(natural, edge));
                    store(edge, stamp, small);
                    result.image = scaledTo(small, shown);
                    result.fromCache = true;
                    return result;
                }
            }
            // A JPEG is decoded at the least DCT scale that covers what it is decoded for. When the
            // frame needs less than the entry, the frame is filled first and the entries are
            // decoded afterwards by the writer.
            const QSize largest = PreviewCache::entrySize(natural, kept);
            if (writes && PictureLoader::kindOf(path) == PictureLoader::Kind::Jpeg
                && JpegDecoder::scaleNumerator(natural, shown) < JpegDecoder::scaleNumerator(natural, largest)) {
                result.image = scaledTo(PictureLoader::loadPreview(path, shown), shown);
                writes->push_back({path, stamp, edge, QImage(), natural, kept});
                return result;
            }
            result.image = scaledTo(makeEntries(cache, path, stamp, natural, edge, kept, writes), shown);
            return result;
        }
        result.image = scaledTo(PictureLoader::loadPreview(path, shown), shown);
    } catch (const AppError &e) {
        result.error = e.text();
    } catch (const std::exception &e) {
        result.error = QString::fromLocal8Bit(e.what());
    }
    if (result.ok() && result.image.isNull())
        result.error = QStringLiteral("Out of memory while loading \"%1\"").arg(path);
    return result;
}

QImage PreviewService::makeEntries(const PreviewCache *cache, const QString &path, const PreviewCache::Stamp &stamp,
                                   QSize natural, PreviewCache::Edge edge, PreviewCache::Edge kept,
                                   std::vector<Write> *writes)
{
    // One decode of the picture gives the entry kept and, when smaller, the one drawn now.
    const QSize largest = PreviewCache::entrySize(natural, kept);
    QImage base = scaledTo(PictureLoader::loadPreview(path, largest), largest);
    auto store = [&](PreviewCache::Edge e, const QImage &image) {
        if (writes)
            writes->push_back({path, stamp, e, image, natural, e});
        else
            cache->store(path, stamp, e, image);
    };
    if (kept != edge) {
        store(kept, base);
        base = scaledTo(base, PreviewCache::entrySize(natural, edge));
    }
    store(edge, base);
    return base;
}
