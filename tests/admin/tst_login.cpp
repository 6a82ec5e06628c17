// The login: which name and password pairs open the program and with which administrator flag,
// the statement sent (none for an empty name), retries, and what the main window makes of the
// result: enabled or disabled administration commands, or the end of the program on cancel.
#include "data/Db.h"
#include "support/WindowTestBed.h"
#include "data/Unit_DataMod.h"
#include "admin/Unit_LoginCheck.h"
#include "browser/Unit_Main.h"
#include "ui_Unit_LoginCheck.h"
#include "ui_Unit_Main.h"

#include <QAction>
#include <QToolButton>
#include <QtTest>

class TestLogin : public QObject, WindowTestBed {
    Q_OBJECT
    QStringList m_sent;

    // Types the texts and presses OK as often as asked; returns the dialog's result.
    static int tryLogin(TfrmLogin &dialog, const QString &name, const QString &pwd)
    {
        dialog.ui()->Edit1->setText(name);
        dialog.ui()->Edit2->setText(pwd);
        dialog.ui()->Button1->click();
        return dialog.result();
    }

private slots:
    void init()
    {
        openBed();
        m_install->exec(QStringLiteral(
            "INSERT INTO SysManager (UserName, Pwd, IsSYS) VALUES ('clerk','pw',false), ('nopwd',NULL,true), "
            "('blank','',false), ('dup','same',false), ('dup','same',true), ('O''Hara','x''y',true)"));
        m_sent.clear();
        Db::setObserver([this](const QString &s) { m_sent << s; });
    }
    void cleanup()
    {
        Db::setObserver(nullptr);
        closeBed();
    }

