// Backups of a working installation into an encrypted repository: consistent while another
// process saves cases, a round trip through restore, a lost or damaged part of the disk that
// costs no more than the photos in it, installations sharing one disk, targets that are not a
// disk of their own, and the password kept out of everywhere it does not belong.
//
// The test program is also its own helper process: "--writer", "--hold" and "--backup" run the
// other side of a test (see childMain).

#include "data/AuditLog.h"
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
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sqlite3.h>

namespace {

const QString Customer = QStringLiteral("A1200612070001");
const QByteArray Password = "correct horse 电池";

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
        Backup::make(sqliteSource(args.value(2)), args.value(3), Password, 0, true, [&](const Backup::Progress &p) {
            if (!said && p.stage == QStringLiteral("正在备份")) {
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

// Pictures of three customers with a case each.
void fillInstall(const TestInstall &inst, int customers = 3)
{
    const QString folder = inst.folder();
    for (int i = 1; i <= customers; ++i) {
        const QString no = QStringLiteral("A120061207000%1").arg(i);
        inst.exec(
            QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名, 电话) VALUES ('%1', '客户%2', '1380000000%2')")
                .arg(no)
                .arg(i));
        writeFile(folder + QStringLiteral("pic/%1/前 %2.jpg").arg(no).arg(i), 70000 + i * 1000, quint32(i));
        writeFile(folder + QStringLiteral("pic/%1/后%2.jpg").arg(no).arg(i), 90000 + i * 1000, quint32(100 + i));
        inst.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术前, 手术后) VALUES ('%1', '眼部', "
                                 "'%1\\前 %2.jpg', '%1\\后%2.jpg')")
                      .arg(no)
                      .arg(i));
    }
}

Backup::Source sourceOf(const TestInstall &inst)
{
    Backup::Source source;
    source.programFolder = inst.folder();
    source.server = inst.database().isPostgres();
    if (source.server)
        source.conninfo = inst.database().conninfo();
    source.auditConnection = inst.mod()->ADOConn;
    return source;
}

QStringList packFiles(const QString &target)
{
    QStringList out;
    QDirIterator it(Backup::repositoryPath(target) + QStringLiteral("/data"), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next();
    out.sort();
    return out;
}

// Flips bytes in the middle of the largest pack: one file's data there no longer reads back.
void damageLargestPack(const QString &target)
{
    QString largest;
    for (const QString &f : packFiles(target))
        if (largest.isEmpty() || QFileInfo(f).size() > QFileInfo(largest).size())
            largest = f;
    QFile f(largest);
    QFile::setPermissions(largest, QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(f.open(QIODevice::ReadWrite));
    f.seek(f.size() / 2);
    QByteArray b = f.read(4);
    for (char &c : b)
        c = char(~c);
    f.seek(f.size() / 2);
    f.write(b);
}

// The text of every file under folder (recursively) holds needle.
QStringList filesHolding(const QString &folder, const QByteArray &needle)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(needle))
            out << it.filePath();
    }
    return out;
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
        if (QStandardPaths::findExecutable(QStringLiteral("restic")).isEmpty())
            QFAIL("restic is not installed");
        // The test folders are all on one disk.
        qputenv("BELCARA_BACKUP_ANY_FOLDER", "1");
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
        QProcess *writer = startChild(this, {QStringLiteral("--writer"), inst.folder(), QStringLiteral("600")},
                                      "saving");
        QList<qint64> counts;
        for (int round = 0; round < 3; ++round) {
            const Backup::Made made = Backup::make(sqliteSource(inst.folder()), target.path(), Password, 0, true);
            // Restored into a new installation, the backup is read back as a whole.
            QTemporaryDir fresh;
            const QString folder = fresh.path() + QLatin1Char('/');
            const Backup::Restored r = Backup::restore(sqliteSource(folder), target.path(), Password, made.snapshot);
            QVERIFY(r.lost.isEmpty());
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
        QCOMPARE(writer->state(), QProcess::Running); // it did not fail meanwhile
        writer->kill();
        writer->waitForFinished();
        QVERIFY2(counts[0] > 0 && counts[0] < counts[1] && counts[1] < counts[2],
                 qPrintable(QString::number(counts[2])));
    }

