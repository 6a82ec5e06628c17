// The backup and restore windows, driven by keys: a backup to a typed folder, a cancelled one
// that leaves nothing behind, and a restore that brings records and pictures back. The reminder
// at start says when and where the last backup was.

#include "admin/BackupWindow.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QListWidget>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void writeFile(const QString &path, qsizetype size, char fill)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QByteArray bytes(size, fill);
    for (qsizetype i = 0; i < size; i += 4096)
        bytes[i] = char(i / 4096);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), size);
}

QByteArray sha(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// Shows the window, types the folder into its first field and presses Alt+S.
void typeFolderAndStart(BackupWindow &w, const QString &folder)
{
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTRY_COMPARE(QApplication::focusWidget(),
                 static_cast<QWidget *>(w.findChild<QComboBox *>(QStringLiteral("Target"))));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), folder);
    QTest::keyClick(&w, Qt::Key_S, Qt::AltModifier);
}

} // namespace

class TestBackupWindow : public QObject {
    Q_OBJECT

private slots:
    void backupCancelRestoreByKeys()
    {
        TestInstall inst;
        ScriptedPrompter prompter;
        const QString folder = inst.folder();
        const QString pic = folder + QStringLiteral("pic/A1200612070001/1.jpg");
        writeFile(pic, 200000, 'a');
        for (int i = 0; i < 40; ++i)
            writeFile(folder + QStringLiteral("pic/A1200612070002/%1.jpg").arg(i), 1 << 20, char('b' + i % 20));
        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070001', '李')"));
        QTemporaryDir usb;

        {
            BackupWindow w(nullptr, BackupWindow::MakeBackup);
            typeFolderAndStart(w, usb.path());
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("message")).isEmpty(), 60000);
            QVERIFY2(prompter.texts(QStringLiteral("message")).first().startsWith(QStringLiteral("备份完成")),
                     qPrintable(prompter.texts(QStringLiteral("message")).first()));
            QCOMPARE(w.result(), int(QDialog::Accepted));
        }
        const QStringList backups = Backup::completeBackups(usb.path());
        QCOMPARE(backups.size(), 1);
        QCOMPARE(Settings::readString(QStringLiteral("Backup"), QStringLiteral("Folder"), QString()), usb.path());
        QCOMPARE(Backup::lastBackup(DataMod->ADOConn).where, backups.first());

        // 取消 while it works: no backup is added and none is left half-made.
        prompter.clear();
        QTest::qWait(1100); // a new backup folder gets a new name
        {
            BackupWindow w(nullptr, BackupWindow::MakeBackup);
            typeFolderAndStart(w, usb.path());
            QTest::keyClick(&w, Qt::Key_C, Qt::AltModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("message")).isEmpty(), 60000);
            QVERIFY2(prompter.texts(QStringLiteral("message")).first().startsWith(QStringLiteral("备份已取消")),
                     qPrintable(prompter.texts(QStringLiteral("message")).first()));
            QVERIFY(w.isVisible());
        }
        QCOMPARE(Backup::completeBackups(usb.path()), backups);
        QCOMPARE(QDir(Backup::rootFolder(usb.path())).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);

        // The records and a picture change, then the backup is restored from the list.
        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070003', '张')"));
        const QByteArray before = sha(pic);
        writeFile(pic, 100, 'z');
        prompter.clear();
        prompter.answers = {Prompt::Yes};
        {
            BackupWindow w(nullptr, BackupWindow::RestoreBackup);
            w.show();
            QApplication::setActiveWindow(&w);
            QVERIFY(QTest::qWaitForWindowActive(&w));
            // The folder last backed up to is offered first, with its backup chosen.
            QCOMPARE(w.findChild<QListWidget *>(QStringLiteral("Backups"))->count(), 1);
            QTest::keyClick(&w, Qt::Key_S, Qt::AltModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("message")).isEmpty(), 60000);
            QCOMPARE(prompter.callsOf(QStringLiteral("box")).size(), 1);
            QVERIFY2(prompter.texts(QStringLiteral("message")).first().startsWith(QStringLiteral("恢复完成")),
                     qPrintable(prompter.texts(QStringLiteral("message")).first()));
            QVERIFY(w.restored());
        }
        DataMod->OpenDatabase();
        QCOMPARE(inst.scalar(QStringLiteral("SELECT count(*) FROM tUserInfo")).toInt(), 1);
        QCOMPARE(sha(pic), before);
    }

    void reminder()
    {
        const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-20T09:00:00Z"), Qt::ISODate);
        Backup::LastBackup last;
        // Never backed up and no folder chosen: a fresh installation is left in peace.
        QVERIFY(BackupUi::reminderText(last, 7, QString(), now).isEmpty());
        QVERIFY(BackupUi::reminderText(last, 7, QStringLiteral("/media/u/USB"), now)
                    .contains(QStringLiteral("/media/u/USB")));
        last.at = QDateTime::fromString(QStringLiteral("2026-12-10T09:00:00Z"), Qt::ISODate);
        last.where = QStringLiteral("/media/u/USB/Belcara备份/20261210-170000");
        const QString text = BackupUi::reminderText(last, 7, QString(), now);
        QVERIFY2(text.contains(QStringLiteral("2026-12-10")) && text.contains(last.where), qPrintable(text));
        QVERIFY(BackupUi::reminderText(last, 14, QString(), now).isEmpty());
        QVERIFY(BackupUi::reminderText(last, 0, QString(), now).isEmpty());
    }
};

QTEST_MAIN(TestBackupWindow)
#include "tst_backupwindow.moc"
