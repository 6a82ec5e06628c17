#pragma once
// The workers that decode pictures for the windows (and do other long picture work: alignment),
// kept apart from Qt's global thread pool. Qt's raster painting splits a smooth drawImage over
// the global pool and waits for it on the window thread: decodes queued there would make every
// such paint wait until they end.

class QThreadPool;

namespace DecodePool {

// The program's pool, made on first use as a child of the application object; as many workers
// as the machine has cores.
QThreadPool *shared();

} // namespace DecodePool
