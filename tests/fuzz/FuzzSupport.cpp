#include "FuzzSupport.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace FuzzSupport {

namespace {

QString g_folder;

void removeScratch()
{
    if (!g_folder.isEmpty())
        QDir(g_folder).removeRecursively();
}

QString scratchFolder()
{
    if (g_folder.isEmpty()) {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        g_folder = QStringLiteral("%1/belcara-fuzz-%2").arg(base).arg(::getpid());
        if (!QDir().mkpath(g_folder))
            fail("cannot make the scratch folder", g_folder);
        std::atexit(removeScratch);
    }
    return g_folder;
}

} // namespace

QString writeInput(const QString &name, const QByteArray &data)
{
    const QString path = scratchFolder() + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size() || !f.flush())
        fail("cannot write the input", path);
    return path;
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "FUZZ FAILURE: %s %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

} // namespace FuzzSupport
