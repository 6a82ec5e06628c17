// The profile file: reading the Windows way, writes that change one line only, and failed writes.
#include "data/AppError.h"
#include "data/ProfileFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void putBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString errorOf(const std::function<void()> &write)
{
    try {
        write();
    } catch (const AppError &e) {
        return e.text();
    }
    return QStringLiteral("<no error>");
}

// Runs the check as an unprivileged user when we are root (permission bits do not stop root);
// returns its exit code, or -1 when no such user can be taken on.
int asUnprivileged(const std::function<int()> &check)
{
    if (::geteuid() != 0)
        return check();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 98;
    return code == 99 ? -1 : code;
}

} // namespace

class TestProfileFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name = QStringLiteral("Belcara.ini")) const { return m_dir.filePath(name); }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        const QStringList left = QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : left)
            QFile::remove(path(name));
    }

    void readsString_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<none>": no file
        QTest::addColumn<QString>("expected");   // section KZ, key No, default A1

        // clang-format off
        QTest::newRow("no file") << QByteArray("<none>") << "A1";
        QTest::newRow("empty file") << QByteArray() << "A1";
        QTest::newRow("lower-case names") << QByteArray("[kz]\nno=B2\n") << "B2";
        QTest::newRow("present but empty") << QByteArray("[KZ]\nNo=\n") << "";
        QTest::newRow("CRLF") << QByteArray("[KZ]\r\nOpen=1\r\nNo=B2\r\n") << "B2";
        QTest::newRow("no final line end") << QByteArray("[KZ]\nNo=B2") << "B2";
        QTest::newRow("blanks around =") << QByteArray("[KZ]\n  No  =  B2  \n") << "B2";
        QTest::newRow("tabs and ^Z") << QByteArray("[KZ]\n\tNo\t=\tB2\t\x1a") << "B2";
        QTest::newRow("first of duplicates") << QByteArray("[KZ]\nNo=B2\nNO=C3\n") << "B2";
        QTest::newRow("key before any section") << QByteArray("No=Z9\n[KZ]\nOpen=1\n") << "A1";
        QTest::newRow("line without =") << QByteArray("[KZ]\nNo\ngarbage line\nNo=B2\n") << "B2";
        QTest::newRow("other section") << QByteArray("[KZ]\nOpen=1\n[Other]\nNo=B2\n") << "A1";
        QTest::newRow("comment") << QByteArray("[KZ]\n;No=B2\n") << "A1";
        QTest::newRow("quoted value") << QByteArray("[KZ]\nNo=\"B2\"\n") << "B2";
        QTest::newRow("single quotes") << QByteArray("[KZ]\nNo='B2'\n") << "B2";
        QTest::newRow("unmatched quote kept") << QByteArray("[KZ]\nNo=\"B2\n") << "\"B2";
        QTest::newRow("text after header") << QByteArray("[KZ] ; settings\nNo=B2\n") << "B2";
        QTest::newRow("unclosed header") << QByteArray("[KZ\nNo=B2\n") << "A1";
        QTest::newRow("= inside value") << QByteArray("[KZ]\nNo=a=b\n") << "a=b";
        QTest::newRow("GBK text") << QByteArray("[KZ]\nNo=\xd2\xbd\n") << QString::fromUtf8("医");
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF[KZ]\nNo=\xe5\x8c\xbb\n") << QString::fromUtf8("医");
        QTest::newRow("GBK byte ] in section") << QByteArray("[\xd8\x5d]\nNo=B2\n[KZ]\nNo=C3\n") << "C3";
        // clang-format on
    }

    void readsString()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        if (content != "<none>")
            putBytes(path(), content);
        const QString value = ProfileFile(path()).readString(QStringLiteral("KZ"), QStringLiteral("No"),
                                                             QStringLiteral("A1"));
        QCOMPARE(value, expected);
        QCOMPARE(value.isNull(), false);
    }

    void readsBool_data()
    {
        QTest::addColumn<QByteArray>("stored"); // "<none>": no key
        QTest::addColumn<bool>("fallback");
        QTest::addColumn<bool>("expected");

        // clang-format off
        QTest::newRow("missing") << QByteArray("<none>") << true << true;
        QTest::newRow("1") << QByteArray("1") << false << true;
        QTest::newRow("0") << QByteArray("0") << true << false;
        QTest::newRow("-1") << QByteArray("-1") << false << true;
        QTest::newRow("+0") << QByteArray("+0") << true << false;
        QTest::newRow("0x10") << QByteArray("0x10") << false << true;
        QTest::newRow("0X00") << QByteArray("0X00") << true << false;
        QTest::newRow("$1F") << QByteArray("$1F") << false << true;
        QTest::newRow("-$1") << QByteArray("-$1") << false << true;
        QTest::newRow("$FFFFFFFF") << QByteArray("$FFFFFFFF") << false << true;
        QTest::newRow("largest int") << QByteArray("2147483647") << false << true;
        QTest::newRow("smallest int") << QByteArray("-2147483648") << false << true;
        QTest::newRow("decimal overflow") << QByteArray("2147483648") << false << false;
        QTest::newRow("hex overflow") << QByteArray("$100000000") << true << true;
        QTest::newRow("yes") << QByteArray("yes") << false << false;
        QTest::newRow("true") << QByteArray("true") << false << false;
        QTest::newRow("12abc") << QByteArray("12abc") << false << false;
        QTest::newRow("12abc default true") << QByteArray("12abc") << true << true;
        QTest::newRow("empty") << QByteArray("") << true << true;
        QTest::newRow("0x alone") << QByteArray("0x") << true << true;
        QTest::newRow("$ alone") << QByteArray("$") << true << true;
        QTest::newRow("hex digit in decimal") << QByteArray("1F") << true << true;
        QTest::newRow("quoted 1") << QByteArray("\"1\"") << false << true;
        QTest::newRow("full-width digit") << QByteArray("\xa3\xb1") << false << false;
        // clang-format on
    }

    void readsBool()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, fallback);
        QFETCH(bool, expected);
        putBytes(path(), stored == "<none>" ? QByteArray("[KZ]\n") : "[KZ]\nOpen=" + stored + "\n");
        QCOMPARE(ProfileFile(path()).readBool(QStringLiteral("KZ"), QStringLiteral("Open"), fallback), expected);
    }

    void cutsLongValues()
    {
        QString longValue;
        for (int i = 0; i < 3000; ++i)
            longValue += QChar(u'a' + i % 26);
        putBytes(path(), "[KZ]\nNo=" + longValue.toLatin1() + "\n");
        const QString value = ProfileFile(path()).readString(QStringLiteral("KZ"), QStringLiteral("No"), QString());
        QCOMPARE(value.size(), 2047);
        QCOMPARE(value, longValue.left(2047));
    }

    void writesOneLine_data()
    {
        QTest::addColumn<QByteArray>("before"); // "<none>": no file
        QTest::addColumn<QString>("value");     // written as section KZ, key NO
        QTest::addColumn<QByteArray>("after");

        // clang-format off
        QTest::newRow("creates the file") << QByteArray("<none>") << "B2" << QByteArray("[KZ]\nNO=B2\n");
        QTest::newRow("replaces in place, keeps the rest")
            << QByteArray("; top\r\n[Other]\r\nx=1\r\n\r\n[kz]\r\nOpen=1\r\nno = A1\r\n; end\r\n") << "B2"
            << QByteArray("; top\r\n[Other]\r\nx=1\r\n\r\n[kz]\r\nOpen=1\r\nno = B2\r\n; end\r\n");
        QTest::newRow("first of duplicates") << QByteArray("[KZ]\nNo=A1\nNo=C3\n") << "B2"
                                             << QByteArray("[KZ]\nNo=B2\nNo=C3\n");
        QTest::newRow("appends to its section") << QByteArray("[KZ]\nOpen=1\n; about X\n[X]\na=1\n") << "B2"
                                                << QByteArray("[KZ]\nOpen=1\nNO=B2\n; about X\n[X]\na=1\n");
        QTest::newRow("section without keys, no line end") << QByteArray("[KZ]") << "B2"
                                                           << QByteArray("[KZ]\nNO=B2\n");
        QTest::newRow("appends mid-file, last line end kept") << QByteArray("[KZ]\nOpen=1\n[X]\na=1") << "B2"
                                                              << QByteArray("[KZ]\nOpen=1\nNO=B2\n[X]\na=1");
        QTest::newRow("appends the section, no line end") << QByteArray("[X]\na=1") << "B2"
                                                          << QByteArray("[X]\na=1\n\n[KZ]\nNO=B2\n");
        QTest::newRow("appends the section, CRLF") << QByteArray("[X]\r\na=1\r\n") << "B2"
                                                   << QByteArray("[X]\r\na=1\r\n\r\n[KZ]\r\nNO=B2\r\n");
        QTest::newRow("key before sections untouched") << QByteArray("No=Z9\n[KZ]\nOpen=0\n") << "B2"
                                                       << QByteArray("No=Z9\n[KZ]\nOpen=0\nNO=B2\n");
        QTest::newRow("odd bytes elsewhere kept") << QByteArray("[X]\na=\xff\x81\n[KZ]\nNo=A1\n") << "B2"
                                                  << QByteArray("[X]\na=\xff\x81\n[KZ]\nNo=B2\n");
        QTest::newRow("Chinese in GBK") << QByteArray("<none>") << QString::fromUtf8("医")
                                        << QByteArray("[KZ]\nNO=\xd2\xbd\n");
        QTest::newRow("UTF-8 file stays UTF-8") << QByteArray("\xEF\xBB\xBF[KZ]\nNo=A1\n") << QString::fromUtf8("医")
                                                << QByteArray("\xEF\xBB\xBF[KZ]\nNo=\xe5\x8c\xbb\n");
        QTest::newRow("empty value") << QByteArray("[KZ]\nNo=A1\n") << "" << QByteArray("[KZ]\nNo=\n");
        QTest::newRow("leading blank kept by quotes") << QByteArray("<none>") << " A"
                                                      << QByteArray("[KZ]\nNO=\" A\"\n");
        QTest::newRow("quoted value kept by quotes") << QByteArray("<none>") << "''"
                                                     << QByteArray("[KZ]\nNO=\"''\"\n");
        QTest::newRow("inner quote as is") << QByteArray("<none>") << "a\"" << QByteArray("[KZ]\nNO=a\"\n");
        // clang-format on
    }

    void writesOneLine()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, value);
        QFETCH(QByteArray, after);
        if (before != "<none>")
            putBytes(path(), before);
        const ProfileFile file(path());
        file.writeString(QStringLiteral("KZ"), QStringLiteral("NO"), value);
        QCOMPARE(bytesOf(path()), after);
        QCOMPARE(file.readString(QStringLiteral("kz"), QStringLiteral("No"), QStringLiteral("A1")), value);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Belcara.ini")});
    }

    void writesBoolAsDigit()
    {
        const ProfileFile file(path());
        file.writeBool(QStringLiteral("KZ"), QStringLiteral("Open"), true);
        QCOMPARE(bytesOf(path()), QByteArray("[KZ]\nOpen=1\n"));
        file.writeBool(QStringLiteral("kz"), QStringLiteral("OPEN"), false);
        QCOMPARE(bytesOf(path()), QByteArray("[KZ]\nOpen=0\n"));
        QCOMPARE(file.readBool(QStringLiteral("KZ"), QStringLiteral("Open"), true), false);
        // Created for every user of the machine, whatever the umask.
        QCOMPARE(QFileInfo(path()).permissions() & QFileDevice::Permissions(0x7077), QFileDevice::Permissions(0x6066));
    }

    void replacingKeepsLinkAndMode()
    {
        putBytes(path(QStringLiteral("real.ini")), "[KZ]\nNo=A1\n");
        QVERIFY(QFile::setPermissions(path(QStringLiteral("real.ini")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(QFile::link(path(QStringLiteral("real.ini")), path()));
        ProfileFile(path()).writeString(QStringLiteral("KZ"), QStringLiteral("NO"), QStringLiteral("B2"));
        QVERIFY(QFileInfo(path()).isSymLink());
        QCOMPARE(bytesOf(path(QStringLiteral("real.ini"))), QByteArray("[KZ]\nNo=B2\n"));
        const QFileDevice::Permissions ownerGroupOther(0x7077);
        QCOMPARE(QFileInfo(path(QStringLiteral("real.ini"))).permissions() & ownerGroupOther,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    }

    void failedWriteReportsAndKeepsFile_data()
    {
        QTest::addColumn<QString>("kind");
        // clang-format off
        QTest::newRow("parent is a file") << "parent file";
        QTest::newRow("path is a folder") << "folder";
        QTest::newRow("line break in value") << "line break";
        QTest::newRow("file size limit hit") << "size limit";
        // clang-format on
    }

    void failedWriteReportsAndKeepsFile()
    {
        QFETCH(QString, kind);
        const QByteArray old("; keep me\n[KZ]\nNo=A1\n");
        QString target = path();
        QString value = QStringLiteral("B2");
        putBytes(path(), old);
        if (kind == "parent file") {
            target = path() + QStringLiteral("/Belcara.ini");
        } else if (kind == "folder") {
            target = m_dir.path();
        } else if (kind == "line break") {
            value = QStringLiteral("B\n[X]");
        } else {
            value = QString(4096, u'x');
        }

        rlimit saved{};
        if (kind == "size limit") {
            // Writes past the limit fail with EFBIG, for root too.
            std::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &saved);
            rlimit small = saved;
            small.rlim_cur = 1024;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        const QString error = errorOf(
            [&] { ProfileFile(target).writeString(QStringLiteral("KZ"), QStringLiteral("NO"), value); });
        if (kind == "size limit")
            ::setrlimit(RLIMIT_FSIZE, &saved);

        QCOMPARE(error, QStringLiteral("Unable to write to ") + target);
        QCOMPARE(bytesOf(path()), old);
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Belcara.ini")});
    }

    void lockedFolderRewritesInPlace_data()
    {
        QTest::addColumn<int>("folderMode");
        // clang-format off
        QTest::newRow("read-only folder") << 0555;
        // clang-format on
        // Everyone may add files but only the owner may replace the file (the shared folder).
        // clang-format off
        QTest::newRow("sticky shared folder") << 01777;
        // clang-format on
    }

    void lockedFolderRewritesInPlace()
    {
        // A folder in which we may not replace the file, holding a file we may write: rewritten in
        // place. As root the check runs as an unprivileged user on root's file.
        QFETCH(int, folderMode);
        const QString file = path();
        putBytes(file, "[KZ]\nNo=A1\n; a long comment that the shorter new content must not leave behind\n");
        const QByteArray expected("[KZ]\nNo=B2\n; a long comment that the shorter new content must not leave behind\n");
        QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(0x6666)));
        QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), mode_t(folderMode)), 0);
        const int code = asUnprivileged([&] {
            try {
                ProfileFile(file).writeString(QStringLiteral("KZ"), QStringLiteral("NO"), QStringLiteral("B2"));
            } catch (const AppError &) {
                return 1;
            }
            if (bytesOf(file) != expected)
                return 2;
            return QDir(QFileInfo(file).path()).entryList(QDir::Files | QDir::Hidden).size() == 1 ? 0 : 3;
        });
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7700));
        if (code < 0)
            QSKIP("no unprivileged user to run as");
        QCOMPARE(code, 0);
        QCOMPARE(bytesOf(file), expected);
    }

    void lockedFolderAndFileFail()
    {
        const QString file = path();
        const QByteArray old("[KZ]\nNo=A1\n");
        putBytes(file, old);
        QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(0x4444)));
        QVERIFY(QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x5555)));
        const int code = asUnprivileged([&] {
            const QString error = errorOf([&] {
                ProfileFile(file).writeString(QStringLiteral("KZ"), QStringLiteral("NO"), QStringLiteral("B2"));
            });
            return error == QStringLiteral("Unable to write to ") + file ? 0 : 1;
        });
        QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7700));
        QFile::setPermissions(file, QFileDevice::Permissions(0x6600));
        if (code < 0)
            QSKIP("no unprivileged user to run as");
        QCOMPARE(code, 0);
        QCOMPARE(bytesOf(file), old);
    }

    void unreadableFileReadsDefault()
    {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("Belcara.ini")));
        QCOMPARE(ProfileFile(path()).readString(QStringLiteral("KZ"), QStringLiteral("No"), QStringLiteral("A1")),
                 QStringLiteral("A1"));
        QVERIFY(QDir(m_dir.path()).rmdir(QStringLiteral("Belcara.ini")));
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "tst_profilefile.moc"
