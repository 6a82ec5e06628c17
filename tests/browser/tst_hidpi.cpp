// Pictures on high-density screens. The test runs once per device pixel ratio (ctest sets
// QT_SCALE_FACTOR to 1, 1.5 and 2), and once on two screens of ratios 1 and 2 side by side.
// A frame's preview has the frame's size in device pixels, so fine detail is drawn pixel for
// pixel instead of being stretched; moving to another screen decodes again for its pixels.
#include "data/Settings.h"
#include "pictures/PictureLoader.h"
#include "pictures/PreviewService.h"
#include "support/ScriptedPrompter.h"
#include "browser/Unit_PanelImage.h"
#include "widgets/Unit_ShowLarImage.h"

#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Vertical black and white stripes, `period` pixels per pair: the finest detail survives only a
// decode at the size it is drawn at.
QImage stripes(QSize size, int period)
{
    QImage img(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = (x % period) < period / 2 ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
    }
    return img;
}

// The mean difference of horizontally neighbouring grey levels along the middle row: how much
// edge a picture still has.
double edgeContrast(const QImage &image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const uchar *row = grey.constScanLine(grey.height() / 2);
    double sum = 0;
    for (int x = 1; x < grey.width(); ++x)
        sum += std::abs(int(row[x]) - int(row[x - 1]));
    return sum / (grey.width() - 1);
}

} // namespace

class TestHiDpi : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<ScriptedPrompter> m_prompter;

    // A frame of `logical` size in a window of its own, showing the picture at `path`, with its
    // preview arrived.
    struct Shown {
        QWidget host;
        TPanelImage *frame = nullptr;
    };
    std::unique_ptr<Shown> show(const QString &path, QSize logical, QPoint at = QPoint(0, 0))
    {
        auto s = std::make_unique<Shown>();
        s->host.setGeometry(QRect(at, logical));
        s->frame = new TPanelImage(&s->host);
        s->frame->Panel->setGeometry(0, 0, logical.width(), logical.height());
        s->frame->LoadPicture(path);
        s->host.show();
        if (!QTest::qWaitForWindowExposed(&s->host))
            return nullptr;
        waitForPreview(*s->frame);
        return s;
    }
    static void waitForPreview(TPanelImage &frame)
    {
        // The preview arrives after the paint that notices the ratio; give both time.
        for (int i = 0; i < 3; ++i) {
            QTest::qWait(20);
            PreviewService::shared().waitForDone();
            QCoreApplication::processEvents();
        }
        QTRY_VERIFY(frame.Image->hasPicture());
    }

private slots:
    void init()
    {
        m_prompter = std::make_unique<ScriptedPrompter>();
        Settings::setPath(m_dir.filePath(QStringLiteral("Belcara.ini")));
        PreviewService::shared().setCacheRoot(m_dir.filePath(QStringLiteral("thumbnails")));
    }
    void cleanup()
    {
        PreviewService::shared().waitForDone();
        m_prompter.reset();
    }

    void previewHasTheFramesDevicePixels()
    {
        const QString path = m_dir.filePath(QStringLiteral("big.jpg"));
        QVERIFY(stripes(QSize(2400, 1800), 16).save(path, "JPG", 95));
        auto s = show(path, QSize(404, 304));
        QVERIFY(s);
        TPictureControl *image = s->frame->Image;
        const qreal ratio = s->host.screen()->devicePixelRatio();
        QCOMPARE(image->devicePixelRatioF(), ratio);
        // The frame keeps its logical geometry; only its pixels follow the screen.
        QVERIFY(s->frame->Panel->rect().contains(image->geometry()));
        QVERIFY(image->width() > 380);
        QCOMPARE(image->picture().size(), image->size() * ratio);
    }

    void fineDetailStaysSharp()
    {
        // Stripes of 4 device pixels when drawn: a decode for the logical size halves them to 2
        // and blurs them when stretched back.
        const QString path = m_dir.filePath(QStringLiteral("stripes.bmp"));
        QVERIFY(stripes(QSize(1200, 800), 8).save(path, "BMP"));
        auto s = show(path, QSize(304, 204));
        QVERIFY(s);
        const qreal ratio = s->host.screen()->devicePixelRatio();
        if (ratio < 2)
            QSKIP("needs a screen of ratio 2");
        const QSize logical = s->frame->Image->size();
        const QSize device = logical * ratio;
        const QImage drawn = s->frame->Image->grab().toImage();
        QCOMPARE(drawn.size(), device);

        const double shown = edgeContrast(drawn);
        const double direct = edgeContrast(
            PictureLoader::loadPreview(path, device).scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        const double stretched = edgeContrast(PictureLoader::loadPreview(path, logical)
                                                  .scaled(logical, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                                  .scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        const QByteArray figures = QByteArray::number(shown) + " shown, " + QByteArray::number(direct) + " direct, "
                                   + QByteArray::number(stretched) + " stretched";
        QVERIFY2(shown >= 0.9 * direct, figures.constData());
        QVERIFY2(shown >= 1.5 * stretched, figures.constData());
    }

    void largeWindowKeepsTheNaturalSizeFromTheFullPicture()
    {
        const QString path = m_dir.filePath(QStringLiteral("large.jpg"));
        QVERIFY(stripes(QSize(1200, 900), 16).save(path, "JPG", 95));
        auto s = show(path, QSize(301, 226));
        QVERIFY(s);
        QSize pixmap, client;
        m_prompter->onModal = [&](QDialog *d) {
            auto *w = qobject_cast<TfrmLarImage *>(d);
            if (w) {
                pixmap = w->Image1->pixmap().size();
                client = w->size();
            }
            return int(QDialog::Accepted);
        };
        s->frame->ImageClick();
        QCOMPARE(client, QSize(1200, 900));
        QCOMPARE(pixmap, QSize(1200, 900));
    }

    // Two screens side by side, ratios 1 and 2: a window moved across decodes its picture again
    // for the pixels of the screen it is on, either way.
    void movingBetweenScreensDecodesForTheNewRatio()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (screens.size() < 2 || screens[0]->devicePixelRatio() == screens[1]->devicePixelRatio())
            QSKIP("needs two screens of different ratios");
        const QString path = m_dir.filePath(QStringLiteral("move.jpg"));
        QVERIFY(stripes(QSize(2400, 1800), 16).save(path, "JPG", 95));
        auto s = show(path, QSize(404, 304), screens[0]->geometry().topLeft() + QPoint(10, 10));
        QVERIFY(s);
        TPictureControl *image = s->frame->Image;
        const QSize logical = image->size();
        QCOMPARE(image->picture().size(), logical * screens[0]->devicePixelRatio());
        for (QScreen *to : {screens[1], screens[0]}) {
            s->host.move(to->geometry().topLeft() + QPoint(10, 10));
            QTRY_COMPARE(s->host.screen(), to);
            s->host.update();
            QTRY_COMPARE_WITH_TIMEOUT(image->picture().size(), logical * to->devicePixelRatio(), 5000);
        }
    }
};

QTEST_MAIN(TestHiDpi)
#include "tst_hidpi.moc"
