// The backup and restore windows, driven by keys: a first backup to a typed folder with its new
// password typed twice, a cancelled one that adds no backup, a wrong password told plainly, and
// a restore that lists the backup by its password and brings records and pictures back. The
// reminder at start says when and where the last backup was.

#include "admin/BackupWindow.h"
#include "backup/Backup.h"
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
}

// Types text into the field whose label has the access key, then goes on with Tab.
void typeInto(QWidget *w, Qt::Key accessKey, const QString &text)
{
    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w, accessKey, Qt::AltModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), text);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
}

const QString Password = QStringLiteral("clinic backup 2026");

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

        qputenv("BELCARA_BACKUP_ANY_FOLDER", "1");
        // The remembered password goes to a settings folder of the test's own.
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        {
            BackupWindow w(nullptr, BackupWindow::MakeBackup);
            typeFolderAndStart(w, usb.path());
            // A new place: the password is set here, typed twice.
            QVERIFY(w.findChild<QWidget *>(QStringLiteral("PasswordAgain"))->isEnabled());
            typeInto(&w, Qt::Key_P, Password);
            typeInto(&w, Qt::Key_A, Password + QStringLiteral("x"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
            // An access key clicks its button a moment later, as the button is seen pressed.
            QTRY_COMPARE(prompter.texts(QStringLiteral("message")).value(0),
                         QStringLiteral("两次输入的备份密码不一样，请重新输入。"));
            prompter.clear();
            typeInto(&w, Qt::Key_A, Password);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("message")).isEmpty(), 60000);
            QVERIFY2(prompter.texts(QStringLiteral("message")).first().startsWith(QStringLiteral("备份完成")),
                     qPrintable(prompter.texts(QStringLiteral("message")).first()));
            QCOMPARE(w.result(), int(QDialog::Accepted));
        }
        QCOMPARE(Settings::readString(QStringLiteral("Backup"), QStringLiteral("Folder"), QString()), usb.path());
        QVERIFY(Backup::lastBackup(DataMod->ADOConn).where.startsWith(Backup::repositoryPath(usb.path())));
        const QString id = Backup::installationId(Backup::Source{inst.folder(), false, QString(), DataMod->ADOConn});
        QCOMPARE(Backup::list(usb.path(), Password.toUtf8(), id).size(), 1);

        // A wrong password is told in words, and nothing is added.
        prompter.clear();
        {
            BackupWindow w(nullptr, BackupWindow::MakeBackup);
            typeFolderAndStart(w, usb.path());
            QVERIFY(!w.findChild<QWidget *>(QStringLiteral("PasswordAgain"))->isEnabled());
            typeInto(&w, Qt::Key_P, QStringLiteral("not the password"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("error")).isEmpty(), 60000);
            QVERIFY2(prompter.texts(QStringLiteral("error")).first().startsWith(QStringLiteral("备份密码不对")),
                     qPrintable(prompter.texts(QStringLiteral("error")).first()));
            QVERIFY(w.isVisible());

            // 取消 while it works: no backup is added.
            prompter.clear();
            typeInto(&w, Qt::Key_P, Password);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::AltModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!prompter.texts(QStringLiteral("message")).isEmpty(), 60000);
            QVERIFY2(prompter.texts(QStringLiteral("message")).first().startsWith(QStringLiteral("备份已取消")),
                     qPrintable(prompter.texts(QStringLiteral("message")).first()));
            QVERIFY(w.isVisible());
        }
        QCOMPARE(Backup::list(usb.path(), Password.toUtf8(), id).size(), 1);

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
            // The folder last backed up to is offered first; its backups are listed by their password.
            QCOMPARE(w.findChild<QListWidget *>(QStringLiteral("Backups"))->count(), 0);
            typeInto(&w, Qt::Key_P, Password);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
            QTRY_COMPARE(w.findChild<QListWidget *>(QStringLiteral("Backups"))->count(), 1);
            QVERIFY(
                w.findChild<QListWidget *>(QStringLiteral("Backups"))->item(0)->text().contains(QStringLiteral("本机")));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
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
        last.where = QStringLiteral("/media/u/USB/Belcara备份/restic 快照 1a2b3c4d");
        const QString text = BackupUi::reminderText(last, 7, QString(), now);
        QVERIFY2(text.contains(QStringLiteral("2026-12-10")) && text.contains(last.where), qPrintable(text));
        QVERIFY(BackupUi::reminderText(last, 14, QString(), now).isEmpty());
        QVERIFY(BackupUi::reminderText(last, 0, QString(), now).isEmpty());
    }
};

QTEST_MAIN(TestBackupWindow)
#include "tst_backupwindow.moc"
