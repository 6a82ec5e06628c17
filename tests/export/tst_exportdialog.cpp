// The comparison-sheet window, driven with keys and the mouse: opened from the main window for
// its current case, refusing without consent before any file is asked for, exporting, printing
// through the print dialog, and eye bars found, dragged and reported missing.

#include "align/SyntheticFace.h"
#include "support/ScriptedPrompter.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include "browser/Unit_Main.h"
#include "compare/CompareWindow.h"
#include "consent/Consent.h"
#include "data/Unit_DataMod.h"
#include "export/ExportDialog.h"
#include "pictures/PreviewService.h"
#include "widgets/ProgramFont.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QtTest>

static const QString Cust = QStringLiteral("A1200612070001");

class TestExportDialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installFontSubstitutes(); }
    void init();
    void cleanup();
    void fromTheMainWindowToAFileAndThePrinter();
    void eyeBarsFoundDraggedAndMissing();
    void theComparisonWindowSendsWhatItShows();

private:
    QSqlDatabase db() const { return QSqlDatabase::database(DataMod->ADOConn); }
    int events(const QString &code) const
    {
        return m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action = '%1'").arg(code)).toInt();
    }
    static void press(QWidget *w, Qt::Key key)
    {
        w->setFocus();
        QTest::keyClick(w, key);
    }
    static void mouse(QWidget *w, QEvent::Type type, QPointF at, Qt::MouseButtons buttons)
    {
        QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }
    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompter;
    QString m_face, m_faceRef;
    SyntheticFace::Face m_drawn;
};

void TestExportDialog::init()
{
    BELCARA_SKIP_WITHOUT_ENGINE();
    m_install = std::make_unique<TestInstall>();
    m_prompter = std::make_unique<ScriptedPrompter>();
    PreviewService::shared().setCacheRoot(m_install->folder() + QStringLiteral("thumbnails"));
    QDir().mkpath(m_install->folder() + QStringLiteral("pic/") + Cust);
    m_drawn = SyntheticFace::draw(QSize(900, 1125), QPointF(450, 570), 420);
    m_faceRef = Cust + QStringLiteral("\\face.jpg");
    m_face = m_install->folder() + QStringLiteral("pic/") + Cust + QStringLiteral("/face.jpg");
    QVERIFY(m_drawn.picture.save(m_face, "JPEG", 92));
    m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1','张三')").arg(Cust));
    m_install->exec(
        QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术日期, 手术前, 手术后, 手术前1, 手术后1) "
                       "VALUES ('%1','眼部','双眼皮','2026-01-05','%2','%2','%2','%2')")
            .arg(Cust, m_faceRef));
}

void TestExportDialog::cleanup()
{
    PreviewService::shared().waitForDone();
    m_prompter.reset();
    m_install.reset();
}

