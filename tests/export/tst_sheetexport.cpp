// Comparison sheets leaving the program: PDF, picture files, the printer; consent, personal
// data, metadata and the audit log.

#include "align/SyntheticFace.h"
#include "export/MetadataCheck.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include "consent/Consent.h"
#include "data/AppError.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "export/Sheet.h"
#include "export/SheetExport.h"
#include "widgets/ProgramFont.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QSqlQuery>
#include <QtTest>

namespace {

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return QStringLiteral("<%1 failed: %2>").arg(program, QString::fromUtf8(p.readAllStandardError()));
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

class TestSheetExport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void pdfPagesPaperAndText();
    void pictureFilesHaveTheirSizeAndNoMetadata();
    void consentDecidesWhatMayLeave();
    void unalignedPicturesAreFittedToTheirCells();
    void eyeBarsAreBurntIntoThePixels();
    void printingToAPdfPrinterIsRecorded();
    void theWatermarkIsKeptInTheSettingsFile();

private:
    QSqlDatabase db() const { return QSqlDatabase::database(DataMod->ADOConn); }
    Sheet::Request request(Sheet::Purpose purpose, int pairs = 1) const;
    int events(const QString &code) const;
    std::unique_ptr<TestInstall> m_install;
    QTemporaryDir m_out;
    qint64 m_case = 0, m_case2 = 0;
    QString m_before, m_after;
};

void TestSheetExport::initTestCase()
{
    installFontSubstitutes();
}

void TestSheetExport::init()
{
    BELCARA_SKIP_WITHOUT_ENGINE();
    m_install = std::make_unique<TestInstall>();
    m_install->exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070001','张三')"));
    m_install->exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术小类) VALUES "
                                   "('A1200612070001','眼部','双眼皮'), ('A1200612070001','鼻部','隆鼻')"));
    m_case = m_install->scalar(QStringLiteral("SELECT MIN(id) FROM Surgery")).toLongLong();
    m_case2 = m_install->scalar(QStringLiteral("SELECT MAX(id) FROM Surgery")).toLongLong();
    // A camera picture: EXIF with a GPS position and a comment.
    const QString folder = m_install->folder() + QStringLiteral("pic/A1200612070001/");
    QDir().mkpath(folder);
    const SyntheticFace::Face face = SyntheticFace::draw(QSize(1200, 1500));
    QByteArray plain;
    QBuffer buffer(&plain);
    buffer.open(QIODevice::WriteOnly);
    face.picture.save(&buffer, "JPEG", 90);
    m_before = folder + QStringLiteral("before.jpg");
    m_after = folder + QStringLiteral("after.jpg");
    for (const QString &path : {m_before, m_after}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(MetadataCheck::withExifAndGps(plain));
    }
}

void TestSheetExport::cleanup()
{
    m_install.reset();
}

Sheet::Request TestSheetExport::request(Sheet::Purpose purpose, int pairs) const
{
    Sheet::Request r;
    r.purpose = purpose;
    r.customerNo = QStringLiteral("A1200612070001");
    r.customerName = QStringLiteral("张三");
    for (int i = 0; i < pairs; ++i) {
        Sheet::Pair p;
        for (bool after : {false, true}) {
            CasePicture &c = after ? p.after : p.before;
            c.after = after;
            c.path = after ? m_after : m_before;
            c.stored = after ? QStringLiteral("A1200612070001\\after.jpg")
                             : QStringLiteral("A1200612070001\\before.jpg");
            c.caseId = i == 0 ? m_case : m_case2;
            c.customerNo = QStringLiteral("A1200612070001");
            c.major = i == 0 ? QStringLiteral("眼部") : QStringLiteral("鼻部");
            c.minor = i == 0 ? QStringLiteral("双眼皮") : QStringLiteral("隆鼻");
            c.surgeryDate = QDate(2026, 3, 1);
            c.setDateTaken(after ? QDate(2026, 6, 2) : QDate(2026, 3, 1));
        }
        p.alignment = Align::Similarity(1.02, 2.0, QPointF(-10, 4));
        r.pairs.append(p);
    }
    return r;
}

int TestSheetExport::events(const QString &code) const
{
    return m_install->scalar(QStringLiteral("SELECT COUNT(*) FROM AuditLog WHERE Action = '%1'").arg(code)).toInt();
}

