#include "data/Settings.h"

#include "data/ProfileFile.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

const QString Section = QStringLiteral("KZ");

QMutex pathLock;
QString &currentPath()
{
    static QString path = Settings::defaultPath();
    return path;
}

ProfileFile file()
{
    return ProfileFile(Settings::path());
}

} // namespace

namespace Settings {

QString defaultPath()
{
    return QStringLiteral("/var/lib/belcara/Belcara.ini");
}

void setPath(const QString &path)
{
    QMutexLocker locker(&pathLock);
    currentPath() = path;
}

QString path()
{
    QMutexLocker locker(&pathLock);
    return currentPath();
}

bool readOpen()
{
    return file().readBool(Section, QStringLiteral("Open"), false);
}

void writeOpen(bool open)
{
    file().writeBool(Section, QStringLiteral("Open"), open);
}

QString readHospitalNo()
{
    return file().readString(Section, QStringLiteral("No"), QStringLiteral("A1"));
}

void writeHospitalNo(const QString &hospitalNo)
{
    file().writeString(Section, QStringLiteral("NO"), hospitalNo);
}

QString readString(const QString &section, const QString &key, const QString &defaultValue)
{
    return file().readString(section, key, defaultValue);
}

void writeString(const QString &section, const QString &key, const QString &value)
{
    file().writeString(section, key, value);
}

} // namespace Settings
