// The main window over a small clinic: the filter statements at work, the count, the chain of
// list, customer and the customer's cases, the data-set actions' target, the Open setting and
// the closing question.
#include "data/DataSet.h"
#include "widgets/DataSetActions.h"
#include "data/Settings.h"
#include "support/WindowTestBed.h"
#include "data/Unit_DataMod.h"
#include "browser/Unit_Main.h"
#include "ui_Unit_Main.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QTableView>
#include <QToolButton>
#include <QFileInfo>
#include <QtTest>

class TestMain : public QObject, WindowTestBed {
    Q_OBJECT

    void fill()
    {
        m_install->exec(
            QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('眼部','') , ('鼻部',''), ('双眼皮','眼部'), "
                           "('开眼角','眼部'), ('隆鼻','鼻部'), ('孤儿', NULL)"));
        m_install->exec(QStringLiteral(
            "INSERT INTO tUserInfo (客户编号, 用户姓名, 地址) VALUES ('A1200601010001','张','北京市很长的地址'), "
            "('A1200601010002','李','上海')"));
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术医生, 手术日期) VALUES "
                                       "('A1200601010001','眼部','双眼皮','王明','2006-01-05'),"
                                       "('A1200601010001','鼻部','隆鼻','李华','2006-01-05 10:30:00'),"
                                       "('A1200601010002','眼部','开眼角','王芳','2006-02-01'),"
                                       "(NULL,'眼部','双眼皮','王明','2006-01-05')"));
    }