void TestSheetExport::pdfPagesPaperAndText()
{
    Consent::write(db(), m_case, QStringLiteral("A1200612070001"), {Consent::Level::Publicity, {}, {}});
    Consent::write(db(), m_case2, QStringLiteral("A1200612070001"), {Consent::Level::Publicity, {}, {}});
    // Two pairs side by side: a page each; publicity: no name, no number, anywhere in the text.
    Sheet::Request r = request(Sheet::Purpose::Publicity, 2);
    r.showDates = true;
    r.watermark.text = QStringLiteral("丽颜医疗美容");
    SheetExport::Output out;
    out.path = m_out.filePath(QStringLiteral("sheet.pdf"));
    QCOMPARE(SheetExport::exportSheet(db(), r, out), QStringList{out.path});
    const QString info = run(QStringLiteral("pdfinfo"), {out.path});
    QVERIFY2(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+2\\n"))), qPrintable(info));
    QVERIFY2(info.contains(QRegularExpression(QStringLiteral("Page size:\\s+595[.0-9]* x 84[12][.0-9]* pts \\(A4\\)"))),
             qPrintable(info));
    const QString text = run(QStringLiteral("pdftotext"), {out.path, QStringLiteral("-")});
    for (const QString &label : {QStringLiteral("术前"), QStringLiteral("术后"), QStringLiteral("眼部 / 双眼皮"),
                                 QStringLiteral("鼻部 / 隆鼻"), QStringLiteral("2026-03-01"),
                                 QStringLiteral("术后 3 个月"), QStringLiteral("丽颜医疗美容")})
        QVERIFY2(text.contains(label), qPrintable(label + QStringLiteral(" missing in: ") + text));
    QVERIFY(!text.contains(QStringLiteral("张三")));
    QVERIFY(!text.contains(QStringLiteral("A1200612070001")));
    // Four pictures, each at 300 dots per inch on the page (they have more pixels than that).
    const QStringList images = run(QStringLiteral("pdfimages"), {QStringLiteral("-list"), out.path})
                                   .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                   .mid(2);
    QCOMPARE(images.size(), 4);
    for (const QString &line : images) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        QVERIFY2(std::abs(f.value(12).toDouble() - 300) < 3, qPrintable(line)); // x-ppi
    }
    QVERIFY(!MetadataCheck::bytesOf(out.path).contains("A1200612070001"));
    QVERIFY(!MetadataCheck::bytesOf(out.path).contains("CamMake"));

    // The internal archive: Letter landscape, three pairs in one grid page, the footer names the
    // customer.
    Sheet::Request internal = request(Sheet::Purpose::Internal, 3);
    internal.layout = Sheet::Layout::Grid;
    out.paper = SheetExport::Paper::Letter;
    out.landscape = true;
    out.path = m_out.filePath(QStringLiteral("archive.pdf"));
    SheetExport::exportSheet(db(), internal, out);
    const QString info2 = run(QStringLiteral("pdfinfo"), {out.path});
    QVERIFY2(info2.contains(QRegularExpression(QStringLiteral("Pages:\\s+1\\n"))), qPrintable(info2));
    QVERIFY2(info2.contains(QRegularExpression(QStringLiteral("Page size:\\s+792 x 612 pts \\(letter\\)"))),
             qPrintable(info2));
    const QString text2 = run(QStringLiteral("pdftotext"), {out.path, QStringLiteral("-")});
    QVERIFY2(text2.contains(QStringLiteral("张三")) && text2.contains(QStringLiteral("A1200612070001")),
             qPrintable(text2));
    QCOMPARE(text2.count(QStringLiteral("术前")), 3);

    // Each export left its events, one per case, naming the purpose, pictures and file.
    QCOMPARE(events(QStringLiteral("sheet-exported")), 2 + 2);
    const QString detail = m_install
                               ->scalar(QStringLiteral(
                                   "SELECT Detail FROM AuditLog WHERE Action = 'sheet-exported' ORDER BY id LIMIT 1"))
                               .toString();
    QVERIFY2(detail.contains(QStringLiteral("宣传发布")) && detail.contains(QStringLiteral("sheet.pdf"))
                 && detail.contains(QStringLiteral("before.jpg")),
             qPrintable(detail));
    QVERIFY(!detail.contains(QStringLiteral("张三")));
}