void TestExportDialog::fromTheMainWindowToAFileAndThePrinter()
{
    TfrmMain w(m_install->folder());
    w.resize(900, 640);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QAction *exportAction = w.findChild<QAction *>(QStringLiteral("ac_ExportSheet"));
    QAction *printAction = w.findChild<QAction *>(QStringLiteral("ac_PrintSheet"));
    QVERIFY(exportAction && printAction);
    QVERIFY(w.menuFile->actions().contains(exportAction) && w.menuFile->actions().contains(printAction));

    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("sheet"));
    int dialogs = 0;
    m_prompter->onModal = [&](QDialog *d) {
        if (auto *print = qobject_cast<QPrintDialog *>(d)) {
            print->printer()->setOutputFormat(QPrinter::PdfFormat);
            print->printer()->setOutputFileName(out.filePath(QStringLiteral("printed.pdf")));
            return int(QDialog::Accepted);
        }
        auto *dialog = qobject_cast<Export::ExportDialog *>(d);
        if (!dialog)
            return int(QDialog::Rejected);
        ++dialogs;
        dialog->show();
        // The case's two pairs, in a grid, for the one purpose its consent allows: the internal
        // archive first, publicity once the customer has agreed to it.
        const Sheet::Request r = dialog->currentRequest();
        const Sheet::Purpose allowed = dialogs == 1 ? Sheet::Purpose::Internal : Sheet::Purpose::Publicity;
        if (r.pairs.size() != 2 || r.layout != Sheet::Layout::Grid || r.purpose != allowed)
            return int(QDialog::Rejected);
        auto *exportButton = dialog->findChild<QPushButton *>(QStringLiteral("btn_Export"));
        auto *purpose = dialog->findChild<QComboBox *>(QStringLiteral("cb_Purpose"));
        auto *format = dialog->findChild<QComboBox *>(QStringLiteral("cb_Format"));
        if (dialogs == 1) {
            // Publicity without consent: refused, naming the level, before a file is even asked for.
            press(purpose, Qt::Key_End);
            press(exportButton, Qt::Key_Space);
            // Then the internal archive, as JPEG.
            press(purpose, Qt::Key_Home);
            press(format, Qt::Key_Down);
            m_prompter->files = QStringList{file};
            press(exportButton, Qt::Key_Space);
        } else {
            // Opened by "打印…": the print command is the default one.
            auto *printButton = dialog->findChild<QPushButton *>(QStringLiteral("btn_Print"));
            if (!printButton->isDefault())
                return int(QDialog::Rejected);
            press(printButton, Qt::Key_Space);
        }
        return int(QDialog::Rejected);
    };
    exportAction->trigger();
    QCOMPARE(dialogs, 1);
    const QStringList errors = m_prompter->texts(QStringLiteral("error"));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains(QStringLiteral("仅存档")), qPrintable(errors.first()));
    QCOMPARE(m_prompter->callsOf(QStringLiteral("save")).size(), 1); // only the allowed one
    // The file dialog opened in the user's folder, not the program's; the next one opens where
    // this sheet went.
    const QString proposedFolder = QFileInfo(m_prompter->callsOf(QStringLiteral("save")).first().caption).path();
    QVERIFY2(QFileInfo(proposedFolder).isDir() && !proposedFolder.startsWith(QFileInfo(m_install->folder()).path()),
             qPrintable(proposedFolder));
    QCOMPARE(Export::ExportDialog::exportFolder(), QFileInfo(file).path());
    QVERIFY(QFile::exists(file + QStringLiteral(".jpg")));
    QVERIFY(QFile::exists(file + QStringLiteral("-2.jpg")) == false); // a grid: one page
    QVERIFY2(m_prompter->texts(QStringLiteral("message")).join(' ').contains(QStringLiteral("sheet.jpg")),
             qPrintable(m_prompter->texts(QStringLiteral("message")).join(' ')));
    QCOMPARE(events(QStringLiteral("sheet-exported")), 1);

    // With consent, "打印…" goes out through the print dialog to its printer.
    const qint64 caseId = m_install->scalar(QStringLiteral("SELECT id FROM Surgery")).toLongLong();
    Consent::write(db(), caseId, Cust, {Consent::Level::Publicity, {}, {}});
    m_prompter->clear();
    printAction->trigger();
    QCOMPARE(dialogs, 2);
    QVERIFY2(m_prompter->texts(QStringLiteral("error")).isEmpty(),
             qPrintable(m_prompter->texts(QStringLiteral("error")).join(' ')));
    QVERIFY(QFileInfo(out.filePath(QStringLiteral("printed.pdf"))).size() > 1000);
    QCOMPARE(events(QStringLiteral("sheet-printed")), 1);
}

