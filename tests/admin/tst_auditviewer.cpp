// The window "操作记录": newest first, a page at a time in both directions, each filter typed
// or picked as a person does, the CSV export of what the filter selects, and its menu entry.
#include "support/WindowTestBed.h"
#include "admin/AuditViewer.h"
#include "data/AuditLog.h"
#include "browser/Unit_Main.h"
#include "data/Transaction.h"
#include "data/Unit_DataMod.h"
#include "ui_AuditViewer.h"

#include <QAction>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

class TestAuditViewer : public QObject, WindowTestBed {
    Q_OBJECT

    // 250 events, one a day at noon going back from yesterday: users u0..u4 in turn, every
    // tenth a failed login, the others changes of customer C<n>.
    void fill()
    {
        const QDateTime noon(QDate::currentDate().addDays(-1), QTime(12, 0), Qt::LocalTime);
        QStringList values;
        for (int i = 0; i < 250; ++i) {
            const QString at = noon.addDays(-i).toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
            const bool failed = i % 10 == 0;
            values << QStringLiteral("('%1','u%2','ws','%3',%4,NULL,%5)")
                          .arg(at)
                          .arg(i % 5)
                          .arg(failed ? QStringLiteral("login-failed") : QStringLiteral("customer-changed"))
                          .arg(failed ? QStringLiteral("NULL") : QStringLiteral("'C%1'").arg(i))
                          .arg(i == 1 ? QStringLiteral("'=1+1,\"x\"'") : QStringLiteral("'电话'"));
        }
        m_install->exec(QStringLiteral("INSERT INTO AuditLog (At, UserName, Host, Action, CustomerNo, CaseId, Detail) "
                                       "VALUES ")
                        + values.join(QLatin1Char(',')));
        // Chained as the program chains its own events, so that the log checks whole.
        const QSqlDatabase db = QSqlDatabase::database(m_install->mod()->ADOConn, false);
        Transaction t(db);
        AuditLog::sealUnhashed(db);
        t.commit();
        AuditLog::writeHead(AuditLog::headFile(), AuditLog::chainHead(db));
    }
    static QString cell(const AuditViewer &w, int row, int column)
    {
        const QTableWidgetItem *item = w.ui()->grid_Events->item(row, column);
        return item ? item->text() : QString();
    }
    static void typeInto(QLineEdit *box, const QString &text)
    {
        box->setFocus();
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
    }

private slots:
    void init()
    {
        openBed();
        fill();
    }
    void cleanup() { closeBed(); }

    void pagesNewestFirst()
    {
        AuditViewer w(nullptr, m_install->mod()->ADOConn);
        w.show();
        QCOMPARE(w.ui()->grid_Events->rowCount(), AuditViewer::PageSize);
        QCOMPARE(cell(w, 0, 1), QStringLiteral("u0"));
        QCOMPARE(cell(w, 0, 3), QStringLiteral("登录失败"));
        QCOMPARE(cell(w, 1, 3), QStringLiteral("修改客户"));
        QVERIFY(!w.ui()->bbtn_Prior->isEnabled());
        QTest::mouseClick(w.ui()->bbtn_Next, Qt::LeftButton);
        QTest::mouseClick(w.ui()->bbtn_Next, Qt::LeftButton);
        QCOMPARE(w.ui()->lb_Page->text(), QStringLiteral("第3页"));
        QCOMPARE(w.ui()->grid_Events->rowCount(), 50); // 250 events in all
        QVERIFY(!w.ui()->bbtn_Next->isEnabled());
        QTest::mouseClick(w.ui()->bbtn_Prior, Qt::LeftButton);
        QCOMPARE(w.ui()->lb_Page->text(), QStringLiteral("第2页"));
        QCOMPARE(cell(w, 1, 4), QStringLiteral("C101")); // no event repeated or skipped
        QCOMPARE(cell(w, 99, 4), QStringLiteral("C199"));
    }