    void credentials_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pwd");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("admin");
        // clang-format off
        QTest::newRow("administrator") << "Admin" << "admin" << true << true;
        QTest::newRow("ordinary user") << "clerk" << "pw" << true << false;
        QTest::newRow("wrong password") << "Admin" << "Admin1" << false << false;
        QTest::newRow("unknown user") << "nobody" << "admin" << false << false;
        QTest::newRow("empty password, stored null") << "nopwd" << "" << false << false;
        QTest::newRow("empty password, stored empty") << "blank" << "" << true << false;
        QTest::newRow("several rows: the first decides") << "dup" << "same" << true << false;
        QTest::newRow("quotes match literally") << "O'Hara" << "x'y" << true << true;
        QTest::newRow("injection in the password") << "Admin" << "' OR '1'='1" << false << false;
        QTest::newRow("injection in both") << "' OR '1'='1" << "' OR '1'='1" << false << false;
        QTest::newRow("comment after the name") << "Admin'--" << "" << false << false;
        // clang-format on
    }
    void credentials()
    {
        QFETCH(QString, name);
        QFETCH(QString, pwd);
        QFETCH(bool, ok);
        QFETCH(bool, admin);
        TfrmLogin dialog(nullptr);
        dialog.show();
        const int result = tryLogin(dialog, name, pwd);
        QCOMPARE(result, ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(dialog.isVisible(), !ok);
        QCOMPARE(m_sent.size(), 1);
        QVERIFY(m_sent.first().startsWith(QStringLiteral("SELECT * FROM SysManager WHERE UserName='")));
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());
        if (ok) {
            QVERIFY(m_prompter->calls.isEmpty());
            QCOMPARE(DataMod->CurrentUser.UserName, name);
            QCOMPARE(DataMod->CurrentUser.IsSYS, admin);
        } else {
            QCOMPARE(m_prompter->texts(QStringLiteral("message")), QStringList{QStringLiteral("用户名、密码错误！")});
            QCOMPARE(m_prompter->calls.first().caption, QStringLiteral("Orvane美容管理软件1.2"));
            QCOMPARE(dialog.ui()->Edit1->text(), name); // both texts stay as typed
            QCOMPARE(dialog.ui()->Edit2->text(), pwd);
            QVERIFY(DataMod->CurrentUser.UserName.isEmpty());
        }
    }

    void emptyNameSendsNothingAndTakesTheFocus()
    {
        TfrmLogin dialog(nullptr);
        dialog.show();
        dialog.ui()->Edit2->setFocus();
        tryLogin(dialog, QString(), QStringLiteral("admin"));
        QVERIFY(m_sent.isEmpty());
        QVERIFY(m_prompter->calls.isEmpty());
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.focusWidget(), dialog.ui()->Edit1);
    }

    void attemptsAreNotLimited()
    {
        TfrmLogin dialog(nullptr);
        dialog.show();
        for (int i = 0; i < 5; ++i)
            QCOMPARE(tryLogin(dialog, QStringLiteral("Admin"), QStringLiteral("x")), int(QDialog::Rejected));
        QCOMPARE(m_prompter->texts(QStringLiteral("message")).size(), 5);
        QCOMPARE(tryLogin(dialog, QStringLiteral("Admin"), QStringLiteral("admin")), int(QDialog::Accepted));
    }

    void aDatabaseErrorKeepsTheDialogOpen()
    {
        m_install->exec(QStringLiteral("DROP TABLE SysManager"));
        TfrmLogin dialog(nullptr);
        dialog.show();
        tryLogin(dialog, QStringLiteral("Admin"), QStringLiteral("admin"));
        QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 1);
        QVERIFY(m_prompter->texts(QStringLiteral("message")).isEmpty());
        QVERIFY(dialog.isVisible());
    }

    void theDesign()
    {
        TfrmLogin dialog(nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("用户登录"));
        QCOMPARE(dialog.size(), QSize(290, 167));
        QCOMPARE(dialog.ui()->Edit2->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog.ui()->Panel1->palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(dialog.ui()->Image1->pixmap().size(), QSize(32, 32));
        dialog.show();
        QCOMPARE(dialog.focusWidget(), dialog.ui()->Edit1);
        QTest::keyClick(dialog.ui()->Edit1, Qt::Key_Escape);
        QTest::keyClick(dialog.ui()->Edit1, Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QVERIFY(m_sent.isEmpty()); // Enter is not OK
        QVERIFY(dialog.close());   // the close box is cancel
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        TfrmLogin again(nullptr);
        again.show();
        again.ui()->Edit1->setText(QStringLiteral("Admin"));
        again.ui()->Button2->click();
        QCOMPARE(again.result(), int(QDialog::Rejected));
        QVERIFY(!again.isVisible());
        QVERIFY(m_sent.isEmpty());
    }

    void administrationFollowsTheUser_data()
    {
        QTest::addColumn<bool>("mustLogin");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("pwd");
        QTest::addColumn<bool>("enabled");
        // clang-format off
        QTest::newRow("no login") << false << "" << "" << true;
        QTest::newRow("administrator") << true << "Admin" << "admin" << true;
        QTest::newRow("ordinary user") << true << "clerk" << "pw" << false;
        // clang-format on
    }
    void administrationFollowsTheUser()
    {
        QFETCH(bool, mustLogin);
        QFETCH(QString, name);
        QFETCH(QString, pwd);
        QFETCH(bool, enabled);
        m_install->exec(QStringLiteral("UPDATE Param SET MustLogin=%1").arg(mustLogin ? "true" : "false"));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号) VALUES ('A1200601010001')"));
        m_prompter->onModal = [&](QDialog *d) {
            auto *login = qobject_cast<TfrmLogin *>(d);
            if (!login)
                return int(QDialog::Rejected);
            tryLogin(*login, QStringLiteral("Admin"), QStringLiteral("wrong")); // a retry first
            return tryLogin(*login, name, pwd);
        };
        TfrmMain w(m_install->folder());
        QCOMPARE(m_prompter->texts(QStringLiteral("modal")),
                 mustLogin ? QStringList{QStringLiteral("TfrmLogin")} : QStringList{});
        QVERIFY(!w.loginCancelled());
        const QList<QAction *> commands{w.ac_Manager, w.N2, w.N10, w.UserManagerN, w.SetNoN};
        for (QAction *a : commands)
            QVERIFY2(a->isEnabled() == enabled, qPrintable(a->objectName()));
        auto *bar = w.findChild<QToolButton *>(QStringLiteral("btn_ac_Manager"));
        QVERIFY(bar);
        QCOMPARE(bar->isEnabled(), enabled);
        // The case browser stays usable for everybody.
        QVERIFY(w.ac_Search->isEnabled());

        // The double-click on the case list opens records management only for administrators.
        m_prompter->onModal = nullptr;
        m_prompter->clear();
        w.DBGrid2DblClick();
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).size(), enabled ? 1 : 0);
    }

    // A cancelled login hands the end of the program back to start-up.
    void cancelEndsTheProgram()
    {
        m_install->exec(QStringLiteral("UPDATE Param SET MustLogin=true"));
        m_prompter->onModal = [](QDialog *d) {
            d->show();
            d->close(); // the close box; Cancel gives the same result
            return d->result();
        };
        TfrmMain w(m_install->folder());
        QVERIFY(w.loginCancelled());
        QVERIFY(m_sent.filter(QStringLiteral("SysManager")).isEmpty());
        QVERIFY(m_prompter->texts(QStringLiteral("message")).isEmpty());
        QVERIFY(!w.ac_Manager->isEnabled());
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
