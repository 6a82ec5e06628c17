// The records window's case panel: new cases, picking pictures and bringing them into the store
// on save, the notice about pictures that could not be stored, the minor-category list, the
// picture viewer and deleting a case.
#include "ManagerFixture.h"
#include "support/WindowTestBed.h"
#include "ui_Unit_Manager.h"

#include "data/PictureStore.h"

#include <QImage>
#include <memory>

using namespace ManagerTest;

namespace {
const QString kJia = QStringLiteral("A1200612070001");
const QString kBing = QStringLiteral("A1200612070003");
} // namespace

class TestManagerCases : public QObject, WindowTestBed {
    Q_OBJECT

    TestInstall &install() { return *m_install; }
    int rows(const QString &sql) { return count(*m_install, sql); }
    QString store(const QString &relative) { return m_install->folder() + QStringLiteral("pic/") + relative; }
    QString source(const QString &relative, const QByteArray &bytes = "picture")
    {
        return writeFile(m_install->folder() + QStringLiteral("camera/") + relative, pictureBytes(bytes));
    }
    // Picks a file through the "..." button of a picture column.
    void pick(Tfrm_Manager &w, const char *button, const QString &file)
    {
        m_prompter->files = {file};
        auto *b = w.findChild<QToolButton *>(QString::fromLatin1(button));
        QVERIFY(b);
        b->click();
    }
    void seed()
    {
        seedCustomers(install());
        seedCategories(install());
    }

private slots:
    void init() { openBed(); }
    void cleanup() { closeBed(); }

    void noCustomerNoCase()
    {
        Tfrm_Manager w(nullptr, QString());
        w.ui()->DBNavigator2->click(DBNavigator::Insert);
        pick(w, "SpeedButton2", source(QStringLiteral("a.jpg")));
        QCOMPARE(m_prompter->texts("box"), (QStringList{"请先增加客户", "请先增加客户"}));
        const auto c = m_prompter->callsOf("box").first();
        QCOMPARE(c.caption, QStringLiteral("提示"));
        QCOMPARE(c.buttons, Prompt::Buttons(Prompt::Ok));
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QCOMPARE(w.adt_Surgery->recordCount(), 0);
        QCOMPARE(w.ui()->dbed_After->text(), QString());
    }

    void pickingStartsACaseForACustomerWithoutOne()
    {
        seed();
        Tfrm_Manager w(nullptr, kBing);
        const QString file = source(QStringLiteral("x/b.jpg"));
        pick(w, "SpeedButton7", file);
        QCOMPARE(m_prompter->callsOf("open").first().text, Tfrm_Manager::pictureFilter());
        QCOMPARE(Tfrm_Manager::pictureFilter(),
                 QStringLiteral("支持图片文件|*.JPG;*.JPGE;*.BMP;*.ICO;*.WMF|JPEG文件|*.JPGE|BMP文件|*.BMP|"
                                "ICO文件|*.ICO|WMF文件|*.WMF|JPG文件|*.JPG"));
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        QCOMPARE(w.adt_Surgery->asString("客户编号"), kBing);
        QCOMPARE(w.ui()->DBEdit12->text(), file);
        // A cancelled dialog changes nothing.
        w.ui()->DBNavigator2->click(DBNavigator::Cancel);
        m_prompter->files.clear();
        w.ui()->SpeedButton7->click();
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
    }

