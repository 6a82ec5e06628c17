// Backups of a working installation: consistent while another process saves cases, a full
// round trip through restore, damage found by name, and a backup killed half-way.
//
// The test program is also its own helper process: "--writer", "--hold" and "--backup" run the
// other side of a test (see childMain).

#include "backup/Backup.h"
#include "data/AppError.h"
#include "data/PictureStore.h"
#include "data/Unit_DataMod.h"
#include "support/TestDatabase.h"
#include "support/TestInstall.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sqlite3.h>

namespace {

const QString Customer = QStringLiteral("A1200612070001");

void writeFile(const QString &path, qsizetype size, quint32 seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != size)
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray sha(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

// Every picture of a store by its path below pic/, with its hash (hidden folders left out).
QMap<QString, QByteArray> pictureHashes(const QString &folder)
{
    QMap<QString, QByteArray> out;
    const QString root = folder + QStringLiteral("pic/");
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (!p.mid(root.size()).startsWith(QLatin1Char('.')))
            out.insert(p.mid(root.size()), sha(p));
    }
    return out;
}

// Every row of every table of the program, as text, in key order.
QMap<QString, QStringList> tableRows(const QSqlDatabase &db)
{
    QMap<QString, QStringList> out;
    for (const char *table : {"tUserInfo", "Surgery", "Class", "SysManager", "Param", "CaseConsent", "PictureAlignment",
                              "AuditLog", "BelcaraSchema"}) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT * FROM %1 ORDER BY 1").arg(QLatin1String(table))))
            qFatal("%s: %s", table, qPrintable(q.lastError().text()));
        QStringList rows;
        while (q.next()) {
            QStringList cells;
            for (int i = 0; i < q.record().count(); ++i)
                cells << q.value(i).toString();
            rows << cells.join(QLatin1Char('|'));
        }
        out.insert(QLatin1String(table), rows);
    }
    return out;
}

// The object file holding a backup's copy of path ("pic/A1.../1.jpg").
QString objectOf(const QString &backupFolder, const QString &path)
{
    QFile m(backupFolder + QStringLiteral("/MANIFEST"));
    if (!m.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : m.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 4 && QString::fromUtf8(QByteArray::fromPercentEncoding(f[3])) == path)
            return QFileInfo(backupFolder).absolutePath() + QStringLiteral("/objects/")
                   + QString::fromLatin1(f[0].left(2)) + QLatin1Char('/') + QString::fromLatin1(f[0]);
    }
    return QString();
}

Backup::Source sqliteSource(const QString &folder)
{
    Backup::Source s;
    s.programFolder = folder;
    return s;
}

// ---- helper processes ------------------------------------------------------------------

// Saves cases as the program does, for `seconds`: each case's two pictures are imported into
// the store first, then the row is written.
int runWriter(const QString &folder, int seconds)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
    db.setDatabaseName(folder + QStringLiteral("Data/Data.mdb"));
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open())
        return 3;
    QTemporaryDir tmp;
    const QString store = PictureStore::storeRoot(folder);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; timer.elapsed() < seconds * 1000; ++i) {
        QStringList refs;
        for (int k = 0; k < 2; ++k) {
            const QString src = tmp.filePath(QStringLiteral("case%1-%2.jpg").arg(i).arg(k));
            writeFile(src, 40000, quint32(i * 2 + k));
            const QString ref = PictureStore::ImportPicture(store, src, Customer);
            if (ref.isEmpty())
                return 4;
            refs << ref;
        }
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO Surgery (客户编号, 手术前, 手术后) VALUES (?, ?, ?)"));
        q.addBindValue(Customer);
        q.addBindValue(refs[0]);
        q.addBindValue(refs[1]);
        if (!q.exec())
            return 5;
        if (i == 3) {
            std::printf("saving\n");
            std::fflush(stdout);
        }
    }
    return 0;
}

int childMain(const QStringList &args)
{
    if (args.value(1) == QLatin1String("--writer"))
        return runWriter(args.value(2), args.value(3).toInt());
    if (args.value(1) == QLatin1String("--hold")) {
        // Another copy of the program: holds the lock until killed.
        if (!Backup::programLock().holdShared(args.value(2)))
            return 3;
        std::printf("holding\n");
        std::fflush(stdout);
        QThread::sleep(120);
        return 0;
    }
    if (args.value(1) == QLatin1String("--backup")) {
        // A backup that says when half its pictures are copied, and then goes on slowly.
        bool said = false;
        Backup::make(sqliteSource(args.value(2)), args.value(3), 0, [&](const Backup::Progress &p) {
            if (!said && p.filesTotal > 0 && p.filesDone * 2 >= p.filesTotal) {
                said = true;
                std::printf("half\n");
                std::fflush(stdout);
            }
            if (said)
                QThread::msleep(200);
            return true;
        });
        return 0;
    }
    return -1;
}

