// The comparison-sheet window, driven with keys and the mouse: opened from the main window for
// its current case, refusing without consent before any file is asked for, exporting, printing
// through the print dialog, and eye bars found, dragged and reported missing; from the comparison
// window, each picture judged by its own case.

#include "align/AlignmentStore.h"
#include "align/SyntheticFace.h"
#include "support/ScriptedPrompter.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include "browser/MainCompareSource.h"
#include "browser/Unit_Main.h"
#include "compare/CompareWindow.h"
#include "consent/Consent.h"
#include "data/DataSet.h"
#include "data/Unit_DataMod.h"
#include "export/ExportDialog.h"
#include "export/SheetCommands.h"
#include "pictures/PreviewService.h"
#include "widgets/ProgramFont.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSqlQuery>
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
    void theComparisonWindowChecksEachPicturesOwnCase();
    void aFacelessPhotoLeavesOnlyWhenConfirmed();
    void aNameTypedWithoutExtensionReplacesNothingUnasked();
    void noPageOfAnEarlierExportStaysUnderTheNewName();

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
            // Opened by "打印…": named for it, the print command the default one, and the format
            // this user chose last time (JPEG) chosen again.
            auto *printButton = dialog->findChild<QPushButton *>(QStringLiteral("btn_Print"));
            if (!printButton->isDefault() || dialog->windowTitle() != QStringLiteral("打印对比图")
                || format->currentIndex() != 1)
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
    QCOMPARE(events(QStringLiteral("sheet-refused")), 1);
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
    QVERIFY(pair.beforeBars[0].boundingRect().contains(eyes));
    // The after picture's bar sits where its eyes are laid over the before picture's frame.
    QVERIFY(pair.afterBars[0].boundingRect().contains(eyes.translated(20, -10)));

    // Dragged by the mouse in the preview: the bar follows in picture pixels.
    auto *preview = dialog.findChild<Export::SheetPreview *>(QStringLiteral("preview"));
    QApplication::processEvents();
    preview->repaint();
    const Sheet::PlacedPair placed = preview->placed().value(0);
    QVERIFY(!placed.before.isEmpty());
    const QRectF before = pair.beforeBars[0].boundingRect();
    const QRectF onScreen = preview->barOnScreen(placed, false, pair.beforeBars[0]).boundingRect();
    const double k = placed.before.width() / Sheet::frameOf(pair).width();
    const QPointF grab = onScreen.center();
    mouse(preview, QEvent::MouseButtonPress, grab, Qt::LeftButton);
    mouse(preview, QEvent::MouseMove, grab + QPointF(10, 6), Qt::LeftButton);
    mouse(preview, QEvent::MouseButtonRelease, grab + QPointF(10, 6), Qt::NoButton);
    const auto barNow = [&] { return dialog.editable().pairs[0].beforeBars[0].boundingRect(); };
    QVERIFY(std::abs(barNow().left() - (before.left() + 10 / k)) < 0.5);
    QVERIFY(std::abs(barNow().top() - (before.top() + 6 / k)) < 0.5);
    QVERIFY(std::abs(barNow().width() - before.width()) < 1e-6);
    // Its lower right corner resizes it.
    const QRectF moved = barNow();
    const QPointF corner = preview->barOnScreen(placed, false, QPolygonF(moved)).boundingRect().bottomRight()
                           - QPointF(2, 2);
    mouse(preview, QEvent::MouseButtonPress, corner, Qt::LeftButton);
    mouse(preview, QEvent::MouseMove, corner + QPointF(20, 0), Qt::LeftButton);
    mouse(preview, QEvent::MouseButtonRelease, corner + QPointF(20, 0), Qt::NoButton);
    QVERIFY(std::abs(barNow().width() - (moved.width() + 20 / k)) < 0.5);
    QVERIFY(QLineF(barNow().topLeft(), moved.topLeft()).length() < 1e-6);

    // Unchecked: the bars go.
    press(eyeBar, Qt::Key_Space);
    QVERIFY(dialog.editable().pairs[0].beforeBars.isEmpty() && dialog.editable().pairs[0].afterBars.isEmpty());

    // A picture without a face: no bar anywhere, and the person is told.
    QImage wall(800, 600, QImage::Format_RGB32);
    wall.fill(QColor(180, 170, 150));
    const QString wallPath = m_install->folder() + QStringLiteral("wall.jpg");
    QVERIFY(wall.save(wallPath, "JPEG"));
    Sheet::Request plain = r;
    plain.pairs[0].before.path = plain.pairs[0].after.path = wallPath;
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
    // A second after picture, aligned to the first before picture.
    const QString otherRef = Cust + QStringLiteral("\\face2.jpg");
    QVERIFY(m_drawn.picture.save(m_install->folder() + QStringLiteral("pic/") + Cust + QStringLiteral("/face2.jpg"),
                                 "JPEG", 92));
    m_install->exec(QStringLiteral("UPDATE Surgery SET 手术后 = '%1'").arg(otherRef));
    const Align::Similarity aligned(1.0, 1.5, QPointF(12, -8));
    Align::saveAlignment(db(), m_faceRef, otherRef, {aligned, false});
    TfrmMain w(m_install->folder());
    MainWindowCompareSource source(&w);
    CompareWindow cw(&source, &w);
    cw.resize(1000, 700);
    cw.show();
    QVERIFY(QTest::qWaitForWindowActive(&cw));
    cw.view()->waitUntilLoaded();
    QTest::keyClick(&cw, Qt::Key_1); // one to one: the view shows a part of the picture
    const QRectF shown = cw.view()->visibleRegion();
    QVERIFY2(shown.width() < 800 && shown.height() < 1000,
             qPrintable(QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height())));
    Sheet::Request sent;
    bool tryExport = true;
    m_prompter->onModal = [&](QDialog *d) {
        if (auto *dialog = qobject_cast<Export::ExportDialog *>(d)) {
            sent = dialog->currentRequest();
            if (std::exchange(tryExport, false)) {
                // So small a part on A4 prints coarse: asked first, and "no" sends nothing.
                dialog->show();
                m_prompter->answers = {Prompt::No};
                press(dialog->findChild<QPushButton *>(QStringLiteral("btn_Export")), Qt::Key_Space);
            }
        }
        return int(QDialog::Rejected);
    };
    QTest::keyClick(&cw, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(m_prompter->callsOf(QStringLiteral("box")).size(), 1);
    QVERIFY2(m_prompter->callsOf(QStringLiteral("box")).first().text.contains(QStringLiteral("ppi")),
             qPrintable(m_prompter->callsOf(QStringLiteral("box")).first().text));
    QVERIFY(m_prompter->callsOf(QStringLiteral("save")).isEmpty());
    QCOMPARE(sent.pairs.size(), 1);
    QCOMPARE(sent.pairs[0].before.stored, m_faceRef);
    QCOMPARE(sent.pairs[0].after.stored, otherRef);
    QVERIFY(sent.pairs[0].alignment && sent.pairs[0].alignment->fuzzyEquals(aligned));
    QVERIFY2(std::abs(sent.pairs[0].crop.width() - shown.width()) < 1
                 && std::abs(sent.pairs[0].crop.left() - shown.left()) < 1,
             qPrintable(QStringLiteral("%1 %2").arg(sent.pairs[0].crop.width()).arg(shown.width())));
    QCOMPARE(sent.pairs[0].category(), QStringLiteral("眼部 / 双眼皮"));

    // Without an alignment the pair goes unaligned, the after picture cut to the same share.
    m_prompter->answers = {Prompt::Yes};
    QTest::keyClick(&cw, Qt::Key_R);
    QTest::keyClick(&cw, Qt::Key_E, Qt::ControlModifier);
    QVERIFY(!sent.pairs[0].alignment);
    QVERIFY(std::abs(sent.pairs[0].afterCrop.width() - shown.width()) < 1);
}

