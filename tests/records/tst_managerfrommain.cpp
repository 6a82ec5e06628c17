// The records window opened from the main window: a customer and a case entered there show,
// with their stored pictures, in the main window once the records window has closed; a
// double-click on the case list opens it on that case's customer.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include "browser/Unit_Main.h"
#include "ui_Unit_Main.h"

#include <QAction>
#include <memory>

using namespace ManagerTest;

class TestManagerFromMain : public QObject, WindowTestBed {
    Q_OBJECT

    QString source(const QString &relative, const QByteArray &bytes)
    {
        return writeFile(m_install->folder() + QStringLiteral("camera/") + relative, pictureBytes(bytes));
    }

private slots:
    void init()
    {
        openBed();
        seedCustomers(*m_install);
        seedCategories(*m_install);
    }
    void cleanup() { closeBed(); }

    void aCaseEnteredShowsWithItsPicturesAfterClosing()
    {
        TfrmMain main(m_install->folder());
        QCOMPARE(main.adq_Surgery->recordCount(), 3);
        const QString before = source(QStringLiteral("2006-12-01/face.jpg"), "before");
        const QString after = source(QStringLiteral("2007-02-01/face.jpg"), "after");
        QString number;
        m_prompter->onModal = [&](QDialog *dialog) {
            auto *w = qobject_cast<Tfrm_Manager *>(dialog);
            if (!w)
                return int(QDialog::Rejected);
            auto *ui = w->ui();
            ui->DBNavigator1->click(DBNavigator::Insert);
            number = ui->DBEdit1->text();
            type(ui->DBEdit2, QStringLiteral("Ding"));
            ui->DBNavigator2->click(DBNavigator::Insert);
            choose(ui->cbox_Stair, QStringLiteral("眼部"));
            choose(ui->cbox_Sub, QStringLiteral("双眼皮"));
            type(ui->DBEdit11, QStringLiteral("2007-2-1"));
            m_prompter->files = {before, after};
            ui->SpeedButton1->click();
            ui->SpeedButton2->click();
            // A new major shows in the main window's list afterwards.
            ui->ed_Type->setText(QStringLiteral("胸部"));
            ui->BitBtn2->click();
            m_prompter->answers = {Prompt::Yes}; // save the customer (and the case with it)
            ui->Button1->click();
            return w->result();
        };
        main.ac_Manager->trigger();

        QCOMPARE(m_prompter->texts("modal"), QStringList{"Tfrm_Manager"});
        QCOMPARE(m_prompter->texts("box"), (QStringList{"新增类别成功", "客户资料还未保存，现在保存吗？"}));
        QCOMPARE(m_prompter->texts("error"), QStringList());
        QCOMPARE(number, QStringLiteral("A1") + today() + QStringLiteral("0001"));
        // The main window has re-read its list, the customer and the customer's cases.
        QCOMPARE(main.adq_Surgery->recordCount(), 4);
        QVERIFY(main.adq_Surgery->locate(QStringLiteral("客户编号"), number));
        QCOMPARE(main.adt_Userinfo->asString(QStringLiteral("用户姓名")), QStringLiteral("Ding"));
        QCOMPARE(main.adt_Surgery->recordCount(), 1);
        // Two photos of one name: the second is stored under the next free name.
        QCOMPARE(main.adt_Surgery->asString(QStringLiteral("手术前")), number + QStringLiteral("\\face.jpg"));
        QCOMPARE(main.adt_Surgery->asString(QStringLiteral("手术后")), number + QStringLiteral("\\face(2).jpg"));
        QCOMPARE(main.adt_Surgery->asString(QStringLiteral("手术小类")), QStringLiteral("双眼皮"));
        QCOMPARE(main.adt_Surgery->asString(QStringLiteral("手术日期")), QStringLiteral("2007-02-01"));
        QCOMPARE(readFile(m_install->folder() + "pic/" + number + "/face.jpg"), pictureBytes("before"));
        QCOMPARE(readFile(m_install->folder() + "pic/" + number + "/face(2).jpg"), pictureBytes("after"));
        QVERIFY(main.ui()->cbox_Stair->findText(QStringLiteral("胸部")) >= 0);
    }

    void doubleClickOpensOnTheCasesCustomer()
    {
        TfrmMain main(m_install->folder());
        main.adq_Surgery->last();
        const QString expected = main.adq_Surgery->asString(QStringLiteral("客户编号"));
        QString shown;
        m_prompter->onModal = [&](QDialog *dialog) {
            if (auto *w = qobject_cast<Tfrm_Manager *>(dialog))
                shown = w->adt_UserInfo->asString(QStringLiteral("客户编号"));
            return int(QDialog::Rejected);
        };
        main.DBGrid2DblClick();
        QCOMPARE(shown, expected);
        // Not while records management is not allowed.
        m_prompter->clear();
        main.ac_Manager->setEnabled(false);
        main.DBGrid2DblClick();
        QVERIFY(m_prompter->texts("modal").isEmpty());
    }
};

QTEST_MAIN(TestManagerFromMain)
#include "tst_managerfrommain.moc"
