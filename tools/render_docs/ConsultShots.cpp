// The consultation mode's levels drawn for the README, over a copy of the installation's
// database: the mode records what it shows in the audit log, and the demo folder stays as it is.
#include "Shots.h"

#include "consent/Consent.h"
#include "consent/Showable.h"
#include "consult/ConsultWindow.h"
#include "data/Unit_DataMod.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <stdexcept>

namespace {

void settleFor(int ms)
{
    QElapsedTimer t;
    t.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

void key(QWidget *w, int k)
{
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
    settleFor(150);
}

// An installation whose demo data carries no consent yet still gets pictures: every second case
// with both a before and an after picture is marked as showable in the copy.
void markShowableWhenNoneIs(TDataMod &mod)
{
    const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn);
    if (!Showable::load(db).isEmpty())
        return;
    QSqlQuery q(db);
    q.exec(QStringLiteral(
        "SELECT id, 客户编号 FROM Surgery WHERE COALESCE(手术前, '') <> '' AND COALESCE(手术后, '') <> '' ORDER BY id"));
    int n = 0;
    QVector<QPair<qint64, QString>> cases;
    while (q.next())
        cases.append({q.value(0).toLongLong(), q.value(1).toString()});
    for (const auto &c : cases) {
        if (n++ % 2 == 0)
            Consent::write(db, c.first, c.second, {Consent::Level::MayShow, {}, {}});
    }
}

} // namespace

QStringList renderConsultation(const QString &programFolder, const QString &outputFolder)
{
    QTemporaryDir copy;
    const QString folder = copy.path() + QLatin1Char('/');
    if (!QDir().mkpath(folder + QStringLiteral("Data"))
        || !QFile::copy(programFolder + QStringLiteral("Data/Data.mdb"), folder + QStringLiteral("Data/Data.mdb"))
        || !QFile::link(programFolder + QStringLiteral("pic"), folder + QStringLiteral("pic")))
        throw std::runtime_error("cannot copy the installation for the consultation pictures");

    QStringList written;
    {
        TDataMod mod(folder);
        mod.DataModuleCreate();
        markShowableWhenNoneIs(mod);
        QWidget staff;
        ConsultWindow w(mod, &staff);
        if (!w.start())
            throw std::runtime_error("the consultation mode did not open");
        w.showNormal();
        w.resize(1280, 720);
        settleFor(300);
        auto shoot = [&](const QString &name) {
            const QImage image = w.grab().toImage();
            if (image.isNull() || isUniform(image))
                throw std::runtime_error(
                    (QStringLiteral("the consultation mode drew nothing for ") + name).toStdString());
            const QString path = outputFolder + QLatin1Char('/') + name + QStringLiteral(".png");
            if (!image.convertToFormat(QImage::Format_Indexed8, Qt::DiffuseDither).save(path, "PNG", 0))
                throw std::runtime_error((QStringLiteral("cannot write ") + path).toStdString());
            written << path;
        };
        shoot(QStringLiteral("consult-categories"));
        key(&w, Qt::Key_Return);
        shoot(QStringLiteral("consult-subcategories"));
        key(&w, Qt::Key_Return);
        shoot(QStringLiteral("consult-cases"));
        key(&w, Qt::Key_Return);
        settleFor(300);
        shoot(QStringLiteral("consult-compare"));
        w.hide();
    }
    return written;
}
