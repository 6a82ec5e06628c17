#include "data/PictureStore.h"

#include <QtTest>

#include <cerrno>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestPictureStore : public QObject {
    Q_OBJECT

private slots:
    void init();
    void fileNamePart_data();
    void fileNamePart();
    void importCopiesIntoCustomerFolder();
    void sameNameNeverReplacesAnotherPicture();
    void numberedName_data();
    void numberedName();
    void undoTakesBackWhatImportsAdded();
    void sameSourceTwiceGivesSameReference();
    void refusedImports_data();
    void refusedImports();
    void missingStoreRootCreatesNothing();
    void storedReferenceIsNotImportedAgain();
    void failedCopyLeavesOldFile_data();
    void failedCopyLeavesOldFile();
    void shortWritesStillCopyEverything();
    void resolveColumn_data();
    void resolveColumn();
    void leftoverCopiesRemovedAtStart();

private:
    QString writeFile(const QString &relative, const QByteArray &content);
    static QByteArray readAll(const QString &path);
    QStringList customerFolderEntries() const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_program; // the program folder, ending in "/"
    QString m_root;
};

static const QString Customer = QStringLiteral("A1200612070001");

QString TestPictureStore::writeFile(const QString &relative, const QByteArray &content)
{
    const QString path = m_dir->path() + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray TestPictureStore::readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList TestPictureStore::customerFolderEntries() const
{
    return QDir(m_root + Customer).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

void TestPictureStore::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_program = m_dir->path() + QStringLiteral("/prog/");
    m_root = PictureStore::storeRoot(m_program);
    QCOMPARE(m_root, m_program + QStringLiteral("pic/"));
    QVERIFY(QDir().mkpath(m_root));
}

void TestPictureStore::fileNamePart_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("name");
    // clang-format off
    QTest::newRow("windows path") << "D:\\Photos\\1.jpg" << "1.jpg";
    QTest::newRow("unix path") << "/home/x/Face Front.JPG" << "Face Front.JPG";
    QTest::newRow("drive only") << "C:1.jpg" << "1.jpg";
    QTest::newRow("mixed separators") << "/a\\b/c\\d.jpeg" << "d.jpeg";
    QTest::newRow("no folder") << "1.bmp" << "1.bmp";
    QTest::newRow("chinese name") << "/照片/术前.jpg" << "术前.jpg";
    QTest::newRow("ends in separator") << "/home/x/" << "";
    // clang-format on
}

void TestPictureStore::fileNamePart()
{
    QFETCH(QString, source);
    QFETCH(QString, name);
    QCOMPARE(PictureStore::fileNamePart(source), name);
}

void TestPictureStore::importCopiesIntoCustomerFolder()
{
    const QByteArray content = "picture bytes \0\x01\x02" + QByteArray(300000, 'x');
    const QString source = writeFile(QStringLiteral("Photos/1.jpg"), content);
    const QString ref = PictureStore::ImportPicture(m_root, source, Customer);
    QCOMPARE(ref, Customer + QStringLiteral("\\1.jpg"));
    QCOMPARE(readAll(m_root + Customer + QStringLiteral("/1.jpg")), content);
    QCOMPARE(PictureStore::resolveColumn(m_program, ref), m_root + Customer + QStringLiteral("/1.jpg"));
    // No temporary file is left behind, and the source is untouched.
    QCOMPARE(customerFolderEntries(), QStringList{QStringLiteral("1.jpg")});
    QCOMPARE(readAll(source), content);
    // The picture gets the ordinary permissions of a new file, not a temporary file's private ones.
    const mode_t old = ::umask(022);
    const QString other = writeFile(QStringLiteral("Photos/2.jpg"), "two");
    QVERIFY(!PictureStore::ImportPicture(m_root, other, Customer).isEmpty());
    ::umask(old);
    QVERIFY(QFileInfo(m_root + Customer + QStringLiteral("/2.jpg")).permissions() & QFileDevice::ReadOther);
}

