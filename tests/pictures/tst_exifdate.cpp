#include "pictures/ExifDate.h"
#include "pictures/PictureLoader.h"
#include "support/ExifPhoto.h"

#include <QTemporaryDir>
#include <QtTest>

#include <optional>

using ExifPhoto::payload;
using ExifPhoto::segment;

static QByteArray jpegWith(const QByteArray &segments)
{
    return ExifPhoto::jpeg(segments);
}

class TestExifDate : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void dateTaken_data();
    void dateTaken();
    void malformedFilesGiveNothingAndNeverCrash();
    void afterSurgeryText_data();
    void afterSurgeryText();
};

void TestExifDate::dateTaken_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QDate>("expected");

    const QByteArray app0 = segment(0xE0, QByteArray("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
    for (bool big : {false, true}) {
        const char *order = big ? "big-endian" : "little-endian";
        QTest::addRow("%s: original wins over the changed date", order)
            << jpegWith(segment(0xE1, payload(big, "2024:06:30 10:00:00", "2023:01:15 09:30:12")))
            << QDate(2023, 1, 15);
        QTest::addRow("%s: only the changed date", order)
            << jpegWith(segment(0xE1, payload(big, "2022:12:31 23:59:59", {}))) << QDate(2022, 12, 31);
        QTest::addRow("%s: after JFIF and an XMP segment", order)
            << jpegWith(app0 + segment(0xE1, "http://ns.adobe.com/xap/1.0/\0<x/>")
                        + segment(0xE1, payload(big, {}, "2021:02:28 08:00:00")))
            << QDate(2021, 2, 28);
        // A camera without a set clock: the original is unusable, the changed date is used.
        QTest::addRow("%s: zero original, changed date used", order)
            << jpegWith(segment(0xE1, payload(big, "2020:05:05 05:05:05", "0000:00:00 00:00:00"))) << QDate(2020, 5, 5);
    }
    // clang-format off
    QTest::newRow("blank dates")
        << jpegWith(segment(0xE1, payload(false, "    :  :     :  :  ", "    :  :     :  :  "))) << QDate();
    QTest::newRow("30 February") << jpegWith(segment(0xE1, payload(true, {}, "2023:02:30 12:00:00"))) << QDate();
    QTest::newRow("no Exif at all") << jpegWith(app0) << QDate();
    QTest::newRow("not a JPEG") << QByteArray("BM this is a bitmap header and more") << QDate();
    QTest::newRow("empty file") << QByteArray() << QDate();
    // clang-format on
}

void TestExifDate::dateTaken()
{
    QFETCH(QByteArray, file);
    QFETCH(QDate, expected);
    const QString path = write(QStringLiteral("photo.jpg"), file);
    const std::optional<QDate> taken = ExifDate::dateTaken(path);
    QCOMPARE(taken.value_or(QDate()), expected);
    if (!expected.isValid())
        QVERIFY(!taken.has_value());
    // The picture itself still decodes: the segments built here are ones cameras really write.
    if (file.startsWith("\xFF\xD8"))
        QVERIFY(!PictureLoader::loadPreview(path, QSize(16, 8)).isNull());
}

void TestExifDate::malformedFilesGiveNothingAndNeverCrash()
{
    QVERIFY(!ExifDate::dateTaken(m_dir.filePath(QStringLiteral("missing.jpg"))).has_value());
    QVERIFY(!ExifDate::dateTaken(m_dir.path()).has_value());

    // Every truncation and every single-byte change of a good file: either nothing or a real
    // date, and no read outside the bytes (the sanitizer build checks that).
    const QByteArray good = jpegWith(segment(0xE1, payload(true, "2022:12:31 23:59:59", "2023:01:15 09:30:12")));
    const QString path = m_dir.filePath(QStringLiteral("bad.jpg"));
    int dates = 0;
    auto check = [&](const QByteArray &bytes) {
        write(QStringLiteral("bad.jpg"), bytes);
        const std::optional<QDate> taken = ExifDate::dateTaken(path);
        if (taken) {
            QVERIFY(taken->isValid());
            ++dates;
        }
        const std::optional<QDate> fromSegment = ExifDate::fromApp1(reinterpret_cast<const unsigned char *>(
                                                                        bytes.constData())
                                                                        + 6,
                                                                    std::size_t(qMax<qsizetype>(0, bytes.size() - 6)));
        QVERIFY(!fromSegment || fromSegment->isValid());
    };
    const int exifEnd = int(good.indexOf("\xFF\xDB"));
    QVERIFY(exifEnd > 0);
    for (int n = 0; n < exifEnd; ++n)
        check(good.left(n));
    for (int i = 2; i < exifEnd; ++i) {
        for (char value : {char(0x00), char(0xFF), char(0x7F)}) {
            QByteArray bytes = good;
            bytes[i] = value;
            check(bytes);
        }
    }
    QVERIFY(dates > 0); // changes to unrelated bytes still find the date
    // Offsets pointing far outside, and a directory claiming 65535 entries.
    QByteArray huge = good;
    const int tiff = int(huge.indexOf("MM"));
    huge[tiff + 8] = char(0xFF);
    huge[tiff + 9] = char(0xFF);
    check(huge);
    QVERIFY(!ExifDate::fromApp1(nullptr, 100).has_value());
}

void TestExifDate::afterSurgeryText_data()
{
    QTest::addColumn<QDate>("surgery");
    QTest::addColumn<QDate>("taken");
    QTest::addColumn<QString>("expected");

    // clang-format off
    QTest::newRow("same day") << QDate(2023, 3, 10) << QDate(2023, 3, 10) << QStringLiteral("术后 0 天");
    QTest::newRow("12 days") << QDate(2023, 3, 10) << QDate(2023, 3, 22) << QStringLiteral("术后 12 天");
    QTest::newRow("one month") << QDate(2023, 3, 10) << QDate(2023, 4, 10) << QStringLiteral("术后 1 个月");
    QTest::newRow("end of January to end of February")
        << QDate(2023, 1, 31) << QDate(2023, 2, 28) << QStringLiteral("术后 1 个月");
    QTest::newRow("3 months over a year end") << QDate(2022, 11, 20) << QDate(2023, 2, 25) << QStringLiteral("术后 3 个月");
    QTest::newRow("one year") << QDate(2022, 3, 10) << QDate(2023, 3, 10) << QStringLiteral("术后 1 年");
    QTest::newRow("leap day to a year later") << QDate(2020, 2, 29) << QDate(2021, 2, 28) << QStringLiteral("术后 1 年");
    QTest::newRow("1 year 2 months") << QDate(2021, 1, 5) << QDate(2022, 3, 20) << QStringLiteral("术后 1 年 2 个月");
    QTest::newRow("photo before surgery") << QDate(2023, 3, 10) << QDate(2023, 3, 9) << QString();
    QTest::newRow("no date taken") << QDate(2023, 3, 10) << QDate() << QString();
    // clang-format on
}

void TestExifDate::afterSurgeryText()
{
    QFETCH(QDate, surgery);
    QFETCH(QDate, taken);
    QFETCH(QString, expected);
    QCOMPARE(ExifDate::afterSurgeryText(surgery, taken), expected);
}

QTEST_GUILESS_MAIN(TestExifDate)
#include "tst_exifdate.moc"
