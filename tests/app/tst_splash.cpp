// Start-up pieces that only show in the real program: the splash picture compiled into the
// program, and Qt's own dialogs and buttons speaking Chinese.
#include "app/Belcara.h"
#include "app/Unit_Logo.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TestSplash : public QObject {
    Q_OBJECT

private slots:
    void splashShowsItsPicture()
    {
        TfrmLogo logo;
        auto *image = logo.findChild<QLabel *>(QStringLiteral("Image1"));
        QVERIFY(image);
        const QPixmap shown = image->pixmap();
        QVERIFY2(!shown.isNull(), "the splash picture is not in the program's resources");
        const QSize expected = QImageReader(QStringLiteral(BELCARA_SOURCE_DIR "/resources/splash.jpg")).size();
        QVERIFY(expected.isValid());
        QCOMPARE(shown.size(), expected);
        // Not a black picture: the splash shows something.
        const QImage img = shown.toImage();
        int lit = 0;
        for (int y = 0; y < img.height(); y += 8)
            for (int x = 0; x < img.width(); x += 8)
                lit += qGray(img.pixel(x, y)) > 32;
        QVERIFY(lit > 0);
    }

    void qtDialogsSpeakChinese()
    {
        QVERIFY2(installQtTranslation(*qApp), "Qt's Chinese translation (qt6-translations-l10n) is not installed");
        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Yes
                             | QDialogButtonBox::No);
        QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
        QVERIFY(box.button(QDialogButtonBox::Yes)->text().startsWith(QStringLiteral("是")));
        QVERIFY(box.button(QDialogButtonBox::No)->text().startsWith(QStringLiteral("否")));
        // The open-file dialog Qt draws itself: its labels and buttons.
        QFileDialog dialog(nullptr, QString(), QDir::tempPath());
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        QStringList texts;
        for (const QLabel *l : dialog.findChildren<QLabel *>())
            texts << l->text();
        for (const QPushButton *b : dialog.findChildren<QPushButton *>())
            texts << b->text();
        const QString all = texts.join(QLatin1Char('|'));
        QVERIFY2(!all.contains(QLatin1String("File name")) && !all.contains(QLatin1String("Cancel")), qPrintable(all));
        QVERIFY2(all.contains(QStringLiteral("文件名")) && all.contains(QStringLiteral("取消")), qPrintable(all));
    }
};

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
