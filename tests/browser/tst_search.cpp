// The customer search dialog: the clause each way of closing builds, the check box that enables
// the text, and the main window running the clause only after OK, keeping it over a refresh.
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"
#include "browser/Unit_Main.h"
#include "browser/Unit_Search.h"
#include "ui_Unit_Main.h"
#include "ui_Unit_Search.h"

#include <QtTest>

class TestSearch : public QObject {
    Q_OBJECT

private slots:
    void clauseIsBuiltOnClosing_data()
    {
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("clause");
        // clang-format off
        QTest::newRow("unchecked ignores the text") << false << "A1" << "";
        QTest::newRow("checked") << true << "A120060101" << "Where 客户编号 like '%A120060101%'";
        QTest::newRow("checked and empty") << true << "" << "Where 客户编号 like '%%'";
        QTest::newRow("a quote is doubled") << true << "A1' OR '1'='1" << "Where 客户编号 like '%A1'' OR ''1''=''1%'";
        QTest::newRow("Chinese kept") << true << "院" << "Where 客户编号 like '%院%'";
        // clang-format on
    }
    void clauseIsBuiltOnClosing()
    {
        QFETCH(bool, checked);
        QFETCH(QString, text);
        QFETCH(QString, clause);
        // OK, cancel and the close box all build it.
        for (int way = 0; way < 3; ++way) {
            TfrmSearch dialog(nullptr);
            QCOMPARE(dialog.whereClause(), QString());
            dialog.show();
            auto *ui = dialog.ui();
            ui->CheckBox1->setChecked(true);
            ui->ed_No->setText(text);
            ui->CheckBox1->setChecked(checked);
            if (way == 0)
                ui->BitBtn1->click();
            else if (way == 1)
                ui->BitBtn2->click();
            else
                QVERIFY(dialog.close());
            QCOMPARE(dialog.result(), way == 0 ? int(QDialog::Accepted) : int(QDialog::Rejected));
            QCOMPARE(dialog.whereClause(), clause);
            QVERIFY(!dialog.isVisible());
        }
    }

    void checkBoxEnablesTheTextAndKeepsIt()
    {
        TfrmSearch dialog(nullptr);
        auto *ui = dialog.ui();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("查询"));
        QCOMPARE(dialog.size(), QSize(269, 134));
        QVERIFY(!ui->CheckBox1->isChecked());
        QVERIFY(!ui->ed_No->isEnabled());
        QVERIFY(ui->ed_No->text().isEmpty());
        QTest::mouseClick(ui->CheckBox1, Qt::LeftButton);
        QVERIFY(ui->ed_No->isEnabled());
        ui->ed_No->setText(QStringLiteral("A1"));
        QTest::mouseClick(ui->CheckBox1, Qt::LeftButton);
        QVERIFY(!ui->ed_No->isEnabled());
        QCOMPARE(ui->ed_No->text(), QStringLiteral("A1"));
    }

    void mainWindowRunsTheClauseOnlyAfterOk()
    {
        TestInstall install;
        ScriptedPrompter prompter;
        install.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200601010001','眼部'), "
                                    "('A1200601010002','鼻部'), ('B2200601010001','眼部'), (NULL,'眼部')"));
        TfrmMain w(install.folder());
        QLabel *count = w.ui()->lb_Count;
        QCOMPARE(count->text(), QStringLiteral("3"));

        auto search = [&](bool checked, const QString &text, bool ok) {
            prompter.onModal = [&](QDialog *d) {
                auto *ui = static_cast<TfrmSearch *>(d)->ui();
                ui->CheckBox1->setChecked(checked);
                ui->ed_No->setText(text);
                (ok ? ui->BitBtn1 : ui->BitBtn2)->click();
                return d->result();
            };
            w.ac_Search->trigger();
        };
        search(true, QStringLiteral("A1"), false);
        QCOMPARE(count->text(), QStringLiteral("3")); // cancelled: nothing runs
        search(true, QStringLiteral("A12006"), true);
        QCOMPARE(count->text(), QStringLiteral("2"));
        QCOMPARE(prompter.callsOf(QStringLiteral("modal")).last().caption, QStringLiteral("查询"));

        // The refresh after the records window keeps the search in force.
        install.exec(QStringLiteral("INSERT INTO Surgery (客户编号) VALUES ('A1200601010003')"));
        w.RefreshData();
        QCOMPARE(count->text(), QStringLiteral("3"));

        search(false, QStringLiteral("B2"), true); // unchecked: every row, NULL too
        QCOMPARE(count->text(), QStringLiteral("5"));
        search(true, QString(), true); // empty: every numbered case
        QCOMPARE(count->text(), QStringLiteral("4"));
        QVERIFY(prompter.texts(QStringLiteral("error")).isEmpty());
    }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
