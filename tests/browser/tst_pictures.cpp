// The before/after columns of the main window over real picture files: which frames a case
// gives and where they stand, how a picture sits in its frame, which case drives the pictures,
// what a click opens, and what a damaged file does.
#include "data/DataSet.h"
#include "pictures/PictureGeometry.h"
#include "pictures/PreviewService.h"
#include "data/Settings.h"
#include "support/WindowTestBed.h"
#include "browser/Unit_Main.h"
#include "browser/Unit_PanelImage.h"
#include "widgets/Unit_ShowLarImage.h"
#include "ui_Unit_Main.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSplitter>
#include <QtTest>

namespace {
const QString Cust1 = QStringLiteral("A1200601010001");
const QString Cust2 = QStringLiteral("A1200601010002");

// Frames of a host, top to bottom.
QList<TPanelImage *> framesOf(QFrame *host)
{
    QList<TPanelImage *> frames = host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly);
    std::sort(frames.begin(), frames.end(),
              [](TPanelImage *a, TPanelImage *b) { return a->Panel->y() < b->Panel->y(); });
    return frames;
}

QStringList namesOf(QFrame *host)
{
    QStringList names;
    for (TPanelImage *f : framesOf(host))
        names << QFileInfo(f->FileName).fileName();
    return names;
}
} // namespace

class TestPictures : public QObject, WindowTestBed {
    Q_OBJECT

    void picture(const QString &customer, const QString &name, QSize size, QColor colour = Qt::darkRed)
    {
        const QString dir = m_install->folder() + QStringLiteral("pic/") + customer;
        QDir().mkpath(dir);
        QImage img(size, QImage::Format_RGB32);
        img.fill(colour);
        QVERIFY(img.save(dir + QLatin1Char('/') + name, "JPG"));
    }
    // One case row; columns in the order 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2.
    void addCase(const QString &customer, const QString &minor, const QStringList &cols)
    {
        QStringList values;
        for (int i = 0; i < 6; ++i) {
            const QString v = cols.value(i);
            values << (v == QLatin1String("NULL") ? v : QLatin1Char('\'') + v + QLatin1Char('\''));
        }
        m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类, 手术前, 手术前1, 手术前2, "
                                       "手术后, 手术后1, 手术后2) VALUES ('%1','眼部','%2',%3)")
                            .arg(customer, minor, values.join(QLatin1Char(','))));
    }
    void shown(TfrmMain &w)
    {
        w.resize(900, 640);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }

