#pragma once
// The database of one test: an SQLite file Data/Data.mdb in the test's folder, or, when the
// tests run against PostgreSQL, a database of its own made afresh on the test server, with the
// folder's connection file database.conf (which the test uses) naming it in section [Database].
// The folder's Belcara.ini is the test's settings file.
//
// The engine: BELCARA_TEST_ENGINE=postgresql or sqlite (ctest sets it per registration); when
// it is unset, PostgreSQL exactly when BELCARA_TEST_PG is set. BELCARA_TEST_PG holds libpq
// keywords ("host=127.0.0.1 port=55433 user=postgres dbname=postgres") reaching a database from
// which new ones can be made. Header only, so that the core's tests can use it too.

#include "data/AppError.h"
#include "data/DbEngine.h"
#include "data/ProfileFile.h"
#include "data/ServerDb.h"
#include "data/Schema.h"
#include "data/Settings.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <stdexcept>

class TestDatabase {
public:
    static QString serverConninfo() { return qEnvironmentVariable("BELCARA_TEST_PG").trimmed(); }
    static bool postgres()
    {
        const QString engine = qEnvironmentVariable("BELCARA_TEST_ENGINE").toLower();
        if (engine.isEmpty())
            return !serverConninfo().isEmpty();
        return engine == QLatin1String("postgresql");
    }
    // Why the tests cannot run here: PostgreSQL asked for without a server. Empty when they can.
    static QString unavailable()
    {
        return postgres() && serverConninfo().isEmpty() ? QStringLiteral("PostgreSQL tests: BELCARA_TEST_PG is not set")
                                                        : QString();
    }

    // Makes the database for the folder (ending in "/") and points the settings file at it.
    // withSchema false leaves a PostgreSQL database empty (no file is made for SQLite then).
    explicit TestDatabase(const QString &folder, bool withSchema = true)
        : m_folder(folder), m_oldSettings(Settings::path()), m_oldConfig(DbEngine::configPath())
    {
        Settings::setPath(folder + QStringLiteral("Belcara.ini"));
        DbEngine::setConfigPath(folder + QStringLiteral("database.conf"));
        if (!postgres()) {
            if (withSchema)
                Schema::createDatabase(folder + QStringLiteral("Data/Data.mdb"));
            return;
        }
        m_name = QStringLiteral("belcara_test_") + QUuid::createUuid().toString(QUuid::Id128).left(16);
        admin(QStringLiteral("CREATE DATABASE %1 ENCODING 'UTF8' TEMPLATE template0").arg(m_name));
        writeConfig(folder + QStringLiteral("database.conf"), {{QStringLiteral("Engine"), QStringLiteral("PostgreSQL")},
                                                               {QStringLiteral("Options"), conninfo()}});
        if (withSchema) {
            const QString c = connect();
            ServerDb::init(QSqlDatabase::database(c, false), false);
            disconnect(c);
        }
    }
    ~TestDatabase()
    {
        Settings::setPath(m_oldSettings);
        DbEngine::setConfigPath(m_oldConfig);
        if (!m_name.isEmpty()) {
            try {
                admin(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_name));
            } catch (...) {
            }
        }
    }
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    // Writes the keys into section [Database] of a connection file, made as an administrator
    // would (readable by all, writable by its owner only).
    static void writeConfig(const QString &path, const QList<QPair<QString, QString>> &entries)
    {
        const ProfileFile file(path, 0644);
        for (const auto &e : entries)
            file.writeString(QStringLiteral("Database"), e.first, e.second);
    }

    bool isPostgres() const { return !m_name.isEmpty(); }
    // libpq keywords reaching this test's own database (PostgreSQL only).
    QString conninfo() const { return serverConninfo() + QStringLiteral(" dbname=") + m_name; }

    // A connection of its own to this test's database (another workstation); returns its name.
    QString connect() const
    {
        const QString name = QStringLiteral("testdb-") + QUuid::createUuid().toString(QUuid::Id128);
        if (isPostgres()) {
            DbEngine::openServer(name, QStringLiteral("connect_timeout=5 ") + conninfo());
        } else {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_folder + QStringLiteral("Data/Data.mdb"));
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
            if (!db.open())
                throw AppError(db.lastError().text());
        }
        return name;
    }
    static void disconnect(const QString &name)
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }

private:
    static void admin(const QString &sql)
    {
        const QString name = QStringLiteral("testadmin-") + QUuid::createUuid().toString(QUuid::Id128);
        QString error;
        {
            DbEngine::openServer(name, QStringLiteral("connect_timeout=5 ") + serverConninfo());
            QSqlQuery q(QSqlDatabase::database(name, false));
            if (!q.exec(sql))
                error = sql + QStringLiteral(": ") + q.lastError().text();
        }
        disconnect(name);
        if (!error.isEmpty())
            throw std::runtime_error(error.toStdString());
    }

    QString m_folder;
    QString m_oldSettings;
    QString m_oldConfig;
    QString m_name;
};

#define BELCARA_SKIP_WITHOUT_ENGINE()                     \
    do {                                                  \
        const QString why_ = TestDatabase::unavailable(); \
        if (!why_.isEmpty())                              \
            QSKIP(qPrintable(why_));                      \
    } while (0)