void TestPictureStore::sameNameNeverReplacesAnotherPicture()
{
    const auto import = [this](const QString &source) { return PictureStore::ImportPicture(m_root, source, Customer); };
    const QString first = writeFile(QStringLiteral("a/face.jpg"), "first");
    const QString r1 = import(first);
    const QString r2 = import(writeFile(QStringLiteral("b/face.jpg"), "second, longer"));
    QCOMPARE(r1, Customer + QStringLiteral("\\face.jpg"));
    QCOMPARE(r2, Customer + QStringLiteral("\\face(2).jpg"));
    // The cases that name the first file keep their picture.
    QCOMPARE(readAll(PictureStore::resolveColumn(m_program, r1)), QByteArray("first"));
    QCOMPARE(readAll(PictureStore::resolveColumn(m_program, r2)), QByteArray("second, longer"));
    // The same content again, from wherever, gets the name it already has; new content the next.
    QCOMPARE(import(writeFile(QStringLiteral("c/face.jpg"), "second, longer")), r2);
    QCOMPARE(import(first), r1);
    // A folder in the way is passed over like a different picture.
    QVERIFY(QDir().mkpath(m_root + Customer + QStringLiteral("/face(3).jpg")));
    QCOMPARE(import(writeFile(QStringLiteral("d/face.jpg"), "fourth")), Customer + QStringLiteral("\\face(4).jpg"));
    QCOMPARE(customerFolderEntries(), (QStringList{"face(2).jpg", "face(3).jpg", "face(4).jpg", "face.jpg"}));
}

void TestPictureStore::numberedName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("second");
    // clang-format off
    QTest::newRow("extension") << "before1.jpg" << "before1(2).jpg";
    QTest::newRow("two dots") << "a.b.JPG" << "a.b(2).JPG";
    QTest::newRow("no extension") << "scan" << "scan(2)";
    QTest::newRow("leading dot only") << ".jpg" << ".jpg(2)";
    // clang-format on
}

void TestPictureStore::numberedName()
{
    QFETCH(QString, name);
    QFETCH(QString, second);
    QCOMPARE(PictureStore::numberedName(name, 2), second);
}

void TestPictureStore::undoTakesBackWhatImportsAdded()
{
    const QString old = writeFile(QStringLiteral("a/face.jpg"), "old");
    QVERIFY(!PictureStore::ImportPicture(m_root, old, Customer).isEmpty());
    PictureStore::Added added;
    // Into an existing folder: a new name, and a picture already there (nothing added for it).
    QVERIFY(
        !PictureStore::ImportPicture(m_root, writeFile("b/face.jpg", "new"), Customer, nullptr, {}, &added).isEmpty());
    QVERIFY(!PictureStore::ImportPicture(m_root, old, Customer, nullptr, {}, &added).isEmpty());
    // Into a folder of its own.
    const QString other = QStringLiteral("A1200612070002");
    QVERIFY(!PictureStore::ImportPicture(m_root, old, other, nullptr, {}, &added).isEmpty());
    QCOMPARE(added.files.size(), 2);
    added.undo();
    QCOMPARE(customerFolderEntries(), QStringList{"face.jpg"});
    QCOMPARE(readAll(m_root + Customer + QStringLiteral("/face.jpg")), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(m_root + other));
}

void TestPictureStore::sameSourceTwiceGivesSameReference()
{
    const QString source = writeFile(QStringLiteral("a/1.jpg"), "one");
    const QString r1 = PictureStore::ImportPicture(m_root, source, Customer);
    QVERIFY(!r1.isEmpty());
    QCOMPARE(PictureStore::ImportPicture(m_root, source, Customer), r1);
    // Importing the stored file itself (by its full path) keeps its content.
    const QString stored = PictureStore::resolveColumn(m_program, r1);
    QCOMPARE(PictureStore::ImportPicture(m_root, stored, Customer), r1);
    QCOMPARE(readAll(stored), QByteArray("one"));
}

void TestPictureStore::refusedImports_data()
{
    QTest::addColumn<QString>("source"); // relative to the temporary folder; "" = not created
    QTest::addColumn<QString>("customer");
    // clang-format off
    QTest::newRow("missing source") << "" << Customer;
    QTest::newRow("source is a folder") << "adir" << Customer;
    QTest::newRow("empty customer number") << "a/1.jpg" << "";
    QTest::newRow("customer climbs out") << "a/1.jpg" << "..";
    QTest::newRow("customer names a deeper folder") << "a/1.jpg" << "A1/x";
    QTest::newRow("customer with backslash") << "a/1.jpg" << "A1\\x";
    // clang-format on
}