void TestExportDialog::eyeBarsFoundDraggedAndMissing()
{
    Sheet::Request r = Export::requestForCase(db(), m_install->folder(),
                                              m_install->scalar(QStringLiteral("SELECT id FROM Surgery")).toLongLong());
    QCOMPARE(r.pairs.size(), 2);
    r.pairs.resize(1);
    r.pairs[0].alignment = Align::Similarity(1.0, 0.0, QPointF(20, -10));
    Export::ExportDialog dialog(db(), r, nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *eyeBar = dialog.findChild<QCheckBox *>(QStringLiteral("chk_EyeBar"));
    press(eyeBar, Qt::Key_Space);
    QVERIFY(eyeBar->isChecked());
    QVERIFY(m_prompter->texts(QStringLiteral("message")).isEmpty());
    const Sheet::Pair &pair = dialog.editable().pairs[0];
    QCOMPARE(pair.beforeBars.size(), 1);
    QCOMPARE(pair.afterBars.size(), 1);
    const QRectF eyes = m_drawn.leftEye.united(m_drawn.rightEye);
    QVERIFY(pair.beforeBars[0].contains(eyes));
    // The after picture's bar sits where its eyes are laid over the before picture's frame.
    QVERIFY(pair.afterBars[0].contains(eyes.translated(20, -10)));

    // Dragged by the mouse in the preview: the bar follows in picture pixels.
    auto *preview = dialog.findChild<Export::SheetPreview *>(QStringLiteral("preview"));
    QApplication::processEvents();
    preview->repaint();
    const Sheet::PlacedPair placed = preview->placed().value(0);
    QVERIFY(!placed.before.isEmpty());
    const QRectF before = pair.beforeBars[0];
    const QRectF onScreen = preview->barOnScreen(placed, false, before);
    const double k = placed.before.width() / Sheet::frameOf(pair).width();
    const QPointF grab = onScreen.center();
    mouse(preview, QEvent::MouseButtonPress, grab, Qt::LeftButton);
    mouse(preview, QEvent::MouseMove, grab + QPointF(10, 6), Qt::LeftButton);
    mouse(preview, QEvent::MouseButtonRelease, grab + QPointF(10, 6), Qt::NoButton);
    QVERIFY(std::abs(dialog.editable().pairs[0].beforeBars[0].left() - (before.left() + 10 / k)) < 0.5);
    QVERIFY(std::abs(dialog.editable().pairs[0].beforeBars[0].top() - (before.top() + 6 / k)) < 0.5);
    QCOMPARE(dialog.editable().pairs[0].beforeBars[0].size(), before.size());
    // Its lower right corner resizes it.
    const QRectF moved = dialog.editable().pairs[0].beforeBars[0];
    const QPointF corner = preview->barOnScreen(placed, false, moved).bottomRight() - QPointF(2, 2);
    mouse(preview, QEvent::MouseButtonPress, corner, Qt::LeftButton);
    mouse(preview, QEvent::MouseMove, corner + QPointF(20, 0), Qt::LeftButton);
    mouse(preview, QEvent::MouseButtonRelease, corner + QPointF(20, 0), Qt::NoButton);
    QVERIFY(std::abs(dialog.editable().pairs[0].beforeBars[0].width() - (moved.width() + 20 / k)) < 0.5);
    QCOMPARE(dialog.editable().pairs[0].beforeBars[0].topLeft(), moved.topLeft());

    // Unchecked: the bars go.
    press(eyeBar, Qt::Key_Space);
    QVERIFY(dialog.editable().pairs[0].beforeBars.isEmpty() && dialog.editable().pairs[0].afterBars.isEmpty());

    // A picture without a face: no bar anywhere, and the person is told.
    QImage wall(800, 600, QImage::Format_RGB32);
    wall.fill(QColor(180, 170, 150));
    const QString wallPath = m_install->folder() + QStringLiteral("wall.jpg");
    QVERIFY(wall.save(wallPath, "JPEG"));
    Sheet::Request plain = r;
    plain.pairs[0].beforePath = plain.pairs[0].afterPath = wallPath;
    Export::ExportDialog second(db(), plain, nullptr);
    second.show();
    auto *eyeBar2 = second.findChild<QCheckBox *>(QStringLiteral("chk_EyeBar"));
    press(eyeBar2, Qt::Key_Space);
    QVERIFY(second.editable().pairs[0].beforeBars.isEmpty() && second.editable().pairs[0].afterBars.isEmpty());
    const QStringList told = m_prompter->texts(QStringLiteral("message"));
    QCOMPARE(told.size(), 1);
    QVERIFY2(told.first().contains(QStringLiteral("没有找到眼睛")), qPrintable(told.first()));
}

void TestExportDialog::theComparisonWindowSendsWhatItShows()
{
    TfrmMain w(m_install->folder());
    MainWindowCompareSource source(&w);
    CompareWindow cw(&source, &w);
    cw.resize(1000, 700);
    cw.show();
    QVERIFY(QTest::qWaitForWindowActive(&cw));
    cw.view()->waitUntilLoaded();
    const Align::Similarity aligned(1.0, 1.5, QPointF(12, -8));
    cw.view()->setAlignment(aligned);
    QTest::keyClick(&cw, Qt::Key_1); // one to one: the view shows a part of the picture
    const QRectF shown = cw.view()->visibleRegion();
    QVERIFY2(shown.width() < 800 && shown.height() < 1000,
             qPrintable(QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height())));
    Sheet::Request sent;
    m_prompter->onModal = [&](QDialog *d) {
        if (auto *dialog = qobject_cast<Export::ExportDialog *>(d))
            sent = dialog->currentRequest();
        return int(QDialog::Rejected);
    };
    QTest::keyClick(&cw, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(sent.pairs.size(), 1);
    QCOMPARE(sent.pairs[0].beforeRef, m_faceRef);
    QVERIFY(sent.pairs[0].alignment.fuzzyEquals(aligned));
    QVERIFY2(std::abs(sent.pairs[0].crop.width() - shown.width()) < 1
                 && std::abs(sent.pairs[0].crop.left() - shown.left()) < 1,
             qPrintable(QStringLiteral("%1 %2").arg(sent.pairs[0].crop.width()).arg(shown.width())));
    QCOMPARE(sent.pairs[0].category, QStringLiteral("眼部 / 双眼皮"));
}

QTEST_MAIN(TestExportDialog)
#include "tst_exportdialog.moc"