void TestSheetExport::pictureFilesHaveTheirSizeAndNoMetadata()
{
    // The source carries EXIF, GPS and a comment ...
    const QStringList source = MetadataCheck::jpegSegments(MetadataCheck::bytesOf(m_before));
    QVERIFY2(source.contains(QStringLiteral("APP1:Exif")) && source.contains(QStringLiteral("COM")),
             qPrintable(source.join(' ')));
    QVERIFY(MetadataCheck::bytesOf(m_before).contains(QByteArray::fromHex("2588"))); // the GPS tag

    Sheet::Request r = request(Sheet::Purpose::Internal, 2);
    SheetExport::Output out;
    out.format = SheetExport::Format::Jpeg;
    out.width = 1080;
    out.path = m_out.filePath(QStringLiteral("sheet.jpg"));
    const QStringList files = SheetExport::exportSheet(db(), r, out);
    QCOMPARE(files, (QStringList{out.path, m_out.filePath(QStringLiteral("sheet-2.jpg"))}));
    for (const QString &f : files) {
        QCOMPARE(QImageReader(f).size().width(), 1080);
        // ... the sheet nothing but the JFIF header, tables and pixels.
        const QStringList segments = MetadataCheck::jpegSegments(MetadataCheck::bytesOf(f));
        for (const QString &s : segments)
            QVERIFY2(s == QStringLiteral("APP0:JFIF") || !s.startsWith(QStringLiteral("APP")),
                     qPrintable(segments.join(' ')));
        QVERIFY2(!segments.contains(QStringLiteral("COM")), qPrintable(segments.join(' ')));
        QCOMPARE(segments.last(), QStringLiteral("SOS"));
    }

    // PNG at the pictures' own size: two 1200-pixel columns and the margins around them.
    out.format = SheetExport::Format::Png;
    out.width = 0;
    out.path = m_out.filePath(QStringLiteral("full.png"));
    r.pairs.resize(1);
    SheetExport::exportSheet(db(), r, out);
    const QSize size = QImageReader(out.path).size();
    QVERIFY2(size.width() >= 2400 && size.width() < 2700, qPrintable(QString::number(size.width())));
    QVERIFY(size.height() > 1500);
    const QStringList chunks = MetadataCheck::pngChunks(MetadataCheck::bytesOf(out.path));
    const QStringList harmless{QStringLiteral("IHDR"), QStringLiteral("IDAT"), QStringLiteral("IEND"),
                               QStringLiteral("pHYs")};
    for (const QString &c : chunks)
        QVERIFY2(harmless.contains(c), qPrintable(chunks.join(' ')));
}

void TestSheetExport::consentDecidesWhatMayLeave()
{
    SheetExport::Output out;
    out.path = m_out.filePath(QStringLiteral("refused.pdf"));
    const Sheet::Request publicity = request(Sheet::Purpose::Publicity);
    const Sheet::Request toCustomer = request(Sheet::Purpose::Customer);
    for (Consent::Level level : {Consent::Level::RecordOnly, Consent::Level::MayShow}) {
        Consent::write(db(), m_case, QStringLiteral("A1200612070001"), {level, {}, {}});
        try {
            SheetExport::exportSheet(db(), publicity, out);
            QFAIL("exported without consent");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(Consent::label(level)), qPrintable(e.text()));
        }
        QVERIFY(!QFile::exists(out.path));
    }
    QCOMPARE(events(QStringLiteral("sheet-exported")), 0);
    QCOMPARE(events(QStringLiteral("sheet-refused")), 2);
    // The internal archive needs none, nor does the customer's own copy of her photos; but that
    // copy carries no photo of anyone else.
    SheetExport::exportSheet(db(), request(Sheet::Purpose::Internal), out);
    QVERIFY(QFile::exists(out.path));
    out.path = m_out.filePath(QStringLiteral("hers.pdf"));
    SheetExport::exportSheet(db(), toCustomer, out);
    QVERIFY(QFile::exists(out.path));
    Sheet::Request withAnother = toCustomer;
    withAnother.pairs[0].after.customerNo = QStringLiteral("A1200612070002");
    out.path = m_out.filePath(QStringLiteral("another.pdf"));
    QVERIFY_THROWS_EXCEPTION(AppError, SheetExport::exportSheet(db(), withAnother, out));
    QVERIFY(!QFile::exists(out.path));
    QCOMPARE(events(QStringLiteral("sheet-refused")), 3);
    // At "可用于宣传" every purpose may go.
    Consent::write(db(), m_case, QStringLiteral("A1200612070001"), {Consent::Level::Publicity, {}, {}});
    out.path = m_out.filePath(QStringLiteral("allowed.pdf"));
    SheetExport::exportSheet(db(), publicity, out);
    QVERIFY(QFile::exists(out.path));
    QCOMPARE(events(QStringLiteral("sheet-exported")), 3);
    // Each picture answers for its own case: an after picture of the other, record-only case
    // keeps the pair in.
    Sheet::Request mixed = publicity;
    mixed.pairs[0].after.caseId = m_case2;
    out.path = m_out.filePath(QStringLiteral("mixed.pdf"));
    QVERIFY_THROWS_EXCEPTION(AppError, SheetExport::exportSheet(db(), mixed, out));
    QVERIFY(!QFile::exists(out.path));
    QCOMPARE(SheetExport::defaultPurpose(db(), mixed), Sheet::Purpose::Internal);
}

