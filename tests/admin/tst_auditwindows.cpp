// What the windows leave in the audit log: logins that succeed and fail (under the name typed,
// never the password), the hospital number changed, a customer, a case and its picture saved,
// and a category and a customer deleted in the records window.
#include "support/WindowTestBed.h"
#include "admin/Unit_LoginCheck.h"
#include "admin/Unit_SetNo.h"
#include "data/AuditLog.h"
#include "browser/Unit_Main.h"
#include "data/DataSet.h"
#include "widgets/DBNavigator.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "records/ManagerFixture.h"
#include "records/Unit_Manager.h"
#include "ui_Unit_LoginCheck.h"
#include "ui_Unit_Manager.h"
#include "ui_Unit_SetNo.h"

#include <QAction>
#include <QAbstractButton>
#include <QComboBox>
#include <QSqlQuery>
#include <QToolButton>
#include <QtTest>

class TestAuditWindows : public QObject, WindowTestBed {
    Q_OBJECT

    // "action|user|customer|detail" of every event but the upgrade's, oldest first.
    QStringList events() const
    {
        QStringList out;
        QSqlQuery q(QSqlDatabase::database(m_install->mod()->ADOConn, false));
        q.exec(QStringLiteral(
            "SELECT Action, UserName, CustomerNo, Detail FROM AuditLog WHERE Action <> 'upgraded' ORDER BY id"));
        while (q.next())
            out << QStringList{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                               q.value(3).toString()}
                       .join(QLatin1Char('|'));
        return out;
    }

private slots:
    void init() { openBed(); }
    void cleanup() { closeBed(); }

    void loginsSucceedingAndFailing()
    {
        TfrmLogin dialog(nullptr);
        dialog.show();
        auto attempt = [&](const QString &name, const QString &pwd) {
            dialog.ui()->Edit1->setFocus();
            dialog.ui()->Edit1->setText(name);
            dialog.ui()->Edit2->setText(pwd);
            QTest::mouseClick(dialog.ui()->Button1, Qt::LeftButton);
        };
        attempt(QStringLiteral("Admin"), QStringLiteral("wrong-secret"));
        attempt(QStringLiteral(""), QStringLiteral("x")); // nothing checked, nothing logged
        attempt(QStringLiteral("Admin"), QStringLiteral("admin"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(events(), (QStringList{QStringLiteral("login-failed|Admin||"), QStringLiteral("login|Admin||")}));
        QCOMPARE(m_install
                     ->scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Detail LIKE '%secret%' "
                                             "OR UserName LIKE '%secret%'"))
                     .toInt(),
                 0);
        // Later events are the logged-in account's.
        QCOMPARE(AuditLog::currentUser(), QStringLiteral("Admin"));
    }

    void hospitalNumberChanged()
    {
        TfrmMain w(m_install->folder());
        QString answer;
        m_prompter->onModal = [&](QDialog *d) {
            auto *dialog = static_cast<Tfrm_SetNo *>(d);
            dialog->ui()->Edit1->setText(answer);
            QTest::mouseClick(dialog->ui()->Button1, Qt::LeftButton);
            return d->result();
        };
        answer = QStringLiteral("A1"); // confirming the number in force changes nothing
        w.SetNoN->trigger();
        answer = QStringLiteral("院");
        w.SetNoN->trigger();
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("院"));
        QCOMPARE(events(),
                 QStringList{QStringLiteral("hospital-no-changed|%1||A1→院").arg(AuditLog::computerAccount())});
    }

    void recordsWindowSaves()
    {
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部','')"));
        const QString photo = ManagerTest::writeFile(m_install->folder() + QStringLiteral("camera/face.jpg"),
                                                     ManagerTest::pictureBytes("picture"));
        Tfrm_Manager w(nullptr, QString());
        auto *ui = w.ui();
        ui->DBNavigator1->click(DBNavigator::Insert);
        ManagerTest::type(ui->DBEdit2, QStringLiteral("张三"));
        ui->DBNavigator1->click(DBNavigator::Post);
        const QString number = ui->DBEdit1->text();
        ui->DBNavigator2->click(DBNavigator::Insert);
        ManagerTest::choose(ui->cbox_Stair, QStringLiteral("眼部"));
        m_prompter->files = {photo};
        w.findChild<QToolButton *>(QStringLiteral("SpeedButton1"))->click();
        ui->DBNavigator2->click(DBNavigator::Post);
        ManagerTest::type(ui->DBEdit9, QStringLiteral("刘医生"));
        ui->DBNavigator2->click(DBNavigator::Post);

        const QString me = AuditLog::computerAccount();
        QCOMPARE(events(), (QStringList{QStringLiteral("customer-added|%1|%2|").arg(me, number),
                                        QStringLiteral("case-added|%1|%2|").arg(me, number),
                                        QStringLiteral("pictures-stored|%1|%2|手术前").arg(me, number),
                                        QStringLiteral("case-changed|%1|%2|手术医生").arg(me, number)}));
        QCOMPARE(m_install
                     ->scalar(QStringLiteral("SELECT count(*) FROM AuditLog WHERE Action = 'case-added' AND "
                                             "CaseId = (SELECT max(id) FROM Surgery)"))
                     .toInt(),
                 1);
    }

    void recordsWindowDeletes()
    {
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''), ('双眼皮','眼部')"));
        m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070001','张三')"));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200612070001','眼部'), "
                                       "('A1200612070001','眼部')"));
        Tfrm_Manager w(nullptr, QString());
        auto *ui = w.ui();
        const int i = ui->dbcombox_type->findText(QStringLiteral("眼部"));
        QVERIFY(i >= 0);
        ui->dbcombox_type->setCurrentIndex(i);
        emit ui->dbcombox_type->activated(i);
        m_prompter->answers = {Prompt::Ok};
        QTest::mouseClick(ui->BitBtn4, Qt::LeftButton);

        // The customer's delete, answered Yes: its cases and it go, each with its own event.
        m_prompter->answers = {Prompt::Yes};
        QTest::mouseClick(ui->DBNavigator1->button(DBNavigator::Delete), Qt::LeftButton);
        QCOMPARE(m_install->scalar(QStringLiteral("SELECT count(*) FROM Surgery")).toInt(), 0);
        const QString me = AuditLog::computerAccount();
        QCOMPARE(events(), (QStringList{QStringLiteral("category-deleted|%1||眼部").arg(me),
                                        QStringLiteral("case-deleted|%1|A1200612070001|").arg(me),
                                        QStringLiteral("case-deleted|%1|A1200612070001|").arg(me),
                                        QStringLiteral("customer-deleted|%1|A1200612070001|").arg(me)}));
    }
};

QTEST_MAIN(TestAuditWindows)
#include "tst_auditwindows.moc"
