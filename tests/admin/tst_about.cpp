// The About box: the product name and links, the hover look acting on the label under the
// pointer only, and the clicks opening the web and mail addresses.
#include "support/ScriptedPrompter.h"
#include "admin/Unit_About.h"
#include "ui_Unit_About.h"

#include <QApplication>
#include <QEnterEvent>
#include <QtTest>

class TestAbout : public QObject {
    Q_OBJECT

    static void enter(QLabel *label)
    {
        QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(label, &e);
    }
    static void leave(QLabel *label)
    {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(label, &e);
    }
    static bool looks(QLabel *label, bool underline, const QColor &colour)
    {
        return label->font().underline() == underline && label->palette().color(QPalette::WindowText) == colour;
    }

private slots:
    void hoverActsOnTheLabelUnderThePointer_data()
    {
        QTest::addColumn<bool>("fourth");
        QTest::newRow("Label3") << false;
        QTest::newRow("Label4") << true;
    }
    void hoverActsOnTheLabelUnderThePointer()
    {
        QFETCH(bool, fourth);
        TfrmAbout about(nullptr);
        about.show();
        QLabel *hovered = fourth ? about.ui()->Label4 : about.ui()->Label3;
        QLabel *other = fourth ? about.ui()->Label3 : about.ui()->Label4;
        const QColor text = QApplication::palette().color(QPalette::WindowText), red(255, 0, 0);
        QVERIFY(looks(hovered, true, text));
        QVERIFY(looks(other, true, text));
        enter(hovered);
        QVERIFY(looks(hovered, true, red));
        QVERIFY(looks(other, true, text));
        leave(hovered);
        QVERIFY(looks(hovered, false, text));
        QVERIFY(looks(other, true, text));
        QCOMPARE(hovered->font().family(), QStringLiteral("Arial"));
        QCOMPARE(hovered->font().pixelSize(), 12);
    }

    void clicksOpenTheAddresses()
    {
        ScriptedPrompter prompter;
        TfrmAbout about(nullptr);
        about.show();
        QTest::mouseClick(about.ui()->Label3, Qt::LeftButton, {}, QPoint(3, 3));
        QTest::mouseClick(about.ui()->Label4, Qt::LeftButton, {}, QPoint(3, 3));
        QTest::mouseClick(about.ui()->Label4, Qt::RightButton, {}, QPoint(3, 3));
        QCOMPARE(prompter.texts(QStringLiteral("external")),
                 (QStringList{QStringLiteral("http://www.example.com"), QStringLiteral("mailto:info@example.com")}));
        QVERIFY(about.isVisible());
        about.ui()->Button1->click();
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void theDesign()
    {
        TfrmAbout about(nullptr);
        auto *ui = about.ui();
        QCOMPARE(about.windowTitle(), QStringLiteral("关于"));
        QCOMPARE(about.size(), QSize(426, 236));
        QCOMPARE(ui->PageControl1->count(), 1);
        QCOMPARE(ui->PageControl1->currentIndex(), 0);
        QCOMPARE(ui->PageControl1->tabText(0), QStringLiteral("关于"));
        QCOMPARE(ui->Label2->text(), QStringLiteral("Orvane美容效果演示1.2"));
        QCOMPARE(ui->Label2->font().family(), QStringLiteral("楷体_GB2312"));
        QCOMPARE(ui->Label2->font().pixelSize(), 19);
        QVERIFY(ui->Label2->font().bold());
        QCOMPARE(ui->Label2->palette().color(QPalette::WindowText), QColor(0, 0, 128));
        QCOMPARE(ui->Label3->text(), QStringLiteral("HTTP://WWW.EXAMPLE.COM"));
        QCOMPARE(ui->Label4->text(), QStringLiteral("EMAIL:INFO@EXAMPLE.COM"));
        QCOMPARE(ui->Image1->pixmap().size(), QSize(32, 32));
    }
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
