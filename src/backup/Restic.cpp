#include "backup/Restic.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Restic {

QString program()
{
    const QString own = qEnvironmentVariable("BELCARA_RESTIC");
    return own.isEmpty() ? QStringLiteral("restic") : own;
}

bool Result::wrongPassword() const
{
    return errors.contains(QLatin1String("wrong password or no key found"));
}

bool Result::locked() const
{
    return errors.contains(QLatin1String("repository is already locked"))
           || errors.contains(QLatin1String("unable to create lock"));
}

namespace {

// A pipe holding the password, to be read once by the child as descriptor 3. Both ends are
// closed on exec in this process's other children; the child gets its copy through dup2.
class PasswordPipe {
public:
    explicit PasswordPipe(const QByteArray &password)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_read = fds[0];
        // A password is far smaller than a pipe's buffer: the write never blocks.
        qsizetype done = 0;
        while (done < password.size()) {
            const ssize_t n = ::write(fds[1], password.constData() + done, size_t(password.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fds[1]);
    }
    ~PasswordPipe()
    {
        if (m_read >= 0)
            ::close(m_read);
    }
    PasswordPipe(const PasswordPipe &) = delete;
    PasswordPipe &operator=(const PasswordPipe &) = delete;
    int fd() const { return m_read; }

private:
    int m_read = -1;
};

} // namespace

Result Repository::run(const QStringList &args, const std::function<void(const QByteArray &)> &onLine,
                       const std::function<bool()> &keepGoing, const QString &workingFolder) const
{
    Result r;
    PasswordPipe pipe(m_password);
    if (pipe.fd() < 0) {
        r.errors = QStringLiteral("cannot make a pipe");
        return r;
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *key : {"RESTIC_PASSWORD", "RESTIC_PASSWORD_FILE", "RESTIC_PASSWORD_COMMAND", "RESTIC_REPOSITORY",
                            "RESTIC_REPOSITORY_FILE", "RESTIC_KEY_HINT"})
        env.remove(QLatin1String(key));
    p.setProcessEnvironment(env);
    if (!workingFolder.isEmpty())
        p.setWorkingDirectory(workingFolder);
    const int fd = pipe.fd();
    p.setChildProcessModifier([fd] {
        if (fd == 3)
            ::fcntl(3, F_SETFD, 0);
        else
            ::dup2(fd, 3);
    });
    QStringList all{QStringLiteral("-r"), m_path, QStringLiteral("--password-file"), QStringLiteral("/dev/fd/3")};
    all += args;
    p.start(program(), all);
    if (!p.waitForStarted(-1)) {
        r.errors = p.errorString();
        return r;
    }
    r.started = true;
    QByteArray pending;
    QElapsedTimer sinceInterrupt;
    auto deliver = [&](bool finished) {
        pending += p.readAllStandardOutput();
        for (;;) {
            const qsizetype nl = pending.indexOf('\n');
            if (nl < 0)
                break;
            const QByteArray line = pending.left(nl);
            pending.remove(0, nl + 1);
            if (onLine && !line.isEmpty())
                onLine(line);
        }
        if (finished && !pending.isEmpty() && onLine)
            onLine(pending);
        if (finished)
            pending.clear();
    };
    while (p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(150);
        deliver(false);
        if (keepGoing && !r.cancelled && !keepGoing()) {
            r.cancelled = true;
            // restic removes its lock and ends when interrupted, as after Ctrl+C.
            ::kill(pid_t(p.processId()), SIGINT);
            sinceInterrupt.start();
        }
        if (r.cancelled && sinceInterrupt.isValid() && sinceInterrupt.elapsed() > 15000)
            p.kill();
    }
    p.waitForFinished(-1);
    deliver(true);
    r.errors = QString::fromUtf8(p.readAllStandardError());
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

Result Repository::run(const QStringList &args, QByteArray *out, const std::function<bool()> &keepGoing) const
{
    return run(
        args,
        [out](const QByteArray &line) {
            if (out)
                *out += line + '\n';
        },
        keepGoing);
}

} // namespace Restic