    // Backup, change records and pictures, restore: rows and pictures are the backup's again and
    // what was replaced is in a visible folder. While another program uses the database the
    // restore is refused before anything is read (even the password), and changes nothing.
    void roundTrip()
    {
        TestInstall inst;
        fillInstall(inst);
        const QString folder = inst.folder();
        const QSqlDatabase db = QSqlDatabase::database(inst.mod()->ADOConn);
        const auto rowsBefore = tableRows(db);
        const auto picsBefore = pictureHashes(folder);
        const Backup::Source source = sourceOf(inst);
        QTemporaryDir target;
        const Backup::Made made = Backup::make(source, target.path(), Password, 3, true);
        QCOMPARE(made.files, qint64(7));
        QVERIFY(made.created);
        QVERIFY(Backup::lastBackup(inst.mod()->ADOConn).where.startsWith(Backup::repositoryPath(target.path())));

        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070009', '新客户')"));
        inst.exec(QStringLiteral("DELETE FROM Surgery WHERE 客户编号 = 'A1200612070002'"));
        writeFile(folder + QStringLiteral("pic/A1200612070001/前 1.jpg"), 70000, 999);
        writeFile(folder + QStringLiteral("pic/A1200612070009/new.jpg"), 5000, 7);
        const auto rowsChanged = tableRows(db);
        const auto picsChanged = pictureHashes(folder);

        if (!source.server) {
            QProcess *holder = startChild(this, {QStringLiteral("--hold"), folder + QStringLiteral("Data/Data.mdb")},
                                          "holding");
            try {
                Backup::restore(source, target.path(), "wrong password", QString());
                QFAIL("restored while another program used the database");
            } catch (const AppError &e) {
                QVERIFY2(e.text().contains(QStringLiteral("另一个程序正在使用")), qPrintable(e.text()));
            }
            holder->kill();
            holder->waitForFinished();
            QCOMPARE(pictureHashes(folder), picsChanged);
        }
        QSqlDatabase::database(inst.mod()->ADOConn).close();
        try {
            Backup::restore(source, target.path(), "wrong password", QString());
            QFAIL("a wrong password was taken");
        } catch (const Backup::WrongPassword &) {
        } catch (const AppError &e) {
            QFAIL(qPrintable(e.text()));
        }

        const Backup::Restored r = Backup::restore(source, target.path(), Password, QString());
        QVERIFY(r.lost.isEmpty());
        QVERIFY2(QFileInfo(r.asideFolder).isDir() && !QFileInfo(r.asideFolder).fileName().startsWith(QLatin1Char('.')),
                 qPrintable(r.asideFolder));
        QVERIFY(inst.mod()->ADOConn.size() > 0);
        QSqlDatabase::database(inst.mod()->ADOConn).open();
        QMap<QString, QStringList> rowsAfter = tableRows(db);
        // The restore itself is the one event the restored log gains.
        QCOMPARE(rowsAfter[QStringLiteral("AuditLog")].size(), rowsBefore[QStringLiteral("AuditLog")].size() + 1);
        rowsAfter.remove(QStringLiteral("AuditLog"));
        auto expected = rowsBefore;
        expected.remove(QStringLiteral("AuditLog"));
        QCOMPARE(rowsAfter, expected);
        QCOMPARE(pictureHashes(folder), picsBefore);
        // The restored log is whole against the head kept outside the database.
        if (!source.server) {
            const AuditLog::Verdict v = AuditLog::verify(db, AuditLog::readHead(AuditLog::headFileBeside(
                                                                 folder + QStringLiteral("Data/Data.mdb"))));
            QVERIFY2(v.whole, qPrintable(v.summary() + v.findings.join(QLatin1Char('\n'))));
        }
        // Nothing replaced is lost: the changed photo and the new customer's are kept aside.
        QCOMPARE(sha(r.picturesAside + QStringLiteral("/A1200612070009/new.jpg")),
                 picsChanged.value(QStringLiteral("A1200612070009/new.jpg")));
        Q_UNUSED(rowsChanged);
    }

