// The user accounts window: the reserved account "Admin", the name field's editing states, the
// login switch stored once or not at all, and closing with a pending row.
#include "widgets/DBNavigator.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "support/WindowTestBed.h"
#include "admin/UnitUserManager.h"
#include "data/Unit_DataMod.h"
#include "browser/Unit_Main.h"
#include "ui_UnitUserManager.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QApplication>
#include <QToolButton>
#include <QtTest>

using Nav = DBNavigator;

class TestUserManager : public QObject, WindowTestBed {
    Q_OBJECT
    QStringList m_sent;

    int count(const QString &name) const
    {
        return m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM SysManager WHERE UserName='%1'").arg(name))
            .toInt();
    }
    int isSys(const QString &name) const
    {
        return m_install->scalar(QStringLiteral("SELECT IsSYS FROM SysManager WHERE UserName='%1'").arg(name)).toInt();
    }
    QStringList paramUpdates() const { return m_sent.filter(QStringLiteral("update [Param]")); }

private slots:
    void init()
    {
        openBed();
        m_install->exec(QStringLiteral(
            "INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('admin','a',false), ('ADMIN','b',false), "
            "('Admin ','c',false), ('clerk','d',false)"));
        m_sent.clear();
        Db::setObserver([this](const QString &s) { m_sent << s; });
    }
    void cleanup()
    {
        Db::setObserver(nullptr);
        closeBed();
    }

