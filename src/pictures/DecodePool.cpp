#include "pictures/DecodePool.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>

namespace DecodePool {

QThreadPool *shared()
{
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setObjectName(QStringLiteral("DecodePool"));
        pool->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    }
    return pool;
}

} // namespace DecodePool
