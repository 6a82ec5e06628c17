// belcara-admin set-connection: the connection file it writes is one the program trusts and
// reads back as given; what must not go into it is refused and leaves it as it was.
#include "data/DbEngine.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Result {
    int code = -1;
    QString err;
};

Result admin(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(BELCARA_BINARY_DIR "/tools/belcara-admin"), args);
    if (!p.waitForFinished(30000))
        return {};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardError())};
}

QByteArray bytesOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestAdminConnection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFile::exists(QStringLiteral(BELCARA_BINARY_DIR "/tools/belcara-admin")))
            QSKIP("belcara-admin is not built");
    }

    void writesATrustedFileAndKeepsItsComments()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("etc/belcara/database.conf"));
        Result r = admin({QStringLiteral("set-connection"), QStringLiteral("Engine=PostgreSQL"),
                          QStringLiteral("service=clinic"), QStringLiteral("--config"), path});
        QVERIFY2(r.code == 0, qPrintable(r.err));

        // An administrator's comments stay; a file others could write is closed again.
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write("; keep me\n");
        f.close();
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions(0x6666)));
        r = admin({QStringLiteral("set-connection"), QStringLiteral("Options=sslmode=verify-full"),
                   QStringLiteral("Service="), QStringLiteral("Host=db.clinic.lan"), QStringLiteral("--config"), path});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(QFile::permissions(path) & QFileDevice::Permissions(0x7077), QFileDevice::Permissions(0x6044));
        QVERIFY(bytesOf(path).contains("; keep me\n"));

        DbEngine::setConfigPath(path);
        const DbEngine::Choice c = DbEngine::fromConfig();
        QCOMPARE(c.engine, DbEngine::Engine::PostgreSQL);
        QCOMPARE(DbEngine::conninfo(c.server),
                 QStringLiteral("connect_timeout=5 sslmode=require host=db.clinic.lan sslmode=verify-full"));
    }

    void refusesWhatDoesNotBelongThere_data()
    {
        QTest::addColumn<QString>("pair");
        QTest::addColumn<QString>("why");
        // clang-format off
        QTest::newRow("a password") << "Password=secret" << ".pgpass";
        QTest::newRow("an unknown key") << "Hots=db" << "Hots=db";
        QTest::newRow("no key") << "=db" << "=db";
        QTest::newRow("a semicolon") << "Options=host=a;b" << "host=a;b";
        // clang-format on
    }
    void refusesWhatDoesNotBelongThere()
    {
        QFETCH(QString, pair);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("database.conf"));
        QVERIFY(
            admin({QStringLiteral("set-connection"), QStringLiteral("Engine=SQLite"), QStringLiteral("--config"), path})
                .code
            == 0);
        const QByteArray before = bytesOf(path);
        const Result r = admin(
            {QStringLiteral("set-connection"), QStringLiteral("Host=ok"), pair, QStringLiteral("--config"), path});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains(why), qPrintable(r.err));
        QCOMPARE(bytesOf(path), before);
    }
};

QTEST_GUILESS_MAIN(TestAdminConnection)
#include "tst_adminconnection.moc"
