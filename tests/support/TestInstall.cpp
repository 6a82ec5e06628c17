#include "TestInstall.h"

#include "Schema.h"
#include "Settings.h"
#include "Unit_DataMod.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <stdexcept>

TestInstall::TestInstall()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("pic"));
    Schema::createDatabase(folder() + QStringLiteral("Data/Data.mdb"));
    m_oldSettings = Settings::path();
    Settings::setPath(settingsPath());
    m_mod = new TDataMod(folder());
    m_mod->DataModuleCreate();
    DataMod = m_mod;
}

TestInstall::~TestInstall()
{
    delete m_mod;
    DataMod = nullptr;
    Settings::setPath(m_oldSettings);
}

QString TestInstall::folder() const { return m_dir.path() + QLatin1Char('/'); }

QString TestInstall::settingsPath() const { return m_dir.filePath(QStringLiteral("Belcara.ini")); }

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