void TestSheetExport::unalignedPicturesAreFittedToTheirCells()
{
    // Left half blue, right half green: a picture enlarged to a corner shows one colour only.
    auto picture = [this](const QString &name, QSize size, QColor left, QColor right) {
        QImage image(size, QImage::Format_RGB32);
        QPainter p(&image);
        p.fillRect(QRect(0, 0, size.width() / 2, size.height()), left);
        p.fillRect(QRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height()), right);
        p.end();
        const QString path = m_install->folder() + name;
        image.save(path, "BMP");
        return path;
    };
    const QColor red(220, 0, 0), blue(0, 0, 220), green(0, 200, 0);
    auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) < 60;
    };
    for (const auto &[beforeSize, afterSize] :
         {std::pair{QSize(910, 1137), QSize(273, 341)}, std::pair{QSize(364, 455), QSize(1109, 1334)}}) {
        Sheet::Request r = request(Sheet::Purpose::Internal);
        Sheet::Pair &pair = r.pairs[0];
        pair.alignment.reset();
        pair.before.path = picture(QStringLiteral("b%1.bmp").arg(beforeSize.width()), beforeSize, red, red);
        pair.after.path = picture(QStringLiteral("a%1.bmp").arg(afterSize.width()), afterSize, blue, green);
        const QImage page = SheetExport::renderPageImage(r, 0, 1200);
        const Sheet::PlacedPair placed = Sheet::placePage(r, 0, QRectF(QPointF(0, 0), QSizeF(page.size()))).value(0);
        const QString what = QStringLiteral("%1x%2 with %3x%4")
                                 .arg(beforeSize.width())
                                 .arg(beforeSize.height())
                                 .arg(afterSize.width())
                                 .arg(afterSize.height());
        // Both pictures whole in their cells, each filling it (up to the difference in shape).
        for (const QPointF &f : {QPointF(0.1, 0.06), QPointF(0.9, 0.94), QPointF(0.5, 0.5)})
            QVERIFY2(near(page.pixelColor((placed.before.topLeft()
                                           + QPointF(placed.before.width() * f.x(), placed.before.height() * f.y()))
                                              .toPoint()),
                          red),
                     qPrintable(what));
        auto after = [&](double x, double y) {
            return page.pixelColor(
                (placed.after.topLeft() + QPointF(placed.after.width() * x, placed.after.height() * y)).toPoint());
        };
        for (double y : {0.06, 0.5, 0.94}) {
            QVERIFY2(near(after(0.1, y), blue), qPrintable(what));
            QVERIFY2(near(after(0.9, y), green), qPrintable(what));
        }
    }

    // Aligned, the after picture is laid into the before picture's frame; where it does not
    // cover, the background shows, never the before picture.
    Sheet::Pair pair = request(Sheet::Purpose::Internal).pairs[0];
    pair.before.path = picture(QStringLiteral("b.bmp"), QSize(400, 500), red, red);
    pair.after.path = picture(QStringLiteral("a.bmp"), QSize(400, 500), blue, blue);
    pair.alignment = Align::Similarity(1.0, 0.0, QPointF(200, 0));
    const QImage cell = Sheet::renderCell(pair, true, QSize(400, 500));
    QCOMPARE(cell.pixelColor(100, 250), QColor(255, 255, 255));
    QVERIFY(near(cell.pixelColor(300, 250), blue));
}

