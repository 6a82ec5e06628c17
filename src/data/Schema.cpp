#include "data/Schema.h"

#include "data/AppError.h"
#include "data/SchemaUpgrade.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>

// Q_INIT_RESOURCE declares the resource's init function where it is used, so it has to be
// used outside any namespace.
static void initCoreResources()
{
    Q_INIT_RESOURCE(core);
}

namespace Schema {

QStringList scriptStatements(const QString &resource, const QString &stopAt)
{
    initCoreResources();
    QFile f(resource);
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("The database schema is missing from the program"));
    QStringList out;
    QString current;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString t = line.trimmed();
        if (!stopAt.isEmpty() && t == stopAt)
            break;
        if (t.startsWith(QLatin1String("--")) || t.isEmpty())
            continue;
        current += line + QLatin1Char('\n');
        if (t.endsWith(QLatin1Char(';'))) {
            out << current.trimmed().chopped(1);
            current.clear();
        }
    }
    return out;
}

QStringList statements()
{
    return scriptStatements(QStringLiteral(":/schema.sql")) + SchemaUpgrade::newestStatements(false);
}

void createDatabase(const QString &path)
{
    if (QFileInfo::exists(path))
        throw AppError(QStringLiteral("%1 already exists").arg(path));
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        throw AppError(QStringLiteral("Cannot create the folder %1").arg(info.absolutePath()));

    // Build under a temporary name and rename, so a failed build never leaves half a database.
    const QString tmp = path + QStringLiteral(".part");
    QFile::remove(tmp);
    const QString name = QStringLiteral("schema-") + QUuid::createUuid().toString(QUuid::Id128);
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(tmp);
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            q.exec(QStringLiteral("PRAGMA journal_mode=DELETE"));
            db.transaction();
            for (const QString &s : statements()) {
                if (!q.exec(s)) {
                    error = q.lastError().text();
                    break;
                }
            }
            if (error.isEmpty() && !db.commit())
                error = db.lastError().text();
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (error.isEmpty() && !QFile::rename(tmp, path))
        error = QStringLiteral("Cannot write %1").arg(path);
    if (!error.isEmpty()) {
        QFile::remove(tmp);
        throw AppError(error);
    }
}

} // namespace Schema