    // A file the loader cannot read is refused when it is picked, with the loader's words, and
    // never reaches the case or the store.
    void aFileThatIsNoPictureIsRefusedAtPick()
    {
        seed();
        Tfrm_Manager w(nullptr, kBing);
        const QString notes = writeFile(m_install->folder() + QStringLiteral("camera/notes.jpg"), "meeting notes");
        pick(w, "SpeedButton7", notes);
        const QStringList errors = m_prompter->texts("error");
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().contains(QStringLiteral("不能作为图片使用")) && errors.first().contains(notes),
                 qPrintable(errors.first()));
        QCOMPARE(w.ui()->DBEdit12->text(), QString());
        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QVERIFY(!QFileInfo::exists(store(kBing)));
    }

    void savingImportsEachPickedPictureInOrder()
    {
        seed();
        Tfrm_Manager w(nullptr, kBing);
        auto *ui = w.ui();
        ui->DBNavigator2->click(DBNavigator::Insert);
        choose(ui->cbox_Stair, QStringLiteral("鼻部"));
        // Two folders, one file name: the second picture is stored under the next free name.
        pick(w, "SpeedButton1", source(QStringLiteral("day1/face.jpg"), "first"));
        pick(w, "SpeedButton2", source(QStringLiteral("day2/face.jpg"), "second"));
        // The same source twice gives the same reference.
        const QString side = source(QStringLiteral("day1/side.jpg"), "side");
        pick(w, "SpeedButton4", side);
        pick(w, "SpeedButton8", side);
        QVERIFY(!QFileInfo::exists(store(kBing))); // nothing copied before the save
        ui->DBNavigator2->click(DBNavigator::Post);

        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QVERIFY(m_prompter->calls.size() == 4 && m_prompter->texts("box").isEmpty());
        const QString face = kBing + QStringLiteral("\\face.jpg"), sideRef = kBing + QStringLiteral("\\side.jpg");
        const QString face2 = kBing + QStringLiteral("\\face(2).jpg");
        QCOMPARE(install()
                     .scalar(
                         "SELECT 手术前 || '|' || (CASE WHEN 手术前1 IS NULL THEN 1 ELSE 0 END) || '|' || 手术前2 || '|' || 手术后 || '|' || "
                         "(CASE WHEN 手术后1 IS NULL THEN 1 ELSE 0 END) || '|' || 手术后2 || '|' || 手术大类 || '|' || 客户编号 FROM Surgery "
                         "WHERE 客户编号='"
                         + kBing + "'")
                     .toString(),
                 QStringList({face, "1", sideRef, face2, "1", sideRef, "鼻部", kBing}).join('|'));
        QCOMPARE(readFile(store(kBing + "/face.jpg")), pictureBytes("first"));
        QCOMPARE(readFile(store(kBing + "/face(2).jpg")), pictureBytes("second"));
        QCOMPARE(readFile(store(kBing + "/side.jpg")), pictureBytes("side"));
        QCOMPARE(ui->dbed_Before->text(), face);
        QCOMPARE(QDir(store(kBing)).entryList(QDir::Files | QDir::Hidden).size(), 3);

        // Saving again without new pictures leaves references and files alone.
        type(ui->DBEdit9, QStringLiteral("Zhou"));
        QFile::remove(source(QStringLiteral("day2/face.jpg")));
        writeFile(store(kBing + "/face.jpg"), "kept");
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(readFile(store(kBing + "/face.jpg")), QByteArray("kept"));
        QCOMPARE(install().scalar("SELECT 手术后 FROM Surgery WHERE 手术医生='Zhou'").toString(), face2);
    }

    void noMajorRefusesAndCopiesNothing()
    {
        seed();
        Tfrm_Manager w(nullptr, kBing);
        const QString file = source(QStringLiteral("a.jpg"));
        pick(w, "SpeedButton1", file);
        w.ui()->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(m_prompter->texts("message"), QStringList{"请选择手术大类！"});
        QCOMPARE(w.adt_Surgery->state(), DataSet::Insert);
        QCOMPARE(w.ui()->dbed_Before->text(), file);
        QVERIFY(!QFileInfo::exists(store(kBing)));
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery"), 3);
    }

    void cancelDropsAPickedPicture()
    {
        seed();
        install().exec("UPDATE Surgery SET 手术后='" + kJia + "\\old.jpg' WHERE 手术医生='Wang'");
        Tfrm_Manager w(nullptr, kJia);
        QCOMPARE(w.ui()->dbed_After->text(), kJia + "\\old.jpg");
        pick(w, "SpeedButton2", source(QStringLiteral("new.jpg")));
        QCOMPARE(w.adt_Surgery->state(), DataSet::Edit);
        w.ui()->DBNavigator2->click(DBNavigator::Cancel);
        QCOMPARE(w.ui()->dbed_After->text(), kJia + "\\old.jpg");
        QVERIFY(!QFileInfo::exists(store(kJia)));
    }

    void picturesThatCannotBeStoredAreSavedAndReported()
    {
        seed();
        QVERIFY(QDir(install().folder() + "pic").removeRecursively());
        Tfrm_Manager w(nullptr, kBing);
        auto *ui = w.ui();
        ui->DBNavigator2->click(DBNavigator::Insert);
        choose(ui->cbox_Stair, QStringLiteral("眼部"));
        const QString a = source(QStringLiteral("a.jpg")), b = source(QStringLiteral("b.jpg"));
        pick(w, "SpeedButton3", a);
        pick(w, "SpeedButton7", b);
        m_prompter->clear();
        ui->DBNavigator2->click(DBNavigator::Post);

        QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
        QCOMPARE(install()
                     .scalar("SELECT 手术前1 || '|' || 手术后1 FROM Surgery WHERE 客户编号='" + kBing + "'")
                     .toString(),
                 a + "|" + b);
        QVERIFY(!QFileInfo::exists(install().folder() + "pic")); // the store root is never created
        const auto boxes = m_prompter->callsOf("box");
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().caption, QStringLiteral("提示"));
        QCOMPARE(boxes.first().buttons, Prompt::Buttons(Prompt::Ok));
        const QString text = boxes.first().text;
        QVERIFY2(text.contains("手术前1：") && text.contains("手术后1：") && !text.contains("手术前："),
                 qPrintable(text));
        QVERIFY2(text.contains(install().folder() + "pic/" + kBing), qPrintable(text)); // why: the folder

        // A refused save tells nothing: the notice belongs to a saved case only.
        m_prompter->clear();
        ui->DBNavigator2->click(DBNavigator::Insert);
        pick(w, "SpeedButton1", a);
        ui->DBNavigator2->click(DBNavigator::Post);
        ui->DBNavigator2->click(DBNavigator::Cancel);
        QCOMPARE(m_prompter->texts("box"), QStringList());
    }

    void doubleClickShowsStoredPicturesOnly_data()
    {
        QTest::addColumn<QString>("value"); // "@" stands for the source folder
        QTest::addColumn<QString>("shown"); // window class, error text or nothing
        // clang-format off
        QTest::newRow("stored picture") << kJia + "\\face.jpg" << "TfrmLarImage";
        QTest::newRow("empty box") << "" << "";
        QTest::newRow("picked, not yet saved") << "@face.jpg" << "";
        QTest::newRow("file gone") << kJia + "\\gone.jpg" << "";
        QTest::newRow("unknown kind") << kJia + "\\notes.txt" << "error";
        // clang-format on
    }
    void doubleClickShowsStoredPicturesOnly()
    {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        seed();
        QImage img(40, 30, QImage::Format_RGB32);
        img.fill(Qt::red);
        QVERIFY(QDir().mkpath(store(kJia)) && img.save(store(kJia + "/face.jpg"), "JPG"));
        writeFile(store(kJia + "/notes.txt"), "text");
        const QString camera = QFileInfo(source(QStringLiteral("face.jpg"))).absolutePath() + "/";
        install().exec("UPDATE Surgery SET 手术后1='" + QString(value).replace("@", camera) + "'");
        Tfrm_Manager w(nullptr, kJia);
        QSize size;
        m_prompter->onModal = [&size](QDialog *d) {
            size = d->size();
            return int(QDialog::Accepted);
        };
        QTest::mouseDClick(w.ui()->DBEdit12, Qt::LeftButton);
        if (shown == "TfrmLarImage") {
            QCOMPARE(m_prompter->texts("modal"), QStringList{shown});
            QCOMPARE(size, QSize(40, 30));
        } else if (shown == "error") {
            QCOMPARE(m_prompter->texts("modal"), QStringList());
            QCOMPARE(m_prompter->texts("error").size(), 1);
        } else {
            QVERIFY(m_prompter->calls.isEmpty());
        }
    }

    void majorChoiceFillsTheMinorList()
    {
        seed();
        install().exec("UPDATE Surgery SET 手术小类='双眼皮' WHERE 手术医生='Wang'");
        Tfrm_Manager w(nullptr, kJia);
        auto *ui = w.ui();
        QCOMPARE(ui->cbox_Sub->currentText(), QStringLiteral("双眼皮"));
        choose(ui->cbox_Stair, QStringLiteral("鼻部"));
        QCOMPARE(ui->cbox_Sub->count(), 0);
        QVERIFY(!ui->cbox_Sub->isEnabled());
        QCOMPARE(w.adt_Surgery->asString("手术大类"), QStringLiteral("鼻部"));
        QCOMPARE(w.adt_Surgery->asString("手术小类"), QStringLiteral("双眼皮")); // kept
        choose(ui->cbox_Stair, QStringLiteral("眼部"));
        QCOMPARE(items(ui->cbox_Sub), (QStringList{"双眼皮", "开眼角"}));
        QVERIFY(ui->cbox_Sub->isEnabled());
        choose(ui->cbox_Sub, QStringLiteral("开眼角"));
        ui->DBNavigator2->click(DBNavigator::Post);
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 手术医生='Wang' AND 手术小类='开眼角'"), 1);
    }

    void movingBetweenCasesRefillsTheMinorList()
    {
        seed();
        install().exec("INSERT INTO Class (类别名称, 父类别) VALUES ('隆鼻','鼻部')");
        Tfrm_Manager w(nullptr, kJia);
        auto *ui = w.ui();
        QCOMPARE(items(ui->cbox_Sub), (QStringList{"双眼皮", "开眼角"}));
        ui->DBNavigator2->click(DBNavigator::Next);
        QCOMPARE(ui->cbox_Stair->currentText(), QStringLiteral("鼻部"));
        QCOMPARE(items(ui->cbox_Sub), QStringList{"隆鼻"});
        // Moving to another customer refills it too: it is always the shown case's major's.
        ui->DBNavigator1->click(DBNavigator::Next);
        QCOMPARE(ui->cbox_Stair->currentText(), QStringLiteral("眼部"));
        QCOMPARE(items(ui->cbox_Sub), (QStringList{"双眼皮", "开眼角"}));
    }

    void deletingACase_data()
    {
        QTest::addColumn<int>("answer");
        // clang-format off
        QTest::newRow("OK") << int(Prompt::Ok);
        QTest::newRow("Cancel") << int(Prompt::Cancel);
        // clang-format on
    }
    void deletingACase()
    {
        QFETCH(int, answer);
        seed();
        const QString file = writeFile(store(kJia + "/face.jpg"), "jpg");
        install().exec("UPDATE Surgery SET 手术前='" + kJia + "\\face.jpg' WHERE 手术医生='Wang'");
        Tfrm_Manager w(nullptr, kJia);
        m_prompter->answers = {Prompt::Button(answer)};
        w.ui()->DBNavigator2->click(DBNavigator::Delete);
        QCOMPARE(m_prompter->texts("box"), QStringList{"Delete record?"});
        QCOMPARE(m_prompter->calls.first().buttons, Prompt::Buttons(Prompt::Ok | Prompt::Cancel));
        const bool ok = answer == Prompt::Ok;
        QCOMPARE(rows("SELECT COUNT(*) FROM Surgery WHERE 手术医生='Wang'"), ok ? 0 : 1);
        QCOMPARE(rows("SELECT COUNT(*) FROM tUserInfo"), 3);
        QCOMPARE(w.adt_Surgery->recordCount(), ok ? 1 : 2);
        QVERIFY(QFile::exists(file));
    }
};

QTEST_MAIN(TestManagerCases)
#include "tst_managercases.moc"