void TestExportDialog::theComparisonWindowChecksEachPicturesOwnCase()
{
    // The customer's second case, only for the records; the first may be published.
    const QString otherRef = Cust + QStringLiteral("\\other.jpg");
    QVERIFY(SyntheticFace::draw(QSize(800, 1000), QPointF(400, 500), 380)
                .picture.save(m_install->folder() + QStringLiteral("pic/") + Cust + QStringLiteral("/other.jpg"),
                              "JPEG", 92));
    m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术日期, 手术前, 手术后) "
                                   "VALUES ('%1','鼻部','隆鼻','2026-02-01','%2','%2')")
                        .arg(Cust, otherRef));
    const qint64 first = m_install->scalar(QStringLiteral("SELECT MIN(id) FROM Surgery")).toLongLong();
    const qint64 second = m_install->scalar(QStringLiteral("SELECT MAX(id) FROM Surgery")).toLongLong();
    Consent::write(db(), first, Cust, {Consent::Level::Publicity, {}, {}});

    TfrmMain w(m_install->folder());
    QVERIFY(w.adq_Surgery->locate(QStringLiteral("id"), first));
    MainWindowCompareSource source(&w);
    CompareWindow cw(&source, &w);
    cw.resize(1000, 700);
    cw.show();
    QVERIFY(QTest::qWaitForWindowActive(&cw));
    // The strip: the case's four pictures, then the other case's two; its after picture goes right.
    auto *strip = cw.findChild<QListWidget *>(QStringLiteral("strip"));
    QCOMPARE(strip->count(), 6);
    QTest::mouseClick(strip->viewport(), Qt::RightButton, {}, strip->visualItemRect(strip->item(5)).center());
    QCOMPARE(cw.right().caseId, second);
    QCOMPARE(cw.left().caseId, first);

    QTemporaryDir out;
    Sheet::Purpose opened = Sheet::Purpose::Publicity;
    QString category;
    m_prompter->onModal = [&](QDialog *d) {
        if (qobject_cast<QPrintDialog *>(d))
            return int(QDialog::Rejected);
        auto *dialog = qobject_cast<Export::ExportDialog *>(d);
        if (!dialog)
            return int(QDialog::Rejected);
        dialog->show();
        opened = dialog->currentRequest().purpose;
        category = dialog->currentRequest().pairs.value(0).category();
        // Publicity asked for, by export and by print.
        press(dialog->findChild<QComboBox *>(QStringLiteral("cb_Purpose")), Qt::Key_End);
        m_prompter->files = QStringList{out.filePath(QStringLiteral("sheet.pdf"))};
        press(dialog->findChild<QPushButton *>(QStringLiteral("btn_Export")), Qt::Key_Space);
        press(dialog->findChild<QPushButton *>(QStringLiteral("btn_Print")), Qt::Key_Space);
        return int(QDialog::Rejected);
    };
    QTest::keyClick(&cw, Qt::Key_E, Qt::ControlModifier);
    // The sheet starts on what the record-only picture allows, and publishing it is refused
    // before a file or a printer is asked for.
    QCOMPARE(opened, Sheet::Purpose::Internal);
    const QStringList errors = m_prompter->texts(QStringLiteral("error"));
    QCOMPARE(errors.size(), 2);
    for (const QString &e : errors)
        QVERIFY2(e.contains(QStringLiteral("仅存档")), qPrintable(e));
    QVERIFY(m_prompter->callsOf(QStringLiteral("save")).isEmpty());
    QVERIFY(!m_prompter->texts(QStringLiteral("modal")).contains(QStringLiteral("QPrintDialog")));
    QVERIFY(QDir(out.path()).isEmpty());
    QCOMPARE(events(QStringLiteral("sheet-exported")) + events(QStringLiteral("sheet-printed")), 0);

    // Once the second case may be published too, the sheet leaves labelled with both cases and
    // recorded for each.
    Consent::write(db(), second, Cust, {Consent::Level::Publicity, {}, {}});
    m_prompter->clear();
    QTest::keyClick(&cw, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(opened, Sheet::Purpose::Publicity);
    QVERIFY2(category.contains(QStringLiteral("眼部 / 双眼皮")) && category.contains(QStringLiteral("鼻部 / 隆鼻")),
             qPrintable(category));
    QVERIFY(QFile::exists(out.filePath(QStringLiteral("sheet.pdf"))));
    QSqlQuery q(db());
    QVERIFY(q.exec(QStringLiteral("SELECT CaseId FROM AuditLog WHERE Action = 'sheet-exported' ORDER BY CaseId")));
    QList<qint64> cases;
    while (q.next())
        cases << q.value(0).toLongLong();
    QCOMPARE(cases, (QList<qint64>{first, second}));
}

