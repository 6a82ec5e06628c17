// The shared settings file in a folder every user may write (sticky, as /var/lib/belcara), tried
// with two throw-away accounts: one plants links or files, the other uses the program. Needs
// root to make the accounts and act as each; skipped otherwise.
#include "data/AppError.h"
#include "data/Settings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Account {
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
};

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Runs check in a child process as the account; its return value is the result (-1 when the
// child could not become the account).
int as(const Account &who, const std::function<int()> &check)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(who.gid) != 0 || ::setuid(who.uid) != 0)
            ::_exit(99);
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 98;
    return code == 99 ? -1 : code;
}

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// What the program does when the user ticks 默认程序打开图片: 0 when it wrote, 1 when it
// reported "Unable to write to <file>", 2 for any other outcome.
int tickOpen()
{
    try {
        Settings::writeOpen(true);
        return 0;
    } catch (const AppError &e) {
        return e.text() == QStringLiteral("Unable to write to ") + Settings::path() ? 1 : 2;
    }
}

} // namespace

class TestSharedSettings : public QObject {
    Q_OBJECT
    QTemporaryDir m_base;
    Account m_planter; // plants links and files in the shared folder
    Account m_user;    // uses the program; has a file of their own at home
    QString m_shared;
    QString m_settings;
    QString m_homeFile;
    const QByteArray m_homeContent = "[KZ]\nOpen=0\nNo=H7\n; my own notes\n";

    Account addUser(const QString &name)
    {
        run(QStringLiteral("userdel"), {name}); // left by an interrupted run
        Account a;
        a.name = name;
        for (int attempt = 0; attempt < 5; ++attempt) { // another tool may hold /etc/passwd's lock
            if (run(QStringLiteral("useradd"), {QStringLiteral("--system"), QStringLiteral("--no-create-home"),
                                                QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"), name}))
                break;
            QThread::msleep(500);
        }
        if (const passwd *pw = ::getpwnam(name.toLocal8Bit().constData())) {
            a.uid = pw->pw_uid;
            a.gid = pw->pw_gid;
        }
        return a;
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: the test makes two throw-away accounts and acts as each of them");
        const QString tag = QString::number(::getpid());
        m_planter = addUser(QStringLiteral("belcara-t%1p").arg(tag));
        m_user = addUser(QStringLiteral("belcara-t%1u").arg(tag));
        QVERIFY2(m_planter.uid != 0 && m_user.uid != 0, "useradd failed");

        QVERIFY(::chmod(QFile::encodeName(m_base.path()).constData(), 0755) == 0);
        m_shared = m_base.filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkdir(m_shared));
        QVERIFY(::chmod(QFile::encodeName(m_shared).constData(), 01777) == 0);
        m_settings = m_shared + QStringLiteral("/Belcara.ini");

        // The user's own file, in a home only they can enter.
        const QString home = m_base.filePath(QStringLiteral("home"));
        QVERIFY(QDir().mkdir(home));
        m_homeFile = home + QStringLiteral("/notes.ini");
        put(m_homeFile, m_homeContent);
        QVERIFY(::chown(QFile::encodeName(home).constData(), m_user.uid, m_user.gid) == 0);
        QVERIFY(::chown(QFile::encodeName(m_homeFile).constData(), m_user.uid, m_user.gid) == 0);
        QVERIFY(::chmod(QFile::encodeName(home).constData(), 0700) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_homeFile).constData(), 0600) == 0);
        Settings::setPath(m_settings);
    }

    void cleanupTestCase()
    {
        for (const Account &a : {m_planter, m_user})
            if (!a.name.isEmpty())
                run(QStringLiteral("userdel"), {a.name});
    }

    void cleanup() { QFile::remove(m_settings); }

    // A link planted at the settings file's name is neither read nor written through, by the
    // user it points at nor by root; the user's file and the link stay as they were.
    void plantedLinkIsNotFollowed()
    {
        QCOMPARE(as(m_planter,
                    [&] {
                        return ::symlink(QFile::encodeName(m_homeFile).constData(),
                                         QFile::encodeName(m_settings).constData())
                                       == 0
                                   ? 0
                                   : 1;
                    }),
                 0);
        const auto useProgram = [&] {
            if (Settings::readHospitalNo() != QStringLiteral("A1"))
                return 10; // read through the link
            return tickOpen();
        };
        QCOMPARE(as(m_user, useProgram), 1);
        QCOMPARE(useProgram(), 1); // root
        QCOMPARE(bytesOf(m_homeFile), m_homeContent);
        QVERIFY(QFileInfo(m_settings).isSymLink());
    }

    // A file another user made at the name (which could be a hard link to someone's file) is
    // read, but not rewritten in place: its owner is neither the writer nor the folder's owner.
    void foreignFileIsNotRewritten()
    {
        const QByteArray planted("[KZ]\nNo=P1\n");
        QCOMPARE(as(m_planter,
                    [&] {
                        put(m_settings, planted);
                        return ::chmod(QFile::encodeName(m_settings).constData(), 0666);
                    }),
                 0);
        QCOMPARE(as(m_user, [] { return Settings::readHospitalNo() == QStringLiteral("P1") ? tickOpen() : 10; }), 1);
        QCOMPARE(bytesOf(m_settings), planted);
    }

    // The file as the package makes it (root's, writable by all): every user changes it in turn,
    // in place, and it stays root's.
    void rootsSharedFileIsWrittenByEveryUser()
    {
        put(m_settings, "[KZ]\nNo=A1\n");
        QVERIFY(::chmod(QFile::encodeName(m_settings).constData(), 0666) == 0);
        QCOMPARE(as(m_user, [] { return tickOpen(); }), 0);
        QCOMPARE(as(m_planter,
                    [] {
                        try {
                            Settings::writeHospitalNo(QStringLiteral("B2"));
                        } catch (const AppError &) {
                            return 1;
                        }
                        return Settings::readOpen() ? 0 : 3;
                    }),
                 0);
        QCOMPARE(bytesOf(m_settings), QByteArray("[KZ]\nNo=B2\nOpen=1\n"));
        QCOMPARE(QFileInfo(m_settings).ownerId(), 0u);
        QCOMPARE(QDir(m_shared).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSharedSettings)
#include "tst_sharedsettings.moc"