private slots:
    void init()
    {
        openBed();
        fill();
    }
    void cleanup() { closeBed(); }

    void opensWithAllCasesAndTheCategories()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("3")); // the case without a number is left out
        QCOMPARE(ui->cbox_Stair->count(), 2);                // a null parent is no major
        QCOMPARE(ui->cbox_Stair->currentIndex(), -1);
        QCOMPARE(ui->dtp_from->date(), QDate(2002, 12, 17));
        QVERIFY(!ui->cbShoushu->isChecked() && !ui->cbDoc->isChecked() && !ui->cbTime->isChecked());
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());
        QCOMPARE(w.windowTitle(), QStringLiteral("Orvane美容效果演示1.2"));
    }

    void filtersNarrowTheList()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        ui->cbShoushu->setChecked(true);
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("3")); // checked with nothing chosen
        ui->cbox_Stair->setCurrentIndex(0);
        w.cbox_StairChange();
        QCOMPARE(ui->cbox_Sub->count(), 2);
        QVERIFY(ui->cbox_Sub->isEnabled());
        QCOMPARE(ui->cbox_Sub->currentIndex(), -1);
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("2"));
        ui->cbox_Sub->setCurrentIndex(1); // 开眼角
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("1"));

        ui->cbShoushu->setChecked(false);
        ui->cbDoc->setChecked(true);
        ui->edDoc->setText(QStringLiteral("王"));
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("2"));
        ui->edDoc->setText(QStringLiteral("王'明")); // a quote is matched, not a fault
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("0"));
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());

        ui->cbDoc->setChecked(false);
        ui->cbTime->setChecked(true);
        ui->dtp_from->setDate(QDate(2006, 1, 5));
        ui->dtp_to->setDate(QDate(2006, 1, 5));
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("1")); // the one with a time is left out
        w.BitBtn1Click();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("3"));
        QVERIFY(ui->cbTime->isChecked()); // show-all keeps the panel
    }

    void aMajorWithoutMinorsDisablesTheSecondList()
    {
        m_install->exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES ('唇部','')"));
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        ui->cbox_Stair->setCurrentIndex(2);
        w.cbox_StairChange();
        QCOMPARE(ui->cbox_Sub->count(), 0);
        QVERIFY(!ui->cbox_Sub->isEnabled());
        ui->cbox_Stair->setCurrentIndex(0);
        w.cbox_StairChange();
        QVERIFY(ui->cbox_Sub->isEnabled());
    }

    void aRejectedStatementLeavesTheListClosed()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        m_install->exec(QStringLiteral("ALTER TABLE Surgery RENAME TO Surgery_old"));
        ui->bbtn_Show->click();
        QCOMPARE(m_prompter->texts(QStringLiteral("error")).size(), 1);
        QVERIFY(!w.adq_Surgery->isActive());
        QCOMPARE(ui->DBGrid2->model()->rowCount(), 0);
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("3"));
        m_install->exec(QStringLiteral("ALTER TABLE Surgery_old RENAME TO Surgery"));
        ui->BitBtn1->click();
        QVERIFY(w.adq_Surgery->isActive());
        QCOMPARE(ui->DBGrid2->model()->rowCount(), 3);
    }

    void theCustomerAndTheCasesFollowTheList()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        QCOMPARE(w.adt_Userinfo->recordCount(), 1);
        QCOMPARE(ui->DBEdit2->text(), QStringLiteral("张"));
        QCOMPARE(ui->DBEdit5->toolTip(), QStringLiteral("北京市很长的地址"));
        QCOMPARE(w.adt_Surgery->recordCount(), 2);
        w.adq_Surgery->last();
        QCOMPARE(ui->DBEdit1->text(), QStringLiteral("A1200601010002"));
        QCOMPARE(ui->DBEdit5->toolTip(), QStringLiteral("上海"));
        QCOMPARE(w.adt_Surgery->recordCount(), 1);
        QCOMPARE(ui->DBEdit8->text(), QStringLiteral("王芳"));
        // An empty list empties the details.
        ui->cbDoc->setChecked(true);
        ui->edDoc->setText(QStringLiteral("无人"));
        w.bbtn_ShowClick();
        QCOMPARE(ui->lb_Count->text(), QStringLiteral("0"));
        QCOMPARE(w.adt_Userinfo->recordCount(), 0);
        QCOMPARE(w.adt_Surgery->recordCount(), 0);
        QCOMPARE(ui->DBEdit2->text(), QString());
    }

    void dataSetActionsFollowTheFocusAndThePage()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        ui->bbtn_Show->setFocus();
        w.dataSetActions->updateEnabled();
        QCOMPARE(w.dataSetActions->target(), static_cast<DataSet *>(w.adq_Surgery));
        QVERIFY(!w.DataSetPrior1->isEnabled());
        QVERIFY(w.DataSetNext1->isEnabled());
        w.DataSetNext1->trigger();
        QCOMPARE(w.adq_Surgery->recNo(), 1);
        QVERIFY(w.DataSetPrior1->isEnabled());
        w.DataSetLast1->trigger();
        QVERIFY(!w.DataSetNext1->isEnabled() && !w.DataSetLast1->isEnabled());

        ui->PageControl->setCurrentIndex(1);
        QCOMPARE(w.dataSetActions->target(), static_cast<DataSet *>(w.adt_Userinfo));
        ui->DBGrid1->setFocus();
        QCOMPARE(w.dataSetActions->target(), static_cast<DataSet *>(w.adt_Surgery));
        ui->DBEdit9->setFocus();
        QCOMPARE(w.dataSetActions->target(), static_cast<DataSet *>(w.adt_Surgery));
    }

    void openSettingIsWrittenOnlyWhenItChanges()
    {
        Settings::writeOpen(true);
        TfrmMain w(m_install->folder());
        QVERIFY(w.ac_OpenType->isChecked());
        QVERIFY(w.N4->isChecked());
        QFile::remove(m_install->settingsPath());
        w.WriteOpenSetting(true); // same as read: nothing written
        QVERIFY(!QFileInfo::exists(m_install->settingsPath()));
        w.N4->trigger(); // the menu entry toggles the action
        QVERIFY(!w.ac_OpenType->isChecked());
        QVERIFY(QFileInfo::exists(m_install->settingsPath()));
        QCOMPARE(Settings::readOpen(), false);
    }

    void closingAsksAndResizingKeepsTheWidth()
    {
        TfrmMain w(m_install->folder());
        w.show();
        m_prompter->answers = {Prompt::No};
        w.ac_Close->trigger();
        QVERIFY(w.isVisible());
        const auto box = m_prompter->callsOf(QStringLiteral("box")).value(0);
        QCOMPARE(box.text, QStringLiteral("退出本软件吗？"));
        QCOMPARE(box.caption, QStringLiteral("提示"));
        QCOMPARE(box.defaultButton, Prompt::No);
        QCOMPARE(box.icon, Prompt::Question);
        w.resize(300, 500);
        QCOMPARE(w.width(), 400);
        m_prompter->answers = {Prompt::Yes};
        QVERIFY(w.close());
    }

    void doubleClickOnAnEmptyListDoesNothing()
    {
        m_install->exec(QStringLiteral("DELETE FROM Surgery"));
        TfrmMain w(m_install->folder());
        w.DBGrid2DblClick();
        QVERIFY(m_prompter->callsOf(QStringLiteral("modal")).isEmpty());
    }

    void hospitalNumberIsWrittenOncePerValue()
    {
        TfrmMain w(m_install->folder());
        w.SaveHospitalNo(QStringLiteral("B2"));
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("B2"));
        Settings::writeHospitalNo(QStringLiteral("C3"));
        w.SaveHospitalNo(QStringLiteral("B2")); // remembered: not written again
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("C3"));
    }

    // The command bar's buttons underline their access keys and answer Alt with the key.
    void commandBarAnswersAccessKeys()
    {
        TfrmMain w(m_install->folder());
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto *search = w.findChild<QToolButton *>(QStringLiteral("btn_ac_Search"));
        QVERIFY(search);
        QCOMPARE(search->text(), QStringLiteral("查询(&S)"));
        QTest::keyClick(&w, Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{"TfrmSearch"});
        m_prompter->clear();
        QTest::keyClick(&w, Qt::Key_M, Qt::AltModifier);
        QTRY_COMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{"Tfrm_Manager"});
        QVERIFY(w.adq_Surgery->bof());
        QTest::keyClick(&w, Qt::Key_N, Qt::AltModifier);
        QTRY_COMPARE(w.adq_Surgery->recNo(), 1);
        QTest::keyClick(&w, Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(w.adq_Surgery->recNo(), 0);
        m_prompter->answers = {Prompt::Yes};
        QTest::keyClick(&w, Qt::Key_Q, Qt::AltModifier);
        QTRY_VERIFY(!w.isVisible());
    }

    // A double-click anywhere on the case list opens the records window on the current case's
    // customer: on a row, below the rows, on the title row.
    void doubleClickAnywhereOnTheListOpensTheCustomer()
    {
        TfrmMain w(m_install->folder());
        w.resize(696, 529);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTableView *grid = w.ui()->DBGrid2;
        QStringList opened;
        m_prompter->onModal = [&opened](QDialog *d) {
            opened << d->findChild<QLineEdit *>(QStringLiteral("DBEdit1"))->text();
            return int(QDialog::Accepted);
        };
        w.adq_Surgery->moveTo(2);
        const QPoint blank(20, grid->viewport()->height() - 5);
        QVERIFY(!grid->indexAt(blank).isValid());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, blank);
        QTest::mouseDClick(grid->horizontalHeader(), Qt::LeftButton, {}, QPoint(10, 5));
        const QRect row = grid->visualRect(grid->model()->index(1, 0));
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, row.center());
        QCOMPARE(opened, (QStringList{"A1200601010002", "A1200601010001", "A1200601010001"}));
    }

    // The tool bar strip keeps its height whatever the window's; the filter panel has a groove;
    // the count never covers the filter buttons.
    void stripPanelAndCountKeepTheirPlaces()
    {
        TfrmMain w(m_install->folder());
        auto *ui = w.ui();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.resize(696, 529);
        QTRY_COMPARE(w.size(), QSize(696, 529));
        QApplication::processEvents();
        const int strip = ui->CoolBar1->height();
        QVERIFY(strip >= 20 + 35);
        for (int height : {620, 700, 529}) {
            w.resize(696, height);
            QTRY_COMPARE(w.height(), height);
            QApplication::processEvents();
            QCOMPARE(ui->CoolBar1->height(), strip);
        }
        QCOMPARE(ui->Panel1->frameShape(), QFrame::Box);
        QCOMPARE(ui->Panel1->frameShadow(), QFrame::Sunken);
        QCOMPARE(ui->Panel1->frameWidth(), 2);
        QCOMPARE(ui->Label_Total->x(), 604);
        w.resize(400, 529);
        QTRY_COMPARE(w.width(), 400);
        QApplication::processEvents();
        for (QWidget *label : {static_cast<QWidget *>(ui->Label_Total), static_cast<QWidget *>(ui->lb_Count),
                               static_cast<QWidget *>(ui->Label_Cases)})
            for (QWidget *button : {static_cast<QWidget *>(ui->bbtn_Show), static_cast<QWidget *>(ui->BitBtn1)})
                QVERIFY(!label->geometry().intersects(button->geometry()));
    }
};

QTEST_MAIN(TestMain)
#include "tst_main.moc"