void TestExportDialog::aFacelessPhotoLeavesOnlyWhenConfirmed()
{
    const qint64 caseId = m_install->scalar(QStringLiteral("SELECT id FROM Surgery")).toLongLong();
    Consent::write(db(), caseId, Cust, {Consent::Level::Publicity, {}, {}});
    Sheet::Request r = Export::requestForCase(db(), m_install->folder(), caseId);
    r.pairs.resize(1);
    QImage wall(800, 600, QImage::Format_RGB32);
    wall.fill(QColor(180, 170, 150));
    r.pairs[0].after.path = m_install->folder() + QStringLiteral("wall.jpg");
    QVERIFY(wall.save(r.pairs[0].after.path, "JPEG"));
    Export::ExportDialog dialog(db(), r, nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // For publicity the eyes are covered from the start; the faceless photo is named.
    auto *eyeBar = dialog.findChild<QCheckBox *>(QStringLiteral("chk_EyeBar"));
    auto *note = dialog.findChild<QLabel *>(QStringLiteral("lb_EyeBarMissing"));
    QVERIFY(eyeBar->isChecked());
    QCOMPARE(dialog.editable().pairs[0].beforeBars.size(), 1);
    QVERIFY(dialog.editable().pairs[0].afterBars.isEmpty());
    QVERIFY2(note->isVisible() && note->text().contains(QStringLiteral("术后"))
                 && !note->text().contains(QStringLiteral("术前")),
             qPrintable(note->text()));

    // Asked first; "no" sends nothing.
    QTemporaryDir out;
    const QString file = out.filePath(QStringLiteral("sheet.pdf"));
    auto *exportButton = dialog.findChild<QPushButton *>(QStringLiteral("btn_Export"));
    m_prompter->answers = {Prompt::No};
    m_prompter->files = QStringList{file};
    press(exportButton, Qt::Key_Space);
    QCOMPARE(m_prompter->callsOf(QStringLiteral("box")).size(), 1);
    QVERIFY(m_prompter->callsOf(QStringLiteral("box")).first().text.contains(QStringLiteral("术后")));
    QVERIFY(m_prompter->callsOf(QStringLiteral("save")).isEmpty());
    QVERIFY(!QFile::exists(file));
    QCOMPARE(events(QStringLiteral("sheet-exported")), 0);
    // A bar drawn by hand on it: nothing to ask, out it goes.
    auto *preview = dialog.findChild<Export::SheetPreview *>(QStringLiteral("preview"));
    preview->repaint();
    const QRectF cell = preview->placed().value(0).after;
    QVERIFY(!cell.isEmpty());
    mouse(preview, QEvent::MouseButtonPress, cell.center(), Qt::LeftButton);
    mouse(preview, QEvent::MouseMove, cell.center() + QPointF(40, 12), Qt::LeftButton);
    mouse(preview, QEvent::MouseButtonRelease, cell.center() + QPointF(40, 12), Qt::NoButton);
    QCOMPARE(dialog.editable().pairs[0].afterBars.size(), 1);
    QVERIFY(!note->isVisible());
    press(exportButton, Qt::Key_Space);
    QCOMPARE(m_prompter->callsOf(QStringLiteral("box")).size(), 1);
    QVERIFY(QFile::exists(file));

    // 眼部遮挡 follows the purpose until the person sets it.
    auto *purpose = dialog.findChild<QComboBox *>(QStringLiteral("cb_Purpose"));
    press(purpose, Qt::Key_Home);
    QVERIFY(!eyeBar->isChecked());
    press(purpose, Qt::Key_Down);
    QVERIFY(eyeBar->isChecked());
    press(eyeBar, Qt::Key_Space);
    press(purpose, Qt::Key_Home);
    press(purpose, Qt::Key_End);
    QVERIFY(!eyeBar->isChecked());
}

// Typed "pub1" while pub1.pdf holds another sheet: asked about pub1.pdf, and "no" keeps it.
void TestExportDialog::aNameTypedWithoutExtensionReplacesNothingUnasked()
{
    const qint64 caseId = m_install->scalar(QStringLiteral("SELECT id FROM Surgery")).toLongLong();
    Export::ExportDialog dialog(db(), Export::requestForCase(db(), m_install->folder(), caseId), nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *exportButton = dialog.findChild<QPushButton *>(QStringLiteral("btn_Export"));
    QTemporaryDir out;
    const QString typed = out.filePath(QStringLiteral("pub1")), pdf = typed + QStringLiteral(".pdf");
    QFile other(pdf);
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write("another sheet") > 0);
    other.close();

    m_prompter->files = QStringList{typed};
    m_prompter->answers = {Prompt::No};
    press(exportButton, Qt::Key_Space);
    const QList<ScriptedPrompter::Call> boxes = m_prompter->callsOf(QStringLiteral("box"));
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.first().text.contains(QStringLiteral("pub1.pdf")), qPrintable(boxes.first().text));
    QFile kept(pdf);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("another sheet"));
    QCOMPARE(events(QStringLiteral("sheet-exported")), 0);

    m_prompter->clear();
    m_prompter->files = QStringList{typed};
    m_prompter->answers = {Prompt::Yes};
    press(exportButton, Qt::Key_Space);
    QVERIFY(QFileInfo(pdf).size() > 1000);
    QCOMPARE(events(QStringLiteral("sheet-exported")), 1);
}

