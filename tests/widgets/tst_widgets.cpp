// The reusable data-aware pieces: the navigator's buttons following the data set's state, the
// guard that turns errors into the error box, and the open dialog's filter list.
#include "data/AppError.h"
#include "widgets/DBNavigator.h"
#include "data/DataSet.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"
#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"
#include "data/Unit_DataMod.h"

#include <QToolButton>
#include <QtTest>

class TestWidgets : public QObject {
    Q_OBJECT

private slots:
    void navigatorFollowsTheState()
    {
        TestInstall install;
        ScriptedPrompter prompt;
        TableDataSet ds(install.mod()->ADOConn, QStringLiteral("Class"));
        DBNavigator nav;
        nav.setDataSet(&ds);
        using B = DBNavigator;
        QVERIFY(!nav.isButtonEnabled(B::Insert)); // closed: nothing to do
        ds.open();
        QVERIFY(nav.isButtonEnabled(B::Insert));
        QVERIFY(!nav.isButtonEnabled(B::Delete)); // empty table
        QVERIFY(!nav.isButtonEnabled(B::Post) && !nav.isButtonEnabled(B::Cancel));
        QVERIFY(!nav.isButtonEnabled(B::Next) && !nav.isButtonEnabled(B::Prior));
        nav.click(B::Insert);
        QVERIFY(nav.isButtonEnabled(B::Post) && nav.isButtonEnabled(B::Cancel));
        ds.setValue(QStringLiteral("类别名称"), QStringLiteral("眼部"));
        nav.click(B::Post);
        nav.click(B::Insert);
        ds.setValue(QStringLiteral("类别名称"), QStringLiteral("鼻部"));
        nav.click(B::Post);
        QVERIFY(!nav.isButtonEnabled(B::Post));
        QVERIFY(nav.isButtonEnabled(B::Delete));
        nav.click(B::First);
        QVERIFY(!nav.isButtonEnabled(B::Prior) && nav.isButtonEnabled(B::Next));
        nav.click(B::Next);
        nav.click(B::Next);
        QVERIFY(!nav.isButtonEnabled(B::Next) && nav.isButtonEnabled(B::Prior));

        // Delete asks the standard question; Cancel keeps the row, OK deletes it.
        prompt.answers = {Prompt::Cancel, Prompt::Ok};
        nav.click(B::Delete);
        QCOMPARE(ds.recordCount(), 2);
        QCOMPARE(prompt.callsOf(QStringLiteral("box")).value(0).text, QStringLiteral("Delete record?"));
        nav.click(B::Delete);
        QCOMPARE(ds.recordCount(), 1);
        // Without confirmation the delete happens at once.
        nav.setConfirmDelete(false);
        prompt.clear();
        nav.click(B::Delete);
        QCOMPARE(ds.recordCount(), 0);
        QVERIFY(prompt.calls.isEmpty());
        QVERIFY(!nav.isButtonEnabled(B::Delete));
    }

    void navigatorReportsOnlyWhatRan()
    {
        TestInstall install;
        ScriptedPrompter prompt;
        TableDataSet ds(install.mod()->ADOConn, QStringLiteral("Class"));
        ds.setBeforePost([](DataSet &) { throw AppError(QStringLiteral("拒绝")); });
        ds.open();
        DBNavigator nav;
        nav.setDataSet(&ds);
        QList<DBNavigator::Btn> ran;
        connect(&nav, &DBNavigator::clicked, this, [&](DBNavigator::Btn b) { ran << b; });
        nav.click(DBNavigator::Insert);
        ds.setValue(QStringLiteral("类别名称"), QStringLiteral("x"));
        nav.click(DBNavigator::Post);
        QCOMPARE(ran, QList<DBNavigator::Btn>{DBNavigator::Insert});
        QCOMPARE(prompt.texts(QStringLiteral("error")), QStringList{QStringLiteral("拒绝")});
        QCOMPARE(ds.state(), DataSet::Insert);
    }

    void guardShowsErrorsAndSwallowsAborts()
    {
        ScriptedPrompter prompt;
        QVERIFY(guarded(nullptr, [] {}));
        QVERIFY(!guarded(nullptr, [] { throw Abort(); }));
        QVERIFY(prompt.calls.isEmpty());
        QVERIFY(!guarded(nullptr, [] { throw AppError(QStringLiteral("JPEG error #42")); }));
        const auto err = prompt.callsOf(QStringLiteral("error")).value(0);
        QCOMPARE(err.text, QStringLiteral("JPEG error #42"));
        QCOMPARE(err.caption, QStringLiteral("Orvane美容管理软件1.2"));
    }

    void fileFilterMatchesBothSpellings()
    {
        QStringList entries;
        const QString f = qtFileFilter(QStringLiteral("支持图片文件|*.JPG;*.BMP|JPG文件|*.JPG"), &entries);
        QCOMPARE(entries, (QStringList{QStringLiteral("支持图片文件 (*.JPG *.jpg *.BMP *.bmp)"),
                                       QStringLiteral("JPG文件 (*.JPG *.jpg)")}));
        QCOMPARE(f, entries.join(QStringLiteral(";;")));
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
