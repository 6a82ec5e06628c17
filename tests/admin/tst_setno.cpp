// The hospital number: the 2-byte rule in code page 936, the typing limit that does not cut a
// longer stored number, and the main window's command writing a confirmed number once per value.
#include "data/ProfileFile.h"
#include "support/ScriptedPrompter.h"
#include "data/Settings.h"
#include "support/TestInstall.h"
#include "browser/Unit_Main.h"
#include "admin/Unit_SetNo.h"
#include "ui_Unit_SetNo.h"

#include <QAction>
#include <QFile>
#include <QtTest>

class TestSetNo : public QObject {
    Q_OBJECT

private slots:
    void lengthIsCountedInBytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::newRow("two letters") << "B2" << true;
        QTest::newRow("two blanks, kept as typed") << "  " << true;
        QTest::newRow("punctuation") << "#-" << true;
        QTest::newRow("one Chinese character") << "院" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("one letter") << "A" << false;
        QTest::newRow("three letters") << "A12" << false;
        QTest::newRow("Chinese and a letter") << "院A" << false;
        QTest::newRow("two Chinese characters") << "医院" << false;
        QTest::newRow("a pinyin letter of the code page") << "\u00e9" << true;
        QTest::newRow("Chinese and a blank") << "院 " << false;
    }
    void lengthIsCountedInBytes()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        ScriptedPrompter prompter;
        Tfrm_SetNo dialog(nullptr, text);
        dialog.show();
        QCOMPARE(dialog.number(), text); // put in whole, whatever the typing limit
        dialog.ui()->Button1->click();
        QCOMPARE(dialog.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(dialog.isVisible(), !ok);
        QCOMPARE(dialog.number(), text);
        if (ok) {
            QVERIFY(prompter.calls.isEmpty());
        } else {
            QCOMPARE(prompter.calls.size(), 1);
            const auto box = prompter.calls.first();
            QCOMPARE(box.kind, QStringLiteral("box"));
            QCOMPARE(box.text, QStringLiteral("请输入编号，编号长度等于2个字符"));
            QCOMPARE(box.caption, QStringLiteral("提示"));
            QCOMPARE(box.buttons, Prompt::Buttons(Prompt::Ok));
            QCOMPARE(box.icon, Prompt::NoIcon);
        }
    }

    void typingStopsAtTwoCharacters()
    {
        Tfrm_SetNo dialog(nullptr, QString());
        dialog.show();
        QLineEdit *edit = dialog.ui()->Edit1;
        QTest::keyClicks(edit, QStringLiteral("B23"));
        QCOMPARE(edit->text(), QStringLiteral("B2"));

        // A longer stored number is shown whole; it can be shortened but not lengthened.
        Tfrm_SetNo longer(nullptr, QStringLiteral("ABCD"));
        longer.show();
        edit = longer.ui()->Edit1;
        edit->setFocus();
        edit->end(false);
        QTest::keyClicks(edit, QStringLiteral("E"));
        QCOMPARE(edit->text(), QStringLiteral("ABCD"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QCOMPARE(edit->text(), QStringLiteral("AB"));
        QTest::keyClicks(edit, QStringLiteral("C"));
        QCOMPARE(edit->text(), QStringLiteral("AB"));

        // A paste keeps what fits.
        edit->clear();
        edit->insert(QStringLiteral("XYZ"));
        QCOMPARE(edit->text(), QStringLiteral("XY"));
    }

    void enterAndEscapeDoNotClose()
    {
        ScriptedPrompter prompter;
        Tfrm_SetNo dialog(nullptr, QStringLiteral("A1"));
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("设置编号"));
        QCOMPARE(dialog.size(), QSize(270, 133));
        QTest::keyClick(dialog.ui()->Edit1, Qt::Key_Return);
        QTest::keyClick(dialog.ui()->Edit1, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QVERIFY(prompter.calls.isEmpty());
        dialog.ui()->Button2->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void commandWritesAConfirmedNumberOncePerValue()
    {
        TestInstall install;
        ScriptedPrompter prompter;
        TfrmMain w(install.folder());
        QString answer;
        bool ok = true;
        QStringList shown;
        prompter.onModal = [&](QDialog *d) {
            auto *dialog = static_cast<Tfrm_SetNo *>(d);
            shown << dialog->number();
            if (!answer.isNull())
                dialog->ui()->Edit1->setText(answer);
            (ok ? dialog->ui()->Button1 : dialog->ui()->Button2)->click();
            return d->result();
        };
        const QString file = install.settingsPath();

        ok = false; // cancel: the file is not touched
        w.SetNoN->trigger();
        QVERIFY(!QFile::exists(file));

        ok = true; // OK at once writes the default
        w.SetNoN->trigger();
        QCOMPARE(shown, (QStringList{QStringLiteral("A1"), QStringLiteral("A1")}));
        QCOMPARE(ProfileFile(file).readString(QStringLiteral("KZ"), QStringLiteral("NO"), QString()),
                 QStringLiteral("A1"));

        // The same number again is not written: a change made meanwhile survives.
        Settings::writeHospitalNo(QStringLiteral("Z9"));
        answer = QStringLiteral("A1");
        w.SetNoN->trigger();
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("Z9"));

        answer = QStringLiteral("院");
        w.SetNoN->trigger();
        QCOMPARE(Settings::readHospitalNo(), QStringLiteral("院"));
        QCOMPARE(w.ReadHospitalNo(), QStringLiteral("院")); // what the next customer number uses
        QVERIFY(prompter.texts(QStringLiteral("error")).isEmpty());
    }
};

QTEST_MAIN(TestSetNo)
#include "tst_setno.moc"