    void onlyTheExactAdminIsKept_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("kept");
        QTest::newRow("Admin") << "Admin" << true;
        QTest::newRow("admin") << "admin" << false;
        QTest::newRow("ADMIN") << "ADMIN" << false;
        QTest::newRow("Admin with a blank") << "Admin " << false;
        QTest::newRow("clerk") << "clerk" << false;
    }
    void onlyTheExactAdminIsKept()
    {
        QFETCH(QString, name);
        QFETCH(bool, kept);
        TfrmUserManager w(nullptr);
        QVERIFY(w.adt_SysManager->locate(QStringLiteral("UserName"), name));
        // Changing the password first: the delete still applies to the row as stored.
        QTest::keyClicks(w.ui()->DBEdit2, QStringLiteral("z"));
        QCOMPARE(w.adt_SysManager->state(), DataSet::Edit);
        w.ui()->DBNavigator1->click(Nav::Delete);
        QCOMPARE(count(name), kept ? 1 : 0);
        QCOMPARE(w.adt_SysManager->recordCount(), kept ? 5 : 4);
        if (kept)
            QCOMPARE(w.adt_SysManager->asString(QStringLiteral("UserName")), name); // stays current
        QVERIFY(m_prompter->calls.isEmpty());                                       // no question, no message
    }

    void adminIsAlwaysSavedAsAdministrator_data()
    {
        QTest::addColumn<bool>("insert");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("stored");
        QTest::newRow("existing Admin cleared") << false << "Admin" << 1;
        QTest::newRow("existing admin cleared") << false << "admin" << 0;
        QTest::newRow("new Admin") << true << "Admin" << 1;
        QTest::newRow("new Admin with a blank") << true << "Admin " << 0;
        QTest::newRow("new other") << true << "nurse" << 0;
    }
    void adminIsAlwaysSavedAsAdministrator()
    {
        QFETCH(bool, insert);
        QFETCH(QString, name);
        QFETCH(int, stored);
        if (!insert)
            m_install->exec(QStringLiteral("UPDATE SysManager SET IsSYS=true"));
        else // a name is given once
            m_install->exec(QStringLiteral("DELETE FROM SysManager WHERE UserName='%1'").arg(name));
        TfrmUserManager w(nullptr);
        auto *ui = w.ui();
        if (insert) {
            ui->DBNavigator1->click(Nav::Insert);
            QTest::keyClicks(ui->DBEdit1, name);
            QVERIFY(!ui->DBCheckBox1->isChecked());
        } else {
            QVERIFY(w.adt_SysManager->locate(QStringLiteral("UserName"), name));
            QVERIFY(ui->DBCheckBox1->isChecked());
            QTest::mouseClick(ui->DBCheckBox1, Qt::LeftButton);
            QVERIFY(!ui->DBCheckBox1->isChecked());
        }
        ui->DBNavigator1->click(Nav::Post);
        QCOMPARE(w.adt_SysManager->state(), DataSet::Browse);
        QCOMPARE(isSys(name), stored);
        QCOMPARE(ui->DBCheckBox1->isChecked(), stored == 1);
        QVERIFY(m_prompter->calls.isEmpty());
    }

    void nameIsWritableOnlyWhileInserting()
    {
        TfrmUserManager w(nullptr);
        QLineEdit *name = w.ui()->DBEdit1;
        const QColor silver(192, 192, 192), window = QApplication::palette().color(QPalette::Base);
        auto check = [&](bool writable) {
            QCOMPARE(name->isReadOnly(), !writable);
            QCOMPARE(name->palette().color(QPalette::Base), writable ? window : silver);
        };
        check(false);
        QTest::keyClicks(w.ui()->DBEdit2, QStringLiteral("x")); // edit
        QCOMPARE(w.adt_SysManager->state(), DataSet::Edit);
        check(false);
        QTest::keyClicks(name, QStringLiteral("renamed"));
        QVERIFY(name->text() != QStringLiteral("renamed"));
        w.ui()->DBNavigator1->click(Nav::Cancel);
        check(false);
        w.ui()->DBNavigator1->click(Nav::Insert);
        check(true);
        QTest::keyClicks(name, QStringLiteral("nurse"));
        w.ui()->DBNavigator1->click(Nav::Post);
        check(false);
        QCOMPARE(count(QStringLiteral("nurse")), 1);
        w.ui()->DBNavigator1->click(Nav::Insert);
        check(true);
        w.ui()->DBNavigator1->click(Nav::Cancel);
        check(false);
        QCOMPARE(name->font().bold(), true);
        QCOMPARE(name->palette().color(QPalette::Text), QColor(0, 0, 128));
    }

    void loginSwitchIsStoredOnlyWhenChangedAndConfirmed_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("clicks");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("updates");
        const QStringList none;
        const QStringList on{QStringLiteral("update [Param] set MustLogin=true")};
        const QStringList off{QStringLiteral("update [Param] set MustLogin=false")};
        QTest::newRow("untouched, OK") << false << 0 << true << none;
        QTest::newRow("checked, OK") << false << 1 << true << on;
        QTest::newRow("unchecked, OK") << true << 1 << true << off;
        QTest::newRow("checked and back, OK") << false << 2 << true << none;
        QTest::newRow("checked, close box") << false << 1 << false << none;
    }
    void loginSwitchIsStoredOnlyWhenChangedAndConfirmed()
    {
        QFETCH(bool, stored);
        QFETCH(int, clicks);
        QFETCH(bool, ok);
        QFETCH(QStringList, updates);
        m_install->exec(QStringLiteral("UPDATE Param SET MustLogin=%1").arg(stored ? "true" : "false"));
        TfrmUserManager w(nullptr);
        w.show();
        QCOMPARE(w.ui()->CheckBox1->isChecked(), stored);
        for (int i = 0; i < clicks; ++i)
            QTest::mouseClick(w.ui()->CheckBox1, Qt::LeftButton);
        if (ok)
            w.ui()->Button1->click();
        else
            QVERIFY(w.close());
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(paramUpdates(), updates);
        const bool expected = (ok && clicks % 2) ? !stored : stored;
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT MustLogin FROM Param")).toInt(), expected ? 1 : 0);
    }

    void closingSavesThePendingRow()
    {
        TfrmUserManager w(nullptr);
        w.show();
        w.ui()->DBNavigator1->click(Nav::Insert);
        QTest::keyClicks(w.ui()->DBEdit1, QStringLiteral("nurse"));
        QTest::keyClicks(w.ui()->DBEdit2, QStringLiteral("pw"));
        w.ui()->Button1->click();
        QVERIFY(!w.isVisible());
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT Pwd FROM SysManager WHERE UserName='nurse'")).toString(),
                 QStringLiteral("pw"));
        QVERIFY(paramUpdates().isEmpty());
    }

    void aRefusedSaveKeepsTheWindowOpen()
    {
        m_install->exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON SysManager WHEN NEW.UserName = 'bad' "
                                       "BEGIN SELECT RAISE(ABORT, 'name refused'); END"));
        TfrmUserManager w(nullptr);
        w.show();
        w.ui()->DBNavigator1->click(Nav::Insert);
        QTest::keyClicks(w.ui()->DBEdit1, QStringLiteral("bad"));
        QTest::mouseClick(w.ui()->CheckBox1, Qt::LeftButton);
        QVERIFY(!w.close());
        QVERIFY(w.isVisible());
        QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 1);
        QVERIFY(m_prompter->texts(QStringLiteral("error")).first().contains(QStringLiteral("name refused")));
        QCOMPARE(w.adt_SysManager->state(), DataSet::Insert);
        QCOMPARE(w.ui()->DBEdit1->text(), QStringLiteral("bad"));

        // OK stores the switch, then the save fails again and the window stays.
        w.ui()->Button1->click();
        QVERIFY(w.isVisible());
        QCOMPARE(paramUpdates().size(), 1);
        w.ui()->DBNavigator1->click(Nav::Cancel);
        QVERIFY(w.close());
        QCOMPARE(count(QStringLiteral("bad")), 0);
    }

    // A name already taken, or none, is refused with a word on saving; the row stays to be
    // corrected. Names differing in case or blanks are other names, as at login.
    void takenAndEmptyNamesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message"); // empty: saved
        QTest::newRow("taken") << "clerk"
                               << "已有名为“clerk”的使用人，请换一个用户名。";
        QTest::newRow("empty") << ""
                               << "用户名不能为空，请填写用户名。";
        QTest::newRow("blanks") << "  "
                                << "用户名不能为空，请填写用户名。";
        QTest::newRow("other case") << "Clerk"
                                    << "";
    }
    void takenAndEmptyNamesAreRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        TfrmUserManager w(nullptr);
        w.show();
        w.ui()->DBNavigator1->click(Nav::Insert);
        w.ui()->DBEdit1->setFocus();
        QTest::keyClicks(w.ui()->DBEdit1, name);
        QTest::keyClicks(w.ui()->DBEdit2, QStringLiteral("pw"));
        w.ui()->DBNavigator1->click(Nav::Post);
        QCOMPARE(m_prompter->texts(QStringLiteral("error")), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(w.adt_SysManager->state(), message.isEmpty() ? DataSet::Browse : DataSet::Insert);
        QCOMPARE(count(name), message.isEmpty() || name == QLatin1String("clerk") ? 1 : 0);
        // Changing the password of an existing account is no clash with itself.
        w.ui()->DBNavigator1->click(Nav::Cancel);
        QVERIFY(w.adt_SysManager->locate(QStringLiteral("UserName"), QStringLiteral("clerk")));
        w.ui()->DBEdit2->setFocus();
        QTest::keyClicks(w.ui()->DBEdit2, QStringLiteral("x"));
        m_prompter->clear();
        w.ui()->DBNavigator1->click(Nav::Post);
        QCOMPARE(m_prompter->texts(QStringLiteral("error")), QStringList());
    }

    void theDesign()
    {
        TfrmMain main(m_install->folder());
        m_prompter->onModal = [](QDialog *d) {
            auto *w = static_cast<TfrmUserManager *>(d);
            auto *ui = w->ui();
            [&] {
                QCOMPARE(d->size(), QSize(360, 216));
                QCOMPARE(ui->DBGrid1->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("用户名"));
                QCOMPARE(ui->DBGrid1->columnWidth(0), 84);
                QCOMPARE(ui->DBGrid1->model()->rowCount(), 5);
                QVERIFY(!ui->DBNavigator1->button(Nav::First)->isVisibleTo(d));
                QVERIFY(ui->DBNavigator1->button(Nav::Delete)->isVisibleTo(d));
                QVERIFY(!ui->DBNavigator1->isButtonEnabled(Nav::Post));
                QCOMPARE(ui->Label21->text(), QStringLiteral("前条      后条      新增      删除      保存      撤销"));
                d->show();
                QCOMPARE(d->focusWidget(), static_cast<QWidget *>(ui->DBEdit1));
                QTest::keyClick(ui->DBEdit2, Qt::Key_Escape);
                QVERIFY(d->isVisible());
            }();
            return int(QDialog::Rejected);
        };
        main.UserManagerN->trigger();
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).size(), 1);
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).first().caption, QStringLiteral("使用人管理"));
    }

    // The password box and the administrator box from the keyboard, on an account not yet being
    // edited: the first key must not move the cursor (the password would be scrambled).
    void typingThePasswordAndTheAdministratorBox()
    {
        m_install->exec(QStringLiteral("UPDATE SysManager SET Pwd='admin' WHERE UserName='clerk'"));
        TfrmUserManager w(nullptr);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.adt_SysManager->locate(QStringLiteral("UserName"), QStringLiteral("clerk")));
        QLineEdit *pwd = w.ui()->DBEdit2;
        pwd->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(pwd, Qt::Key_End);
        QTest::keyClicks(pwd, QStringLiteral("123"));
        QCOMPARE(pwd->text(), QStringLiteral("admin123"));
        QCheckBox *sys = w.ui()->DBCheckBox1;
        sys->setFocus(Qt::TabFocusReason);
        QTest::keyClick(sys, Qt::Key_Space);
        QVERIFY(sys->isChecked());
        QCOMPARE(pwd->text(), QStringLiteral("admin123"));
        w.ui()->DBNavigator1->click(Nav::Post);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT Pwd FROM SysManager WHERE UserName='clerk'")).toString(),
                 QStringLiteral("admin123"));
        QCOMPARE(isSys(QStringLiteral("clerk")), 1);
        // Select all and retype replaces the whole password, first key included.
        pwd->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(pwd, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(pwd, QStringLiteral("s3cret"));
        w.ui()->DBNavigator1->click(Nav::Post);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT Pwd FROM SysManager WHERE UserName='clerk'")).toString(),
                 QStringLiteral("s3cret"));
    }
};

QTEST_MAIN(TestUserManager)
#include "tst_usermanager.moc"