void TestSheetExport::eyeBarsAreBurntIntoThePixels()
{
    Sheet::Pair p = request(Sheet::Purpose::Internal).pairs.first();
    p.crop = QRectF(100, 300, 1000, 800);
    p.alignment = Align::Similarity();
    const QRectF bar(300, 600, 600, 100); // before-picture pixels
    p.beforeBars = {QPolygonF(bar)};
    const QImage before = Sheet::renderCell(p, false, QSize(500, 400));
    QCOMPARE(before.size(), QSize(500, 400));
    // The bar at half scale, shifted by the crop: (100, 150)-(400, 200) in the cell.
    for (const QPoint &inside : {QPoint(102, 152), QPoint(250, 175), QPoint(397, 197)})
        QCOMPARE(before.pixelColor(inside), QColor(0, 0, 0));
    for (const QPoint &outside : {QPoint(96, 175), QPoint(250, 145), QPoint(250, 206)})
        QVERIFY(before.pixelColor(outside) != QColor(0, 0, 0));
    // The after picture has no bar of its own here.
    const QImage after = Sheet::renderCell(p, true, QSize(500, 400));
    QVERIFY(after.pixelColor(250, 175) != QColor(0, 0, 0));
    // A turned bar is burnt as it lies, not as the rectangle around it.
    p.beforeBars = {QPolygonF({QPointF(600, 400), QPointF(800, 600), QPointF(600, 800), QPointF(400, 600)})};
    const QImage turned = Sheet::renderCell(p, false, QSize(500, 400));
    QCOMPARE(turned.pixelColor(250, 150), QColor(0, 0, 0));
    QVERIFY(turned.pixelColor(160, 60) != QColor(0, 0, 0));
    // Never drawn above the picture's own resolution.
    QCOMPARE(Sheet::renderCell(p, false, QSize(4000, 3200)).size(), QSize(1000, 800));
}

void TestSheetExport::printingToAPdfPrinterIsRecorded()
{
    Consent::write(db(), m_case, QStringLiteral("A1200612070001"), {Consent::Level::Publicity, {}, {}});
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(m_out.filePath(QStringLiteral("printed.pdf")));
    printer.setPageSize(QPageSize(QPageSize::A4));
    SheetExport::printSheet(db(), request(Sheet::Purpose::Publicity), printer);
    const QString text = run(QStringLiteral("pdftotext"), {printer.outputFileName(), QStringLiteral("-")});
    QVERIFY2(text.contains(QStringLiteral("术后")) && text.contains(QStringLiteral("眼部 / 双眼皮")), qPrintable(text));
    QCOMPARE(events(QStringLiteral("sheet-printed")), 1);
    const QString detail = m_install
                               ->scalar(QStringLiteral("SELECT Detail FROM AuditLog WHERE Action = 'sheet-printed'"))
                               .toString();
    QVERIFY2(detail.contains(QStringLiteral("printed.pdf")), qPrintable(detail));
    QCOMPARE(m_install->scalar(QStringLiteral("SELECT CaseId FROM AuditLog WHERE Action = 'sheet-printed'"))
                 .toLongLong(),
             m_case);

    // Refused below consent: nothing printed, nothing recorded.
    Consent::write(db(), m_case, QStringLiteral("A1200612070001"), {Consent::Level::MayShow, {}, {}});
    printer.setOutputFileName(m_out.filePath(QStringLiteral("print-refused.pdf")));
    QVERIFY_THROWS_EXCEPTION(AppError, SheetExport::printSheet(db(), request(Sheet::Purpose::Publicity), printer));
    QVERIFY(!QFile::exists(printer.outputFileName()));
    QCOMPARE(events(QStringLiteral("sheet-printed")), 1);
}

void TestSheetExport::theWatermarkIsKeptInTheSettingsFile()
{
    Settings::writeHospitalNo(QStringLiteral("B7"));
    Sheet::Watermark w;
    w.text = QStringLiteral(" 丽颜 医疗美容 "); // blanks at the ends survive
    w.logoPath = m_install->folder() + QStringLiteral("logo.png");
    w.corner = Sheet::Corner::TopLeft;
    w.opacity = 0.6;
    SheetExport::writeWatermark(w);
    const Sheet::Watermark back = SheetExport::readWatermark();
    QCOMPARE(back.text, w.text);
    QCOMPARE(back.logoPath, w.logoPath);
    QCOMPARE(back.corner, Sheet::Corner::TopLeft);
    QCOMPARE(back.opacity, 0.6);
    QCOMPARE(Settings::readHospitalNo(), QStringLiteral("B7")); // the other section untouched
    // Values out of range read as the defaults, not as a corner or opacity that does not exist.
    Settings::writeString(QStringLiteral("Watermark"), QStringLiteral("Corner"), QStringLiteral("9"));
    Settings::writeString(QStringLiteral("Watermark"), QStringLiteral("Opacity"), QStringLiteral("250"));
    QCOMPARE(SheetExport::readWatermark().corner, Sheet::Corner::BottomRight);
    QCOMPARE(SheetExport::readWatermark().opacity, Sheet::Watermark().opacity);
}

QTEST_MAIN(TestSheetExport)
#include "tst_sheetexport.moc"