// Two JPEG pages where big-2.jpg of another export lies: asked before it is replaced; a later
// one-page export to big.jpg takes the earlier big-2.jpg away, once agreed.
void TestExportDialog::noPageOfAnEarlierExportStaysUnderTheNewName()
{
    const qint64 caseId = m_install->scalar(QStringLiteral("SELECT id FROM Surgery")).toLongLong();
    Export::ExportDialog dialog(db(), Export::requestForCase(db(), m_install->folder(), caseId), nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *exportButton = dialog.findChild<QPushButton *>(QStringLiteral("btn_Export"));
    press(dialog.findChild<QComboBox *>(QStringLiteral("cb_Format")), Qt::Key_Down);
    auto *layout = dialog.findChild<QComboBox *>(QStringLiteral("cb_Layout"));
    press(layout, Qt::Key_Home); // one pair a page: the case's two pairs fill two pages
    QTemporaryDir out;
    const QString first = out.filePath(QStringLiteral("big.jpg")), second = out.filePath(QStringLiteral("big-2.jpg"));
    QFile other(second);
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write("page of another customer") > 0);
    other.close();

    m_prompter->files = QStringList{first};
    m_prompter->answers = {Prompt::No};
    press(exportButton, Qt::Key_Space);
    QCOMPARE(m_prompter->callsOf(QStringLiteral("box")).size(), 1);
    QVERIFY2(m_prompter->callsOf(QStringLiteral("box")).first().text.contains(QStringLiteral("big-2.jpg")),
             qPrintable(m_prompter->callsOf(QStringLiteral("box")).first().text));
    QVERIFY(!QFile::exists(first));
    QCOMPARE(QFileInfo(second).size(), qint64(strlen("page of another customer")));

    m_prompter->clear();
    m_prompter->files = QStringList{first};
    m_prompter->answers = {Prompt::Yes};
    press(exportButton, Qt::Key_Space);
    QVERIFY(QImage(first).width() > 0 && QImage(second).width() > 0);

    // One page now (a grid): the earlier second page is named in the question and removed.
    press(layout, Qt::Key_End);
    m_prompter->clear();
    m_prompter->files = QStringList{first};
    m_prompter->answers = {Prompt::Yes};
    press(exportButton, Qt::Key_Space);
    QCOMPARE(m_prompter->callsOf(QStringLiteral("box")).size(), 1);
    QVERIFY(m_prompter->callsOf(QStringLiteral("box")).first().text.contains(QStringLiteral("big-2.jpg")));
    QVERIFY(QImage(first).width() > 0);
    QVERIFY(!QFile::exists(second));
    QCOMPARE(events(QStringLiteral("sheet-exported")), 2);
}

QTEST_MAIN(TestExportDialog)
#include "tst_exportdialog.moc"
