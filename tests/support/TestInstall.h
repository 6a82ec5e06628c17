#pragma once
// A throw-away installation for tests: a temporary program folder with the supplied database
// and pic/, the global data module opened on it, and a temporary settings file. The database is
// an SQLite file, or a fresh database on the PostgreSQL test server (see TestDatabase.h).

#include <QString>
#include <QTemporaryDir>
#include <memory>

class TDataMod;
class TestDatabase;

class TestInstall {
public:
    TestInstall();
    ~TestInstall();
    QString folder() const; // ends in "/"
    QString settingsPath() const;
    TDataMod *mod() const { return m_mod; }
    TestDatabase &database() const { return *m_db; }
    // Runs a statement directly on the database (test set-up); fails the test on error.
    void exec(const QString &sql) const;
    // First column of the first row of a statement.
    QVariant scalar(const QString &sql) const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<TestDatabase> m_db;
    TDataMod *m_mod = nullptr;
    QString m_oldCacheRoot;
};
