#pragma once
// A throw-away installation for tests: a temporary program folder with the supplied database
// and pic/, the global data module opened on it, and a temporary settings file.

#include <QString>
#include <QTemporaryDir>

class TDataMod;

class TestInstall {
public:
    TestInstall();
    ~TestInstall();
    QString folder() const;                 // ends in "/"
    QString settingsPath() const;
    TDataMod *mod() const { return m_mod; }
    // Runs a statement directly on the database (test set-up); fails the test on error.
    void exec(const QString &sql) const;
    // First column of the first row of a statement.
    QVariant scalar(const QString &sql) const;

private:
    QTemporaryDir m_dir;
    TDataMod *m_mod = nullptr;
    QString m_oldSettings;
};