QProcess *startChild(QObject *parent, const QStringList &args, const QByteArray &waitFor)
{
    auto *p = new QProcess(parent);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QCoreApplication::applicationFilePath(), args);
    if (!p->waitForStarted())
        qFatal("helper process did not start");
    QElapsedTimer t;
    t.start();
    while (!p->canReadLine() && t.elapsed() < 60000)
        p->waitForReadyRead(200);
    if (p->readLine().trimmed() != waitFor)
        qFatal("helper process did not say %s", waitFor.constData());
    return p;
}

} // namespace

class TestBackup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString why = TestDatabase::unavailable();
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
    }

    // Backups taken while another process keeps saving cases: each is a sound database whose
    // every picture reference has its file in the backup.
    void consistentWhileAnotherProcessSaves()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('%1', '王')").arg(Customer));
        QTemporaryDir target;
        QProcess *writer = startChild(this, {QStringLiteral("--writer"), inst.folder(), QStringLiteral("6")}, "saving");
        QList<qint64> counts;
        for (int round = 0; round < 3; ++round) {
            const Backup::Made made = Backup::make(sqliteSource(inst.folder()), target.path(), 0);
            // Restored into an empty installation, the backup is read back as a whole.
            QTemporaryDir fresh;
            QDir(fresh.path()).mkpath(QStringLiteral("Data"));
            QDir(fresh.path()).mkpath(QStringLiteral("pic"));
            const QString folder = fresh.path() + QLatin1Char('/');
            Backup::restore(sqliteSource(folder), made.folder);
            sqlite3 *db = nullptr;
            QCOMPARE(sqlite3_open_v2(QFile::encodeName(folder + QStringLiteral("Data/Data.mdb")).constData(), &db,
                                     SQLITE_OPEN_READONLY, nullptr),
                     SQLITE_OK);
            sqlite3_stmt *st = nullptr;
            sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
            QCOMPARE(sqlite3_step(st), SQLITE_ROW);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))), QByteArray("ok"));
            sqlite3_finalize(st);
            sqlite3_prepare_v2(db, "SELECT 手术前, 手术后 FROM Surgery", -1, &st, nullptr);
            qint64 rows = 0;
            while (sqlite3_step(st) == SQLITE_ROW) {
                ++rows;
                for (int c = 0; c < 2; ++c) {
                    const QString ref = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, c)));
                    QVERIFY2(PictureStore::isPictureFile(PictureStore::referenceToPath(folder, ref)), qPrintable(ref));
                }
            }
            sqlite3_finalize(st);
            sqlite3_close(db);
            counts << rows;
        }
        QVERIFY(writer->waitForFinished(30000));
        QCOMPARE(writer->exitCode(), 0);
        // The writer was saving all the while: each backup holds more cases than the one before.
        QVERIFY2(counts[0] > 0 && counts[0] < counts[1] && counts[1] < counts[2],
                 qPrintable(QString::number(counts[2])));
    }

    // Backup, change records and pictures, restore: rows and pictures are the backup's again,
    // and what was replaced is kept aside. A restore is refused while another program uses
    // the database, and changes nothing then.
    void roundTrip()
    {
        TestInstall inst;
        const QString folder = inst.folder();
        for (int i = 1; i <= 3; ++i) {
            const QString no = QStringLiteral("A120061207000%1").arg(i);
            inst.exec(QStringLiteral(
                          "INSERT INTO tUserInfo (客户编号, 用户姓名, 电话) VALUES ('%1', '客户%2', '1380000000%2')")
                          .arg(no)
                          .arg(i));
            writeFile(folder + QStringLiteral("pic/%1/前 %2.jpg").arg(no).arg(i), 70000, quint32(i));
            writeFile(folder + QStringLiteral("pic/%1/后%2.jpg").arg(no).arg(i), 90000, quint32(100 + i));
            inst.exec(
                QStringLiteral(
                    "INSERT INTO Surgery (客户编号, 手术大类, 手术前, 手术后) VALUES ('%1', '眼部', '%1\\前 %2.jpg', "
                    "'%1\\后%2.jpg')")
                    .arg(no)
                    .arg(i));
        }
        const QSqlDatabase db = QSqlDatabase::database(inst.mod()->ADOConn);
        const auto rowsBefore = tableRows(db);
        const auto picsBefore = pictureHashes(folder);

        Backup::Source source;
        source.programFolder = folder;
        source.server = inst.database().isPostgres();
        if (source.server)
            source.conninfo = inst.database().conninfo();
        source.auditConnection = inst.mod()->ADOConn;
        QTemporaryDir target;
        const Backup::Made made = Backup::make(source, target.path(), 3);
        QCOMPARE(made.files, qint64(7));
        QCOMPARE(Backup::lastBackup(inst.mod()->ADOConn).where, made.folder);

        // Things change after the backup.
        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070009', '新客户')"));
        inst.exec(QStringLiteral("DELETE FROM Surgery WHERE 客户编号 = 'A1200612070002'"));
        inst.exec(QStringLiteral("UPDATE Surgery SET 手术大类 = '鼻部' WHERE 客户编号 = 'A1200612070001'"));
        writeFile(folder + QStringLiteral("pic/A1200612070001/前 1.jpg"), 70000, 999);
        writeFile(folder + QStringLiteral("pic/A1200612070009/new.jpg"), 5000, 7);
        QFile::remove(folder + QStringLiteral("pic/A1200612070003/后3.jpg"));
        const auto picsChanged = pictureHashes(folder);

        // Another program on the database: refused, nothing touched.
        QProcess *holder = nullptr;
        if (!source.server)
            holder = startChild(this, {QStringLiteral("--hold"), folder + QStringLiteral("Data/Data.mdb")}, "holding");
        try {
            Backup::restore(source, made.folder);
            QFAIL("restore went ahead while the database was in use");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("程序")), qPrintable(e.text()));
        }
        QCOMPARE(pictureHashes(folder), picsChanged);
        QCOMPARE(inst.scalar(QStringLiteral("SELECT count(*) FROM tUserInfo")).toInt(), 4);
        QCOMPARE(QDir(folder + QStringLiteral("pic")).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot).size(),
                 4);
        if (holder) {
            holder->kill();
            holder->waitForFinished();
        }
        QSqlDatabase::database(inst.mod()->ADOConn).close();

        const Backup::Restored r = Backup::restore(source, made.folder);
        QCOMPARE(r.files, qint64(6));
        inst.mod()->OpenDatabase();
        const QSqlDatabase reopened = QSqlDatabase::database(inst.mod()->ADOConn);
        auto rowsAfter = tableRows(reopened);
        // The audit log is the backup's plus the backup and restore events.
        QStringList audit = rowsAfter.take(QStringLiteral("AuditLog"));
        QStringList auditBefore = rowsBefore.value(QStringLiteral("AuditLog"));
        QCOMPARE(audit.size(), auditBefore.size() + 1);
        QVERIFY(audit.last().contains(QStringLiteral("|restored|")));
        auto expected = rowsBefore;
        expected.remove(QStringLiteral("AuditLog"));
        QCOMPARE(rowsAfter, expected);
        QCOMPARE(pictureHashes(folder), picsBefore);

        // What was replaced is kept.
        QMap<QString, QByteArray> aside;
        QDirIterator it(r.picturesAside, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString p = it.next();
            aside.insert(p.mid(r.picturesAside.size() + 1), sha(p));
        }
        QCOMPARE(aside, picsChanged);
        QVERIFY(QFileInfo(r.databaseAside).size() > 0);
        if (!source.server) {
            sqlite3 *old = nullptr;
            sqlite3_open_v2(QFile::encodeName(r.databaseAside).constData(), &old, SQLITE_OPEN_READONLY, nullptr);
            sqlite3_stmt *st = nullptr;
            sqlite3_prepare_v2(old, "SELECT count(*) FROM tUserInfo", -1, &st, nullptr);
            QCOMPARE(sqlite3_step(st), SQLITE_ROW);
            QCOMPARE(sqlite3_column_int(st, 0), 4);
            sqlite3_finalize(st);
            sqlite3_close(old);
        }
    }

    // A picture changed or missing inside a backup is named by verify, and such a backup is
    // never restored.
    void verifyNamesDamage()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        const QString folder = inst.folder();
        writeFile(folder + QStringLiteral("pic/%1/a.jpg").arg(Customer), 20000, 1);
        writeFile(folder + QStringLiteral("pic/%1/b.jpg").arg(Customer), 20000, 2);
        writeFile(folder + QStringLiteral("pic/%1/c.jpg").arg(Customer), 20000, 3);
        QTemporaryDir target;
        const Backup::Made made = Backup::make(sqliteSource(folder), target.path(), 0);
        QVERIFY(Backup::verify(made.folder).problems.isEmpty());

        QFile a(objectOf(made.folder, QStringLiteral("pic/%1/a.jpg").arg(Customer)));
        QVERIFY(a.open(QIODevice::ReadWrite));
        a.seek(1000);
        a.write("x", 1);
        a.close();
        QVERIFY(QFile::remove(objectOf(made.folder, QStringLiteral("pic/%1/b.jpg").arg(Customer))));
        const Backup::Checked c = Backup::verify(made.folder);
        QCOMPARE(c.problems.size(), 2);
        QVERIFY(c.problems.join(QLatin1Char('\n')).contains(QStringLiteral("pic/%1/a.jpg：内容已改变").arg(Customer)));
        QVERIFY(c.problems.join(QLatin1Char('\n')).contains(QStringLiteral("pic/%1/b.jpg：缺少").arg(Customer)));

        const auto pics = pictureHashes(folder);
        QSqlDatabase::database(inst.mod()->ADOConn).close();
        QVERIFY_THROWS_EXCEPTION(AppError, Backup::restore(sqliteSource(folder), made.folder));
        QCOMPARE(pictureHashes(folder), pics);
        QCOMPARE(QDir(folder + QStringLiteral("pic")).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{Customer});
        QCOMPARE(QDir(folder + QStringLiteral("Data"))
                     .entryList({QStringLiteral("*before-restore*")}, QDir::Files)
                     .size(),
                 0);
    }

    // A backup killed half-way is never taken for a backup; the earlier one still verifies and
    // the next run cleans up after it. Rotation keeps the newest.
    void killedHalfwayAndRotation()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        const QString folder = inst.folder();
        for (int i = 0; i < 40; ++i)
            writeFile(folder + QStringLiteral("pic/%1/%2.jpg").arg(Customer).arg(i), 60000, quint32(i));
        QTemporaryDir target;
        const Backup::Made first = Backup::make(sqliteSource(folder), target.path(), 0);
        QCOMPARE(first.copiedFiles, qint64(41));
        // Every picture changes, so the next backup has all of them to copy.
        for (int i = 0; i < 40; ++i)
            writeFile(folder + QStringLiteral("pic/%1/%2.jpg").arg(Customer).arg(i), 60000, quint32(1000 + i));

        QProcess *child = startChild(this, {QStringLiteral("--backup"), folder, target.path()}, "half");
        ::kill(pid_t(child->processId()), SIGKILL);
        QVERIFY(child->waitForFinished());
        const QString root = Backup::rootFolder(target.path());
        QCOMPARE(QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3); // objects, first, the killed one
        QCOMPARE(Backup::completeBackups(target.path()), QStringList{first.folder});
        QVERIFY(Backup::verify(first.folder).problems.isEmpty());

        QThread::sleep(1); // backup folders are named by the second
        const Backup::Made second = Backup::make(sqliteSource(folder), target.path(), 0);
        QCOMPARE(second.copiedFiles, qint64(41));
        QCOMPARE(QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3); // the killed one is gone
        QCOMPARE(Backup::completeBackups(target.path()), (QStringList{first.folder, second.folder}));
        QVERIFY(Backup::verify(first.folder).problems.isEmpty());
        QVERIFY(Backup::verify(second.folder).problems.isEmpty());

        // Unchanged since the last backup: only the database is copied. Keeping one removes
        // the others and every object only they named.
        QThread::sleep(1);
        const Backup::Made third = Backup::make(sqliteSource(folder), target.path(), 1);
        QCOMPARE(third.copiedFiles, qint64(1));
        QCOMPARE(third.removed, (QStringList{first.folder, second.folder}));
        QCOMPARE(Backup::completeBackups(target.path()), QStringList{third.folder});
        QVERIFY(Backup::verify(third.folder).problems.isEmpty());
        int objects = 0;
        QDirIterator it(root + QStringLiteral("/objects"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++objects;
        }
        QCOMPARE(objects, 41);

        // The picture share not mounted (an empty store where the last backup had pictures):
        // no backup is made, and rotation removes nothing.
        QVERIFY(QDir(folder).rename(QStringLiteral("pic"), QStringLiteral("pic-elsewhere")));
        QVERIFY(QDir(folder).mkdir(QStringLiteral("pic")));
        QVERIFY_THROWS_EXCEPTION(AppError, Backup::make(sqliteSource(folder), target.path(), 1));
        QVERIFY(QDir(folder).rmdir(QStringLiteral("pic")));
        QVERIFY_THROWS_EXCEPTION(AppError, Backup::make(sqliteSource(folder), target.path(), 1));
        QCOMPARE(Backup::completeBackups(target.path()), QStringList{third.folder});
        QVERIFY(Backup::verify(third.folder).problems.isEmpty());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]).startsWith("--"))
        return childMain(app.arguments());
    TestBackup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_backup.moc"
