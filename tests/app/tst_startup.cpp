// Start-up refuses a [Database] section left in the shared settings file: the error is shown,
// the program ends with status 1, and neither a database nor a window is opened.
#include "app/Belcara.h"
#include "app/Unit_Logo.h"
#include "data/Schema.h"
#include "data/Unit_DataMod.h"
#include "support/ScriptedPrompter.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1) : QByteArray();
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void serverSectionInSharedSettingsEndsStartUp_data()
    {
        QTest::addColumn<QByteArray>("settings");
        // clang-format off
        QTest::newRow("a server chosen") << QByteArray("[KZ]\nOpen=1\n\n[Database]\nEngine=PostgreSQL\nHost=10.9.9.9\n");
        QTest::newRow("an empty section, any case") << QByteArray("[KZ]\r\nNo=B2\r\n[database]\r\n");
        // clang-format on
    }
    void serverSectionInSharedSettingsEndsStartUp()
    {
        QFETCH(QByteArray, settings);
        QTemporaryDir dir;
        const QString folder = dir.path() + QLatin1Char('/');
        const QString database = folder + QStringLiteral("Data/Data.mdb");
        Schema::createDatabase(database);
        const QByteArray before = hashOf(database);
        const QString ini = folder + QStringLiteral("Belcara.ini");
        {
            QFile f(ini);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(settings);
        }
        QVERIFY(QFile::setPermissions(ini, QFileDevice::Permissions(0x6666))); // writable by all
        const QString conf = folder + QStringLiteral("database.conf");

        ScriptedPrompter prompter;
        // The splash closes as soon as it shows instead of after 3 s; any other window (the main
        // window of a start-up that went on) ends the message loop so that the test fails, not hangs.
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (!w->isVisible())
                    continue;
                if (auto *logo = qobject_cast<TfrmLogo *>(w))
                    logo->accept();
                else
                    QCoreApplication::exit(7);
            }
        });
        closer.start(10);

        const int status = startBelcara(folder, {ini, conf});

        QCOMPARE(status, 1);
        const QStringList errors = prompter.texts(QStringLiteral("error"));
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().contains(ini) && errors.first().contains(conf), qPrintable(errors.first()));
        QVERIFY2(errors.first().contains(QStringLiteral("请管理员")), qPrintable(errors.first()));
        QCOMPARE(prompter.calls.size(), 1); // no login, no other window
        QVERIFY(DataMod == nullptr);
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible() || qobject_cast<TfrmLogo *>(w), w->metaObject()->className());
        // The local database was not opened (opening it would switch it to WAL and add files).
        QCOMPARE(hashOf(database), before);
        QCOMPARE(QDir(folder + QStringLiteral("Data")).entryList(QDir::Files), QStringList{QStringLiteral("Data.mdb")});
        QVERIFY(!QFile::exists(conf));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