void TestPictureStore::refusedImports()
{
    QFETCH(QString, source);
    QFETCH(QString, customer);
    QString path = m_dir->path() + QStringLiteral("/missing.jpg");
    if (source == QLatin1String("adir")) {
        path = m_dir->path() + QStringLiteral("/adir");
        QVERIFY(QDir().mkpath(path));
    } else if (!source.isEmpty()) {
        path = writeFile(source, "data");
    }
    QString why;
    QCOMPARE(PictureStore::ImportPicture(m_root, path, customer, &why), QString());
    QVERIFY(!why.isEmpty());
    // Nothing was created in or beside the store.
    QCOMPARE(QDir(m_root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(QDir(m_program).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"pic"});
}

void TestPictureStore::missingStoreRootCreatesNothing()
{
    const QString source = writeFile(QStringLiteral("a/1.jpg"), "one");
    QVERIFY(QDir(m_root).removeRecursively());
    QString why;
    QCOMPARE(PictureStore::ImportPicture(m_root, source, Customer, &why), QString());
    QVERIFY(!why.isEmpty());
    QVERIFY(!QFileInfo::exists(m_root));
}

void TestPictureStore::storedReferenceIsNotImportedAgain()
{
    const QString source = writeFile(QStringLiteral("a/1.jpg"), "one");
    const QString ref = PictureStore::ImportPicture(m_root, source, Customer);
    QVERIFY(!ref.isEmpty());
    // A stored reference taken as a path names no file, so a second save leaves it alone.
    const QString old = QDir::currentPath();
    QDir::setCurrent(m_root);
    const QString again = PictureStore::ImportPicture(m_root, ref, Customer);
    QDir::setCurrent(old);
    QCOMPARE(again, QString());
    QCOMPARE(readAll(PictureStore::resolveColumn(m_program, ref)), QByteArray("one"));
}

void TestPictureStore::failedCopyLeavesOldFile_data()
{
    QTest::addColumn<int>("failAfter");  // bytes accepted before the writer fails
    QTest::addColumn<bool>("zeroWrite"); // fail by writing nothing instead of with an error
    // clang-format off
    QTest::newRow("disk full half-way") << 1500000 << false;
    QTest::newRow("disk full at once") << 0 << false;
    QTest::newRow("writer stalls") << 4096 << true;
    // clang-format on
}

void TestPictureStore::failedCopyLeavesOldFile()
{
    QFETCH(int, failAfter);
    QFETCH(bool, zeroWrite);
    const QByteArray good = "the good old picture";
    const QString first = writeFile(QStringLiteral("a/face.jpg"), good);
    const QString ref = PictureStore::ImportPicture(m_root, first, Customer);
    QVERIFY(!ref.isEmpty());

    const QString second = writeFile(QStringLiteral("b/face.jpg"), QByteArray(3000000, 'n'));
    long long accepted = 0;
    PictureStore::Writer failing = [&](int fd, const char *data, long long len) -> long long {
        if (accepted >= failAfter) {
            if (zeroWrite)
                return 0;
            errno = ENOSPC;
            return -1;
        }
        const long long n = std::min<long long>(len, failAfter - accepted);
        const long long put = ::write(fd, data, size_t(n));
        accepted += put;
        return put;
    };
    QString why;
    QCOMPARE(PictureStore::ImportPicture(m_root, second, Customer, &why, failing), QString());
    QVERIFY2(why.contains(second), qPrintable(why));
    QCOMPARE(readAll(PictureStore::resolveColumn(m_program, ref)), good);
    QCOMPARE(customerFolderEntries(), QStringList{QStringLiteral("face.jpg")});
}

void TestPictureStore::shortWritesStillCopyEverything()
{
    QByteArray content(100003, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString source = writeFile(QStringLiteral("a/big.bmp"), content);
    PictureStore::Writer dribble = [](int fd, const char *data, long long len) -> long long {
        return ::write(fd, data, size_t(std::min<long long>(len, 4097)));
    };
    const QString ref = PictureStore::ImportPicture(m_root, source, Customer, nullptr, dribble);
    QCOMPARE(ref, Customer + QStringLiteral("\\big.bmp"));
    QCOMPARE(readAll(PictureStore::resolveColumn(m_program, ref)), content);
}

void TestPictureStore::resolveColumn_data()
{
    QTest::addColumn<QString>("column");
    QTest::addColumn<bool>("resolves");
    // clang-format off
    QTest::newRow("stored reference") << Customer + "\\1.jpg" << true;
    QTest::newRow("forward slash works too") << Customer + "/1.jpg" << true;
    QTest::newRow("empty column (the store root)") << "" << false;
    QTest::newRow("customer folder") << Customer << false;
    QTest::newRow("subfolder named like a picture") << Customer + "\\dir.jpg" << false;
    QTest::newRow("file not in the store") << Customer + "\\2.jpg" << false;
    QTest::newRow("transitional full path") << "/home/x/1.jpg" << false;
    QTest::newRow("temporary copy of an import") << Customer + "\\.1.jpg.part-host-1-ab" << false;
    // clang-format on
}

void TestPictureStore::resolveColumn()
{
    QFETCH(QString, column);
    QFETCH(bool, resolves);
    const QString source = writeFile(QStringLiteral("a/1.jpg"), "one");
    QVERIFY(!PictureStore::ImportPicture(m_root, source, Customer).isEmpty());
    QVERIFY(QDir().mkpath(m_root + Customer + QStringLiteral("/dir.jpg")));
    const QString path = PictureStore::resolveColumn(m_program, column);
    QCOMPARE(!path.isEmpty(), resolves);
    if (resolves)
        QCOMPARE(readAll(path), QByteArray("one"));
}

void TestPictureStore::leftoverCopiesRemovedAtStart()
{
    // An import killed half-way leaves its temporary copy; the copy's name tells which machine
    // and process wrote it. Find the name our own imports use.
    const QString source = writeFile(QStringLiteral("a/face.jpg"), "face");
    QString name;
    PictureStore::Writer spy = [&](int fd, const char *data, long long len) -> long long {
        const QStringList entries = QDir(m_root + Customer).entryList(QDir::Files | QDir::Hidden);
        for (const QString &e : entries)
            if (PictureStore::isTemporaryName(e))
                name = e;
        return ::write(fd, data, size_t(len));
    };
    QVERIFY(!PictureStore::ImportPicture(m_root, source, Customer, nullptr, spy).isEmpty());
    const QString ours = QStringLiteral(".face.jpg.part-%1-").arg(name.section(QLatin1Char('-'), 1, -3));
    QVERIFY2(name.startsWith(ours + QString::number(QCoreApplication::applicationPid()) + QLatin1Char('-')),
             qPrintable(name));

    // A process of this machine that has ended (pid_max is below 2^22), one still running (us),
    // another workstation's fresh copy and its day-old one.
    const QString dead = writeFile(QStringLiteral("prog/pic/%1/%2%3-1a").arg(Customer, ours).arg(4194304 + 17), "dead");
    const QString running = writeFile(QStringLiteral("prog/pic/%1/%2%3-2b")
                                          .arg(Customer, ours)
                                          .arg(QCoreApplication::applicationPid()),
                                      "running");
    const QString otherFresh = writeFile(QStringLiteral("prog/pic/B2/.x.jpg.part-elsewhere-5-3c"), "fresh");
    const QString otherOld = writeFile(QStringLiteral("prog/pic/B2/.y.jpg.part-elsewhere-5-4d"), "old");
    QFile old(otherOld);
    QVERIFY(old.open(QIODevice::ReadWrite));
    QVERIFY(old.setFileTime(QDateTime::currentDateTime().addDays(-2), QFileDevice::FileModificationTime));
    old.close();
    const QString hiddenPicture = writeFile(QStringLiteral("prog/pic/B2/.hidden.jpg"), "kept");
    // A process killed while importing whose parent has not collected it yet: it still answers
    // kill(pid, 0), but it will never write again.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    QVERIFY(child > 0);
    QTRY_VERIFY(readAll(QStringLiteral("/proc/%1/stat").arg(child)).contains(") Z "));
    const QString zombie = writeFile(QStringLiteral("prog/pic/%1/%2%3-5e").arg(Customer, ours).arg(child), "zombie");

    const int removed = PictureStore::removeLeftoverCopies(m_root);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(removed, 3);
    QVERIFY(!QFile::exists(dead));
    QVERIFY(!QFile::exists(zombie));
    QVERIFY(!QFile::exists(otherOld));
    QVERIFY(QFile::exists(running));
    QVERIFY(QFile::exists(otherFresh));
    QVERIFY(QFile::exists(hiddenPicture));
    QCOMPARE(readAll(m_root + Customer + QStringLiteral("/face.jpg")), QByteArray("face"));
}

QTEST_GUILESS_MAIN(TestPictureStore)
#include "tst_picturestore.moc"
