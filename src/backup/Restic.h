#pragma once
// restic, run as a child process: the encrypted, deduplicating store that holds the backups.
//
// The repository's password never appears on a command line or in the environment: it is
// written into a pipe whose reading end the child finds as file descriptor 3, and restic is told
// to read its password from /dev/fd/3.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace Restic {

// The program to run: $BELCARA_RESTIC, else "restic" from PATH.
QString program();

struct Result {
    int exitCode = -1;
    QString errors; // what restic wrote on standard error
    bool started = false;
    bool cancelled = false;
    // restic's own words for a password that opens no key of the repository.
    bool wrongPassword() const;
    // Another process holds a lock that this command cannot share.
    bool locked() const;
};

class Repository {
public:
    Repository(const QString &path, const QByteArray &password) : m_path(path), m_password(password) {}
    const QString &path() const { return m_path; }

    // Runs `restic -r PATH ARGS…` in workingFolder (empty: the current one). Each line of its
    // standard output goes to onLine as it comes; keepGoing is asked several times a second and
    // stops restic (SIGINT, then SIGKILL) when it returns false.
    Result run(const QStringList &args, const std::function<void(const QByteArray &)> &onLine = {},
               const std::function<bool()> &keepGoing = {}, const QString &workingFolder = QString()) const;
    // The same, with all of standard output collected.
    Result run(const QStringList &args, QByteArray *out, const std::function<bool()> &keepGoing = {}) const;

private:
    QString m_path;
    QByteArray m_password;
};

} // namespace Restic