    void filters()
    {
        AuditViewer w(nullptr, m_install->mod()->ADOConn);
        w.show();
        typeInto(w.ui()->ed_User, QStringLiteral("u3"));
        QTest::keyClick(w.ui()->bbtn_Filter, Qt::Key_Space);
        QCOMPARE(w.ui()->grid_Events->rowCount(), 50);
        for (int r = 0; r < 50; ++r)
            QCOMPARE(cell(w, r, 1), QStringLiteral("u3"));

        // Picking an action from the keyboard; the user stays.
        w.ui()->cbox_Action->setFocus();
        while (w.ui()->cbox_Action->currentText() != QStringLiteral("登录失败"))
            QTest::keyClick(w.ui()->cbox_Action, Qt::Key_Down);
        QTest::mouseClick(w.ui()->bbtn_Filter, Qt::LeftButton);
        QCOMPARE(w.ui()->grid_Events->rowCount(), 0); // u3's events are all changes
        QCOMPARE(w.ui()->lb_Page->text(), QStringLiteral("没有记录"));
        typeInto(w.ui()->ed_User, QString());
        QTest::mouseClick(w.ui()->bbtn_Filter, Qt::LeftButton);
        QCOMPARE(w.ui()->grid_Events->rowCount(), 25);

        // A customer number, and a date range of the last ten days.
        w.ui()->cbox_Action->setCurrentIndex(0);
        typeInto(w.ui()->ed_CustomerNo, QStringLiteral("C17"));
        QTest::mouseClick(w.ui()->bbtn_Filter, Qt::LeftButton);
        QCOMPARE(w.ui()->grid_Events->rowCount(), 1);
        QCOMPARE(cell(w, 0, 4), QStringLiteral("C17"));
        typeInto(w.ui()->ed_CustomerNo, QString());
        QTest::mouseClick(w.ui()->cb_Date, Qt::LeftButton);
        w.ui()->dtp_From->setDate(QDate::currentDate().addDays(-9));
        w.ui()->dtp_To->setDate(QDate::currentDate());
        QTest::mouseClick(w.ui()->bbtn_Filter, Qt::LeftButton);
        QCOMPARE(w.ui()->grid_Events->rowCount(), 9); // yesterday and the eight days before

        // A range that ends before it begins is refused with a notice; the list stays.
        w.ui()->dtp_From->setDate(QDate::currentDate().addDays(1));
        QTest::mouseClick(w.ui()->bbtn_Filter, Qt::LeftButton);
        QCOMPARE(m_prompter->texts("box"), QStringList{QStringLiteral("开始日期不能晚于结束日期")});
        QCOMPARE(w.ui()->grid_Events->rowCount(), 9);
    }

    void exportsTheFilteredEventsAsCsv()
    {
        QTemporaryDir out;
        const QString path = out.filePath(QStringLiteral("log.csv"));
        AuditViewer w(nullptr, m_install->mod()->ADOConn);
        w.show();
        typeInto(w.ui()->ed_User, QStringLiteral("u1")); // typed, not yet applied: still exported
        m_prompter->files = {path};
        QTest::mouseClick(w.ui()->bbtn_Export, Qt::LeftButton);
        QCOMPARE(m_prompter->callsOf(QStringLiteral("save")).size(), 1);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1 + 50);
        QCOMPARE(lines.first(), QStringLiteral("时间,使用人,计算机,操作,客户编号,案例,说明"));
        // The detail that looks like a formula is neither run nor split.
        QVERIFY2(lines.at(1).endsWith(QStringLiteral(",u1,ws,修改客户,C1,,\"'=1+1,\"\"x\"\"\"")),
                 qPrintable(lines.at(1)));
        QVERIFY(m_prompter->texts("box").last().startsWith(QStringLiteral("已导出50条记录")));

        // Cancelling the file dialog writes nothing and says nothing more.
        m_prompter->clear();
        QTest::mouseClick(w.ui()->bbtn_Export, Qt::LeftButton);
        QVERIFY(m_prompter->texts("box").isEmpty());
    }

    void openedFromTheOptionsMenu()
    {
        TfrmMain main(m_install->folder());
        QVERIFY(main.AuditN->isEnabled());
        QCOMPARE(main.AuditN->text(), QStringLiteral("操作记录(&J)"));
        main.AuditN->trigger();
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).last().text, QStringLiteral("AuditViewer"));
        QCOMPARE(m_prompter->callsOf(QStringLiteral("modal")).last().caption, QStringLiteral("操作记录"));
    }
};

QTEST_MAIN(TestAuditViewer)
#include "tst_auditviewer.moc"
