#include "support/TestInstall.h"

#include "pictures/PreviewService.h"
#include "support/TestDatabase.h"
#include "data/Unit_DataMod.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {
// The windows tests registered for PostgreSQL end at once, reported as skipped, when no test
// server is named (the core's tests skip in their initTestCase).
const bool skipWithoutServer = [] {
    const QString why = TestDatabase::unavailable();
    if (!why.isEmpty()) {
        std::fprintf(stdout, "SKIP: %s\n", qPrintable(why));
        std::exit(0);
    }
    return true;
}();
} // namespace

TestInstall::TestInstall()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("pic"));
    m_db = std::make_unique<TestDatabase>(folder());
    m_mod = new TDataMod(folder());
    m_mod->DataModuleCreate();
    DataMod = m_mod;
    // Previews go to a cache of this installation, never the user's own thumbnail folder.
    m_oldCacheRoot = PreviewService::shared().cacheRoot();
    PreviewService::shared().setCacheRoot(folder() + QStringLiteral("thumbnails"));
}

TestInstall::~TestInstall()
{
    PreviewService::shared().waitForDone();
    PreviewService::shared().setCacheRoot(m_oldCacheRoot);
    delete m_mod;
    DataMod = nullptr;
    m_db.reset();
}

QString TestInstall::folder() const
{
    return m_dir.path() + QLatin1Char('/');
}

QString TestInstall::settingsPath() const
{
    return m_dir.filePath(QStringLiteral("Belcara.ini"));
}

void TestInstall::exec(const QString &sql) const
{
    QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
    if (!q.exec(sql))
        throw std::runtime_error((sql + QStringLiteral(": ") + q.lastError().text()).toStdString());
}

QVariant TestInstall::scalar(const QString &sql) const
{
    QSqlQuery q(QSqlDatabase::database(m_mod->ADOConn));
    if (!q.exec(sql) || !q.next())
        throw std::runtime_error((sql + QStringLiteral(": ") + q.lastError().text()).toStdString());
    return q.value(0);
}
