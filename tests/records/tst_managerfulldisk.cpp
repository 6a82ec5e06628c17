// A full disk while a case's pictures are brought into the store: the picture already stored
// under the same name stays whole, the picture that fits is stored, and the user is told which
// picture was not stored. Run on a really full file system (a small tmpfs mounted over the
// store, when the test may mount one) or else through a writer that fails as a full disk does.
#include "ManagerFixture.h"
#include "ui_Unit_Manager.h"

#include "data/PictureStore.h"

#include <QProcess>
#include <QScopeGuard>
#include <QToolButton>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace ManagerTest;

namespace {
const QString kBing = QStringLiteral("A1200612070003");
} // namespace

class TestManagerFullDisk : public QObject {
    Q_OBJECT

private slots:
    void fullDiskDuringImport();
};

void TestManagerFullDisk::fullDiskDuringImport()
{
    auto install = std::make_unique<TestInstall>();
    ScriptedPrompter prompt;
    seedCustomers(*install);
    seedCategories(*install);
    const QString pic = install->folder() + QStringLiteral("pic");
    const QString folder = pic + QLatin1Char('/') + kBing;

    // Room for the small picture, not for the large one.
    const qint64 room = 256 * 1024;
    bool mounted = QProcess::execute(QStringLiteral("mount"),
                                     {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                      QStringLiteral("size=2m"), QStringLiteral("belcara-full"), pic})
                   == 0;
    auto unmount = qScopeGuard([&] {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {pic});
        PictureStore::setDefaultWriter(PictureStore::Writer());
    });
    const QByteArray oldFace(64 * 1024, 'o');
    writeFile(folder + QStringLiteral("/face.jpg"), oldFace);
    if (mounted) {
        struct statvfs fs;
        QVERIFY(::statvfs(QFile::encodeName(pic).constData(), &fs) == 0);
        const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
        writeFile(pic + QStringLiteral("/filler"), QByteArray(int(free - room), 'f'));
        qInfo("full disk: a tmpfs of 2 MB mounted over the store and filled to %lld KB free", room / 1024);
    } else {
        long long written = 0;
        PictureStore::setDefaultWriter([&](int fd, const char *data, long long len) -> long long {
            if (written + len > room) {
                errno = ENOSPC;
                return -1;
            }
            written += len;
            return ::write(fd, data, size_t(len));
        });
        qInfo("full disk: mounting a small file system was refused; a writer failing with ENOSPC "
              "after %lld KB stands in",
              room / 1024);
    }

    const QString camera = install->folder() + QStringLiteral("camera/");
    const QByteArray side = pictureBytes(QByteArray(100 * 1024, 's'));
    const QString sideSource = writeFile(camera + QStringLiteral("side.jpg"), side);
    const QString faceSource = writeFile(camera + QStringLiteral("face.jpg"),
                                         pictureBytes(QByteArray(1024 * 1024, 'n')));

    Tfrm_Manager w(nullptr, kBing);
    auto pick = [&](const char *button, const QString &file) {
        prompt.files = {file};
        auto *b = w.findChild<QToolButton *>(QString::fromLatin1(button));
        QVERIFY(b);
        b->click();
    };
    w.ui()->DBNavigator2->click(DBNavigator::Insert);
    choose(w.ui()->cbox_Stair, QStringLiteral("眼部"));
    pick("SpeedButton1", sideSource); // 手术前
    pick("SpeedButton2", faceSource); // 手术后
    w.ui()->DBNavigator2->click(DBNavigator::Post);

    // The case is saved; the picture that did not fit keeps its full path and is named to the user.
    QCOMPARE(w.adt_Surgery->state(), DataSet::Browse);
    QCOMPARE(install
                 ->scalar(QStringLiteral("SELECT 手术前 || '|' || 手术后 FROM Surgery WHERE 客户编号='%1'").arg(kBing))
                 .toString(),
             kBing + QStringLiteral("\\side.jpg|") + faceSource);
    const QStringList boxes = prompt.texts(QStringLiteral("box"));
    QCOMPARE(boxes.size(), 1);
    const QStringList lines = boxes.first().split(QLatin1Char('\n')).mid(1);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QStringLiteral("手术后：")) && lines.first().contains(faceSource)
                 && lines.first().contains(QString::fromLocal8Bit(std::strerror(ENOSPC))),
             qPrintable(lines.first()));

    // The stored picture of that name is whole, the small one stored, no temporary copy left.
    QCOMPARE(readFile(folder + QStringLiteral("/face.jpg")), oldFace);
    QCOMPARE(readFile(folder + QStringLiteral("/side.jpg")), side);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), (QStringList{"face.jpg", "side.jpg"}));
}

QTEST_MAIN(TestManagerFullDisk)
#include "tst_managerfulldisk.moc"