    // One customer brought back: that customer's rows and photos are the backup's, every other
    // customer is left exactly as it is now.
    void oneCustomer()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst);
        const QString folder = inst.folder();
        const Backup::Source source = sourceOf(inst);
        QTemporaryDir target;
        const Backup::Made made = Backup::make(source, target.path(), Password, 0, true);
        const auto picsBefore = pictureHashes(folder);
        // Customer 2 is deleted with its case and photos; customer 3 changes.
        inst.exec(QStringLiteral("DELETE FROM Surgery WHERE 客户编号 = 'A1200612070002'"));
        inst.exec(QStringLiteral("DELETE FROM tUserInfo WHERE 客户编号 = 'A1200612070002'"));
        QDir(folder + QStringLiteral("pic/A1200612070002")).removeRecursively();
        inst.exec(QStringLiteral("UPDATE tUserInfo SET 用户姓名 = '改过' WHERE 客户编号 = 'A1200612070003'"));
        // A new case takes the deleted case's id, as SQLite gives it.
        inst.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类) VALUES ('A1200612070003', '鼻部')"));
        const QSqlDatabase db = QSqlDatabase::database(inst.mod()->ADOConn);
        QMap<QString, QStringList> others = tableRows(db);

        const Backup::Restored r = Backup::restoreCustomer(source, target.path(), Password, made.snapshot,
                                                           QStringLiteral("A1200612070002"));
        QVERIFY(r.lost.isEmpty());
        QCOMPARE(r.files, qint64(2));
        QCOMPARE(inst.scalar(QStringLiteral("SELECT 用户姓名 FROM tUserInfo WHERE 客户编号 = 'A1200612070002'"))
                     .toString(),
                 QStringLiteral("客户2"));
        QCOMPARE(inst.scalar(QStringLiteral("SELECT count(*) FROM Surgery WHERE 客户编号 = 'A1200612070002'")).toInt(),
                 1);
        QCOMPARE(inst.scalar(QStringLiteral("SELECT 用户姓名 FROM tUserInfo WHERE 客户编号 = 'A1200612070003'"))
                     .toString(),
                 QStringLiteral("改过"));
        QCOMPARE(inst.scalar(QStringLiteral("SELECT count(*) FROM Surgery WHERE 客户编号 = 'A1200612070003'")).toInt(),
                 2);
        QCOMPARE(inst.scalar(QStringLiteral("SELECT count(DISTINCT id) FROM Surgery")).toInt(),
                 inst.scalar(QStringLiteral("SELECT count(*) FROM Surgery")).toInt());
        const auto pics = pictureHashes(folder);
        QCOMPARE(pics.value(QStringLiteral("A1200612070002/前 2.jpg")),
                 picsBefore.value(QStringLiteral("A1200612070002/前 2.jpg")));
        QCOMPARE(pics.value(QStringLiteral("A1200612070002/后2.jpg")),
                 picsBefore.value(QStringLiteral("A1200612070002/后2.jpg")));
        QMap<QString, QStringList> after = tableRows(db);
        for (const QString &t : {QStringLiteral("tUserInfo"), QStringLiteral("Surgery")}) {
            QStringList kept;
            for (const QString &row : after.value(t))
                if (!row.contains(QStringLiteral("A1200612070002")))
                    kept << row;
            QCOMPARE(kept, others.value(t));
        }
    }

    // A part of the repository deleted from the disk: the next backup stores it again and says
    // what older backup lost, and the new backup restores every photo.
    void missingPartIsStoredAgain()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst);
        const Backup::Source source = sourceOf(inst);
        QTemporaryDir target;
        Backup::make(source, target.path(), Password, 0, true);
        for (const QString &pack : packFiles(target.path()))
            if (QFileInfo(pack).size() > 100000)
                QVERIFY(QFile::remove(pack));
        inst.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES ('A1200612070009', '新客户')"));
        const Backup::Made second = Backup::make(source, target.path(), Password, 0, false);
        QVERIFY2(!second.warnings.isEmpty(), "the damaged older backup was not reported");
        const Backup::Checked c = Backup::verify(target.path(), Password, second.snapshot);
        QVERIFY2(c.ok(), qPrintable(c.problems.join(QLatin1Char('\n'))));
        QTemporaryDir fresh;
        const Backup::Restored r = Backup::restore(sqliteSource(fresh.path() + QLatin1Char('/')), target.path(),
                                                   Password, second.snapshot);
        QCOMPARE(pictureHashes(fresh.path() + QLatin1Char('/')), pictureHashes(inst.folder()));
        QVERIFY(r.lost.isEmpty());
    }

    // A damaged part of the disk: verify names it, a restore brings back every other photo and
    // names the lost one, and the next backup makes the repository whole again.
    void damagedPartCostsOnlyItsPhoto()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst, 6);
        const Backup::Source source = sourceOf(inst);
        const auto picsBefore = pictureHashes(inst.folder());
        QTemporaryDir target;
        const Backup::Made made = Backup::make(source, target.path(), Password, 0, true);
        damageLargestPack(target.path());
        const Backup::Checked c = Backup::verify(target.path(), Password, made.snapshot);
        QVERIFY(!c.ok());
        QVERIFY(!c.lostPhotos.isEmpty());

        QTemporaryDir fresh;
        const QString folder = fresh.path() + QLatin1Char('/');
        const Backup::Restored r = Backup::restore(sqliteSource(folder), target.path(), Password, made.snapshot);
        QCOMPARE(r.lost.size(), 1);
        QVERIFY(c.lostPhotos.contains(r.lost.first()));
        auto expected = picsBefore;
        expected.remove(r.lost.first().mid(4));
        QCOMPARE(pictureHashes(folder), expected);

        Backup::make(source, target.path(), Password, 0, false);
        const Backup::Checked again = Backup::verify(target.path(), Password);
        QVERIFY2(again.ok(), qPrintable(again.problems.join(QLatin1Char('\n'))));
    }

    // Two installations on one disk: rotation forgets only its own, the list shows its own
    // first with host and counts, and a restore without a snapshot takes its own newest.
    void installationsShareADisk()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        QTemporaryDir target;
        TestInstall other;
        fillInstall(other, 1);
        const Backup::Made theirs = Backup::make(sourceOf(other), target.path(), Password, 2, true);
        TestInstall inst;
        fillInstall(inst, 2);
        const Backup::Source source = sourceOf(inst);
        for (int i = 0; i < 3; ++i)
            Backup::make(source, target.path(), Password, 2, false);
        const QString id = Backup::installationId(source);
        const QVector<Backup::Snapshot> list = Backup::list(target.path(), Password, id);
        QCOMPARE(list.size(), 3);
        QVERIFY(list[0].ours && list[1].ours && !list[2].ours);
        QVERIFY(list[0].time >= list[1].time);
        QCOMPARE(list[2].shortId, theirs.snapshot);
        QCOMPARE(list[0].cases, qint64(2));
        QCOMPARE(list[0].photos, qint64(4));
        QCOMPARE(list[2].photos, qint64(2));
        QVERIFY(!list[0].host.isEmpty());
    }

    // Targets that are not a disk of their own, and a repository that is gone where this
    // installation backed up before, are refused; nothing is written to them.
    void refusedTargets()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst, 1);
        const Backup::Source source = sourceOf(inst);
        QTemporaryDir target;
        Backup::make(source, target.path(), Password, 0, true);
        QVERIFY(QDir(Backup::rootFolder(target.path())).removeRecursively());
        try {
            Backup::make(source, target.path(), Password, 0, true);
            QFAIL("a backup went where the repository had disappeared");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("备份位置似乎没有连接")), qPrintable(e.text()));
        }
        QVERIFY(!QFileInfo::exists(Backup::rootFolder(target.path())));

        qunsetenv("BELCARA_BACKUP_ANY_FOLDER");
        QTemporaryDir sameDisk(inst.folder() + QStringLiteral("mnt-XXXXXX"));
        try {
            Backup::make(source, sameDisk.path(), Password, 0, true);
            QFAIL("a backup went to a folder of the installation's own disk");
        } catch (const AppError &e) {
            QVERIFY2(e.text().contains(QStringLiteral("备份位置似乎没有连接")), qPrintable(e.text()));
        }
        qputenv("BELCARA_BACKUP_ANY_FOLDER", "1");
        QVERIFY(!QFileInfo::exists(Backup::rootFolder(sameDisk.path())));
    }

    // Backups in the format of earlier releases stay where they are, listed, checkable and
    // restorable, after the first backup in the new format goes to the same disk; an
    // incomplete one is neither listed nor removed.
    void olderBackupsStayRestorable()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst, 2);
        const QString folder = inst.folder();
        const auto picsBefore = pictureHashes(folder);
        QTemporaryDir target;
        const QString root = Backup::rootFolder(target.path());
        // One backup as those releases wrote it: every file's content under objects/ by its
        // SHA-256, a manifest, and the mark that names the manifest's hash.
        const auto writeLegacy = [&](const QString &name, bool complete) {
            QByteArray manifest;
            QMap<QString, QString> files{{QStringLiteral("Data/Data.mdb"), folder + QStringLiteral("Data/Data.mdb")}};
            for (auto it = picsBefore.cbegin(); it != picsBefore.cend(); ++it)
                files.insert(QStringLiteral("pic/") + it.key(), folder + QStringLiteral("pic/") + it.key());
            for (auto f = files.cbegin(); f != files.cend(); ++f) {
                const QByteArray hash = sha(f.value());
                const QString object = root + QStringLiteral("/objects/") + QString::fromLatin1(hash.left(2))
                                       + QLatin1Char('/') + QString::fromLatin1(hash);
                QDir().mkpath(QFileInfo(object).absolutePath());
                QFile::copy(f.value(), object);
                manifest += hash + ' ' + QByteArray::number(QFileInfo(f.value()).size()) + " 0 "
                            + f.key().toUtf8().toPercentEncoding("/") + '\n';
            }
            QDir().mkpath(root + QLatin1Char('/') + name);
            QFile m(root + QLatin1Char('/') + name + QStringLiteral("/MANIFEST"));
            QVERIFY(m.open(QIODevice::WriteOnly));
            m.write(manifest);
            m.close();
            if (!complete)
                return;
            QFile c(root + QLatin1Char('/') + name + QStringLiteral("/COMPLETE"));
            QVERIFY(c.open(QIODevice::WriteOnly));
            c.write("manifest=" + QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex()
                    + "\nmade=2026-12-08T21:30:00\nengine=sqlite\n");
        };
        writeLegacy(QStringLiteral("20261208-213000"), true);
        writeLegacy(QStringLiteral("20261209-080000"), false);
        const Backup::Made made = Backup::make(sourceOf(inst), target.path(), Password, 1, true);
        Backup::make(sourceOf(inst), target.path(), Password, 1, false);
        QVERIFY(QFileInfo::exists(root + QStringLiteral("/20261209-080000/MANIFEST")));
        const QString legacy = root + QStringLiteral("/20261208-213000");
        QCOMPARE(Backup::Legacy::completeBackups(target.path()), QStringList{legacy});
        const QVector<Backup::Snapshot> list = Backup::list(target.path(), Password,
                                                            Backup::installationId(sourceOf(inst)));
        QCOMPARE(list.size(), 2);
        QVERIFY(list.last().legacy);
        QVERIFY(Backup::Legacy::verify(legacy).problems.isEmpty());

        writeFile(folder + QStringLiteral("pic/A1200612070001/前 1.jpg"), 5000, 4242);
        QSqlDatabase::database(inst.mod()->ADOConn).close();
        Backup::Legacy::restore(sourceOf(inst), legacy);
        QCOMPARE(pictureHashes(folder), picsBefore);
        Q_UNUSED(made);
    }

    // The password is in no file of the installation, the settings or the disk, and on no
    // command line or environment of the processes of a run.
    void passwordStaysSecret()
    {
        if (TestDatabase::postgres())
            QSKIP("the file database only");
        TestInstall inst;
        fillInstall(inst, 2);
        QTemporaryDir target;
        QStringList seen;
        bool looked = false;
        const Backup::Made made = Backup::make(sourceOf(inst), target.path(), Password, 0, true,
                                               [&](const Backup::Progress &) {
                                                   // Every process of the machine while restic runs: its command line and environment.
                                                   QDirIterator procs(QStringLiteral("/proc"),
                                                                      QDir::Dirs | QDir::NoDotAndDotDot);
                                                   while (procs.hasNext()) {
                                                       const QString dir = procs.next();
                                                       QFile cmd(dir + QStringLiteral("/cmdline")),
                                                           env(dir + QStringLiteral("/environ"));
                                                       const QByteArray line = cmd.open(QIODevice::ReadOnly)
                                                                                   ? cmd.readAll()
                                                                                   : QByteArray();
                                                       looked = looked || line.contains(QByteArray("restic\0-r", 9));
                                                       if (line.contains(Password)
                                                           || (env.open(QIODevice::ReadOnly)
                                                               && env.readAll().contains(Password)))
                                                           seen << dir;
                                                   }
                                                   return true;
                                               });
        QVERIFY(looked);
        QVERIFY2(seen.isEmpty(), qPrintable(seen.join(QLatin1Char(' '))));
        QCOMPARE(made.files, qint64(5));
        QCOMPARE(filesHolding(inst.folder(), Password), QStringList());
        QCOMPARE(filesHolding(target.path(), Password), QStringList());
        QCOMPARE(filesHolding(QFileInfo(inst.settingsPath()).absolutePath(), Password), QStringList());
        // Without the password the disk shows no photo: nothing on it is a JPEG, or named like one.
        QDirIterator it(target.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            QVERIFY(!it.fileName().endsWith(QLatin1String(".jpg")));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(!f.readAll().contains("\xff\xd8\xff"), qPrintable(f.fileName()));
        }
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