private slots:
    void init()
    {
        openBed();
        m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1','张'), ('%2','李')")
                            .arg(Cust1, Cust2));
        for (const char *n : {"b1.jpg", "b2.jpg", "b3.jpg", "a1.jpg", "a2.jpg", "a3.jpg"})
            picture(Cust1, QString::fromLatin1(n), QSize(120, 90));
    }
    void cleanup()
    {
        PreviewService::shared().waitForDone();
        closeBed();
    }

    void framesFollowTheColumns_data()
    {
        QTest::addColumn<QStringList>("columns");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        const QString p = Cust1 + QLatin1Char('\\');
        // clang-format off
        QTest::newRow("one each") << QStringList{"", "NULL", p + "b3.jpg", p + "a1.jpg", "", ""}
                                  << QStringList{"b3.jpg"} << QStringList{"a1.jpg"};
        QTest::newRow("three before in column order")
            << QStringList{p + "b1.jpg", p + "b2.jpg", p + "b3.jpg", "", "", ""}
            << QStringList{"b1.jpg", "b2.jpg", "b3.jpg"} << QStringList{};
        QTest::newRow("missing file closes up")
            << QStringList{p + "b1.jpg", p + "gone.jpg", p + "b3.jpg", p + "a1.jpg", p + "a2.jpg", p + "a3.jpg"}
            << QStringList{"b1.jpg", "b3.jpg"} << QStringList{"a1.jpg", "a2.jpg", "a3.jpg"};
        QTest::newRow("folder is no picture") << QStringList{Cust1, "", "", "", "", ""}
                                              << QStringList{} << QStringList{};
        // clang-format on
    }
    void framesFollowTheColumns()
    {
        QFETCH(QStringList, columns);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        addCase(Cust1, QStringLiteral("双眼皮"), columns);
        TfrmMain w(m_install->folder());
        shown(w);
        QCOMPARE(namesOf(w.ui()->Pl_Before), before);
        QCOMPARE(namesOf(w.ui()->Pl_After), after);
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());

        // Stacked from the top, 8 apart, 12 from the left and 10 from the right, sharing the
        // host's height; they follow the window.
        for (QSize size : {QSize(900, 640), QSize(1100, 500)}) {
            w.resize(size);
            for (QFrame *host : {w.ui()->Pl_Before, w.ui()->Pl_After}) {
                const QList<TPanelImage *> frames = framesOf(host);
                const int n = frames.size();
                int y = 0;
                for (TPanelImage *f : frames) {
                    y += 8;
                    QCOMPARE(f->Panel->geometry(), QRect(12, y, host->width() - 22, host->height() / n - 12));
                    QVERIFY(f->Panel->isVisible());
                    y += f->Panel->height();
                }
            }
        }
    }

    void pictureSitsInItsFrame_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QRect>("image");
        // clang-format off
        QTest::newRow("too wide") << QSize(300, 200) << QSize(200, 300) << QRect(8, 89, 184, 122);
        QTest::newRow("too tall") << QSize(100, 400) << QSize(200, 300) << QRect(67, 20, 65, 260);
        QTest::newRow("fits, centred only") << QSize(190, 120) << QSize(200, 300) << QRect(5, 90, 190, 120);
        // clang-format on
    }
    void pictureSitsInItsFrame()
    {
        QFETCH(QSize, picture);
        QFETCH(QSize, frame);
        QFETCH(QRect, image);
        this->picture(Cust2, QStringLiteral("p.jpg"), picture);
        QFrame host;
        host.resize(400, 400);
        host.show();
        auto *f = new TPanelImage(&host);
        f->LoadPicture(m_install->folder() + QStringLiteral("pic/") + Cust2 + QStringLiteral("/p.jpg"));
        f->Panel->resize(frame);
        QCOMPARE(f->Image->geometry(), image);
        QCOMPARE(f->naturalSize(), picture);
        f->Panel->resize(frame + QSize(100, 0)); // refitted on every size change
        QVERIFY(qAbs(f->Image->geometry().center().x() - (frame.width() + 100) / 2) <= 1);
    }

    void largePhotoIsDecodedSmallButOpensWhole()
    {
        picture(Cust1, QStringLiteral("big.jpg"), QSize(2400, 1600), Qt::darkGreen);
        addCase(Cust1, QStringLiteral("双眼皮"), {Cust1 + QStringLiteral("\\big.jpg")});
        TfrmMain w(m_install->folder());
        shown(w);
        const QList<TPanelImage *> frames = framesOf(w.ui()->Pl_Before);
        QCOMPARE(frames.size(), 1);
        TPanelImage *f = frames.first();
        QCOMPARE(f->naturalSize(), QSize(2400, 1600));
        QTRY_VERIFY(f->Image->picture().width() >= f->Image->width()); // sharp once settled
        QVERIFY(f->Image->picture().width() < 2400);
        QCOMPARE(f->Image->geometry(), [&] {
            const auto fit = PictureGeometry::fitPicture(QSize(2400, 1600), f->Panel->size());
            return QRect(fit.left, fit.top, fit.width, fit.height);
        }());

        QSize opened;
        m_prompter->onModal = [&](QDialog *d) {
            if (auto *lar = qobject_cast<TfrmLarImage *>(d))
                opened = lar->Image1->pixmap().size();
            return int(QDialog::Rejected);
        };
        Settings::writeOpen(false);
        QTest::mouseClick(f->Image, Qt::LeftButton);
        QCOMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{QStringLiteral("TfrmLarImage")});
        QCOMPARE(opened, QSize(2400, 1600));
    }

    void clickFollowsTheOpenSettingEveryTime()
    {
        addCase(Cust1, QStringLiteral("双眼皮"), {"", "", "", Cust1 + QStringLiteral("\\a2.jpg")});
        TfrmMain w(m_install->folder());
        shown(w);
        const QList<TPanelImage *> frames = framesOf(w.ui()->Pl_After);
        QCOMPARE(frames.size(), 1);
        const QString file = m_install->folder() + QStringLiteral("pic/") + Cust1 + QStringLiteral("/a2.jpg");
        QCOMPARE(frames.first()->FileName, file);

        Settings::writeOpen(true);
        QTest::mouseClick(frames.first()->Image, Qt::LeftButton);
        QCOMPARE(m_prompter->texts(QStringLiteral("external")), QStringList{file});
        QVERIFY(m_prompter->callsOf(QStringLiteral("modal")).isEmpty());

        m_prompter->clear();
        Settings::writeOpen(false); // changed behind the window: the next click sees it
        QTest::mouseClick(frames.first()->Image, Qt::LeftButton);
        QCOMPARE(m_prompter->texts(QStringLiteral("modal")), QStringList{QStringLiteral("TfrmLarImage")});
        QVERIFY(m_prompter->callsOf(QStringLiteral("external")).isEmpty());

        // A frame with no picture ignores the click.
        QFrame host;
        TPanelImage empty(&host);
        m_prompter->clear();
        empty.ImageClick();
        QVERIFY(m_prompter->calls.isEmpty());
    }

    void customersCasesDriveOnlyTheDetailsTab()
    {
        const QString p = Cust1 + QLatin1Char('\\');
        picture(Cust2, QStringLiteral("c.jpg"), QSize(80, 60));
        addCase(Cust2, QStringLiteral("开眼角"), {Cust2 + QStringLiteral("\\c.jpg")});
        addCase(Cust1, QStringLiteral("双眼皮"), {p + "b1.jpg"});
        addCase(Cust1, QStringLiteral("隆鼻"), {p + "b2.jpg", "", "", p + "a2.jpg"});
        TfrmMain w(m_install->folder());
        shown(w);
        auto *ui = w.ui();
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"c.jpg"});

        // On the list tab the customer's cases do not drive the pictures.
        w.adq_Surgery->moveTo(1);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b1.jpg"});
        w.adt_Surgery->moveTo(1);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b1.jpg"});
        QVERIFY(namesOf(ui->Pl_After).isEmpty());

        // On the details tab they do; switching tabs alone refills nothing.
        ui->PageControl->setCurrentIndex(1);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b1.jpg"});
        w.adt_Surgery->moveTo(0);
        w.adt_Surgery->moveTo(1);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b2.jpg"});
        QCOMPARE(namesOf(ui->Pl_After), QStringList{"a2.jpg"});

        // Moving the list to another customer's second case: that case wins over the
        // customer's first case that the chain brings up.
        w.adq_Surgery->moveTo(0);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"c.jpg"});
        w.adq_Surgery->moveTo(2);
        QCOMPARE(w.adt_Surgery->recNo(), 0);
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b2.jpg"});
        QCOMPARE(namesOf(ui->Pl_After), QStringList{"a2.jpg"});

        // The records window closes (RefreshData) while the list holds only the customer's
        // second case: the customer's cases are read last and stand on the first case, which
        // the grid and the boxes show; so do the pictures.
        w.ApplySearch(QStringLiteral("WHERE 手术小类='隆鼻'"));
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b2.jpg"});
        w.RefreshData();
        QCOMPARE(w.adt_Surgery->recNo(), 0);
        QCOMPARE(w.adt_Surgery->asString(QStringLiteral("手术小类")), QStringLiteral("双眼皮"));
        QCOMPARE(namesOf(ui->Pl_Before), QStringList{"b1.jpg"});
        QVERIFY(namesOf(ui->Pl_After).isEmpty());

        // An empty list empties both columns.
        w.ApplySearch(QStringLiteral("WHERE 客户编号='nobody'"));
        QVERIFY(namesOf(ui->Pl_Before).isEmpty() && namesOf(ui->Pl_After).isEmpty());
        QVERIFY(m_prompter->texts(QStringLiteral("error")).isEmpty());
    }

    void damagedPictureIsReportedOnceAndOthersShow()
    {
        const QString dir = m_install->folder() + QStringLiteral("pic/") + Cust1;
        QFile bad(dir + QStringLiteral("/bad.jpg"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("\xFF\xD8\xFF\xE0 this is no picture");
        bad.close();
        const QString p = Cust1 + QLatin1Char('\\');
        addCase(Cust1, QStringLiteral("双眼皮"), {p + "b1.jpg", p + "bad.jpg", "", p + "a1.jpg"});
        TfrmMain w(m_install->folder());
        shown(w);
        const QStringList errors = m_prompter->texts(QStringLiteral("error"));
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(QStringLiteral("JPEG error #")), qPrintable(errors.first()));
        QCOMPARE(namesOf(w.ui()->Pl_Before), QStringList{"b1.jpg"});
        QCOMPARE(namesOf(w.ui()->Pl_After), QStringList{"a1.jpg"});
    }

    void columnsSplitInHalfAndNeverShut()
    {
        TfrmMain w(m_install->folder());
        shown(w);
        auto *ui = w.ui();
        auto check = [&] {
            QCOMPARE(ui->Pl_BeforePr->width(), ui->PlSpace->width() / 2);
            QCOMPARE(ui->Pl_Before->geometry(), QRect(0, 20, ui->Pl_BeforePr->width(), ui->Pl_BeforePr->height() - 20));
            QCOMPARE(ui->Pl_After->geometry(), QRect(0, 20, ui->Pl_Afterpr->width(), ui->Pl_Afterpr->height() - 20));
            QCOMPARE(ui->PlSpace->geometry(), ui->PlPicSpace->rect().adjusted(8, 8, -7, -7));
        };
        check();
        QSplitter *s = ui->Splitter1;
        const int total = s->sizes().value(0) + s->sizes().value(1);
        s->setSizes({200, total - 200});
        emit s->splitterMoved(200, 1);
        QCOMPARE(ui->Pl_BeforePr->width(), 200);
        s->setSizes({1, total - 1});
        emit s->splitterMoved(1, 1);
        QCOMPARE(ui->Pl_BeforePr->width(), 200); // refused: back where it stood
        w.resize(w.width() + 31, w.height());
        check(); // a resize splits in half again
        QCOMPARE(ui->PlPicSpace->palette().color(QPalette::Window), QColor(128, 128, 128));
        QCOMPARE(ui->Pl_Afterpr->palette().color(QPalette::Window), QColor(166, 202, 240));
        QVERIFY(ui->Label_Before->font().bold());
    }
};

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
