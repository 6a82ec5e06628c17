// The KZ settings of the per-machine file, and byte lengths in code page 936.
#include "data/AppError.h"
#include "data/Gbk.h"
#include "data/Settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestSettings : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_file;

    QByteArray fileBytes() const
    {
        QFile file(m_file);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_file = m_dir.filePath(QStringLiteral("Belcara.ini"));
        QFile::remove(m_file);
        Settings::setPath(m_file);
    }

    void defaultPathIsPerMachine()
    {
        QCOMPARE(Settings::defaultPath(), QStringLiteral("/var/lib/belcara/Belcara.ini"));
        QCOMPARE(Settings::path(), m_file);
    }

    void missingFileGivesDefaults()
    {
        QCOMPARE(Settings::readOpen(), false);
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("A1"));
        QCOMPARE(fileBytes(), QByteArray("<missing>"));
    }

    void writesAndReadsBothKeys()
    {
        Settings::writeOpen(true);
        QCOMPARE(Settings::readOpen(), true);
        Settings::writeHospitalNo(QStringLiteral("B2"));
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("B2"));
        QCOMPARE(fileBytes(), QByteArray("[KZ]\nOpen=1\nNO=B2\n"));

        Settings::writeOpen(false);
        Settings::writeHospitalNo(QStringLiteral("C3"));
        QCOMPARE(Settings::readOpen(), false);
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("C3"));
        QCOMPARE(fileBytes(), QByteArray("[KZ]\nOpen=0\nNO=C3\n"));
    }

    void hospitalNoWrittenUnderExistingSpelling()
    {
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[kz]\r\nno=B2\r\nOpen=0x10\r\n");
        file.close();
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("B2"));
        QCOMPARE(Settings::readOpen(), true);
        Settings::writeHospitalNo(QStringLiteral("A1"));
        QCOMPARE(fileBytes(), QByteArray("[kz]\r\nno=A1\r\nOpen=0x10\r\n"));
    }

    void chineseHospitalNoStoredInGbk()
    {
        const QString number = QString::fromUtf8("医");
        Settings::writeHospitalNo(number);
        QCOMPARE(fileBytes(), QByteArray("[KZ]\nNO=\xd2\xbd\n"));
        QCOMPARE(Settings::readHospitalNo(), number);
    }

    void otherEntriesPassThrough()
    {
        Settings::writeString(QStringLiteral("Engine"), QStringLiteral("Kind"), QStringLiteral("sqlite"));
        QCOMPARE(Settings::readString(QStringLiteral("engine"), QStringLiteral("KIND"), QString()),
                 QStringLiteral("sqlite"));
        QCOMPARE(Settings::readString(QStringLiteral("Engine"), QStringLiteral("Host"), QStringLiteral("none")),
                 QStringLiteral("none"));
    }

    void failedWriteNamesTheFile()
    {
        const QString blocked = m_file + QStringLiteral("/sub/Belcara.ini");
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        Settings::setPath(blocked);
        try {
            Settings::writeOpen(true);
            QFAIL("the write did not fail");
        } catch (const AppError &e) {
            QCOMPARE(e.text(), QStringLiteral("Unable to write to ") + blocked);
        }
        QCOMPARE(Settings::readOpen(), false);
    }

    void byteLength_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("bytes");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("letters") << QStringLiteral("A1") << 2;
        QTest::newRow("one Chinese") << QString::fromUtf8("医") << 2;
        QTest::newRow("mixed") << QString::fromUtf8("医A") << 3;
        QTest::newRow("full-width digit") << QString::fromUtf8("１") << 2;
        QTest::newRow("euro sign") << QString::fromUtf8("€") << 1;
        QTest::newRow("not in GBK") << QString::fromUtf8("ḿ") << 1;
        QTest::newRow("emoji") << QString::fromUtf8("😀") << 1;
        QTest::newRow("soft hyphen") << QString::fromUtf8("A\u00ad") << 2;
    }

    void byteLength()
    {
        QFETCH(QString, text);
        QFETCH(int, bytes);
        QCOMPARE(Gbk::byteLength(text), bytes);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
