#pragma once
// Shared set-up of the records window tests: a throw-away installation, the scripted Prompter,
// and small helpers that work the window's controls as a user would.

#include "data/CustomerNo.h"
#include "data/DataSet.h"
#include "support/ScriptedPrompter.h"
#include "data/Settings.h"
#include "support/TestInstall.h"
#include "records/Unit_Manager.h"

#include <QComboBox>
#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QFile>
#include <QLineEdit>
#include <QtTest>

namespace ManagerTest {

inline QString today()
{
    return CustomerNo::DateStamp(QDate::currentDate());
}

// Puts text into a bound box as typing does (the binding listens to textEdited).
inline void type(QLineEdit *box, const QString &text)
{
    box->setText(text);
    emit box->textEdited(text);
}

// Picks an item of a drop-down list as the user does.
inline void choose(QComboBox *combo, const QString &text)
{
    const int i = combo->findText(text, Qt::MatchExactly);
    QVERIFY2(i >= 0, qPrintable(text));
    combo->setCurrentIndex(i);
    emit combo->activated(i);
}

inline QStringList items(const QComboBox *combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemText(i);
    return out;
}

// A small real JPEG with the tag after its end: the loader reads it as a picture, and each tag
// gives a file of its own content.
inline QByteArray pictureBytes(const QByteArray &tag)
{
    static const QByteArray jpeg = [] {
        QImage image(16, 12, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPG");
        return bytes;
    }();
    return jpeg + tag;
}

// Writes a file with the given bytes, making its folder.
inline QString writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline int count(const TestInstall &install, const QString &sql)
{
    return install.scalar(sql).toInt();
}

// Customers 甲 (two cases), 乙 (one case) and 丙 (none), numbered on 7 December 2006.
inline void seedCustomers(const TestInstall &install)
{
    install.exec(QStringLiteral("INSERT INTO tUserInfo (客户编号, 用户姓名) VALUES "
                                "('A1200612070001','Jia'),('A1200612070002','Yi'),('A1200612070003','Bing')"));
    install.exec(QStringLiteral("INSERT INTO Surgery (客户编号, 手术大类, 手术医生) VALUES "
                                "('A1200612070001','眼部','Wang'),('A1200612070001','鼻部','Li'),"
                                "('A1200612070002','眼部','Zhao')"));
}

inline void seedCategories(const TestInstall &install)
{
    install.exec(QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES "
                                "('眼部',''),('鼻部',''),('双眼皮','眼部'),('开眼角','眼部'),('面部',NULL)"));
}

} // namespace ManagerTest
