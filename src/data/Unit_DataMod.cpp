#include "data/Unit_DataMod.h"

#include "data/AppError.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "data/DbEngine.h"
#include "data/SchemaUpgrade.h"
#include "data/AuditLog.h"
#include "data/Settings.h"
#include "data/Statements.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

TDataMod *DataMod = nullptr;

// ---- shared query --------------------------------------------------------------------------

void SharedQuery::close()
{
    m_active = false;
    m_rows.clear();
    m_fields.clear();
}

void SharedQuery::open()
{
    close();
    QSqlQuery q = Db::run(QSqlDatabase::database(m_connection, false), m_sql);
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        m_fields << rec.fieldName(i);
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < m_fields.size(); ++i)
            row << q.value(i);
        m_rows << row;
    }
    m_active = true;
}

void SharedQuery::execSql()
{
    close();
    Db::run(QSqlDatabase::database(m_connection, false), m_sql);
}

QVariant SharedQuery::value(int row, const QString &field) const
{
    for (int i = 0; i < m_fields.size(); ++i)
        if (m_fields.at(i).compare(field, Qt::CaseInsensitive) == 0)
            return value(row, i);
    throw AppError(QStringLiteral("Field '%1' not found").arg(field));
}

QVariant SharedQuery::value(int row, int column) const
{
    if (row < 0 || row >= m_rows.size())
        return QVariant();
    return m_rows.at(row).value(column);
}

// ---- data module ---------------------------------------------------------------------------

static QString newConnectionName()
{
    return QStringLiteral("ADOConn-") + QUuid::createUuid().toString(QUuid::Id128);
}

TDataMod::TDataMod(const QString &programFolder, QObject *parent)
    : QObject(parent), ADOConn(newConnectionName()), ADOQuery(ADOConn), m_folder(programFolder)
{
    if (!m_folder.endsWith(QLatin1Char('/')))
        m_folder += QLatin1Char('/');
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ADOConn);
    AuditLog::setUser(QString());
}

TDataMod::~TDataMod()
{
    {
        QSqlDatabase db = QSqlDatabase::database(ADOConn, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(ADOConn);
    if (DataMod == this)
        DataMod = nullptr;
}

void TDataMod::DataModuleCreate()
{
    OpenDatabase();
}

QString TDataMod::databasePath() const
{
    return m_folder + QStringLiteral("Data/Data.mdb");
}

bool TDataMod::isConnected() const
{
    return QSqlDatabase::database(ADOConn, false).isOpen();
}

// Replaces the connection's driver when the engine chosen differs from the one it was made with.
static void useDriver(const QString &connection, const QString &driver)
{
    if (QSqlDatabase::database(connection, false).driverName() == driver)
        return;
    QSqlDatabase::removeDatabase(connection);
    QSqlDatabase::addDatabase(driver, connection);
}

void TDataMod::OpenDatabase()
{
    // The machine's connection file chooses the engine; a [Database] section left in the shared
    // settings file stops start-up before anything is opened.
    const DbEngine::Choice engine = DbEngine::choose();
    if (engine.engine == DbEngine::Engine::PostgreSQL) {
        // A server named by the connection file; libpq supplies what the file leaves out
        // (service file, .pgpass, PG* environment). Nothing is created on the server.
        m_connectionString = DbEngine::conninfo(engine.server);
        useDriver(ADOConn, QStringLiteral("QPSQL"));
        DbEngine::openServer(ADOConn, m_connectionString);
        upgradeDatabase(QString());
        // The head of the audit chain, kept on this machine beside the settings file, under
        // the installation's identity (several servers may be used from one machine).
        QSqlQuery id(QSqlDatabase::database(ADOConn, false));
        if (id.exec(QStringLiteral("SELECT Id FROM BelcaraInstallation")) && id.next())
            AuditLog::setHeadFile(
                AuditLog::headFileForServer(QFileInfo(Settings::path()).absolutePath(), id.value(0).toString()));
        return;
    }
    useDriver(ADOConn, QStringLiteral("QSQLITE"));
    // The connection string keeps the form the installation has always used; the data source
    // is the program folder's Data/Data.mdb, written unchanged (blanks and all, no quotes).
    m_connectionString = QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=") + databasePath()
                         + QStringLiteral(";Persist Security Info=false;");
    QSqlDatabase db = QSqlDatabase::database(ADOConn, false);
    if (db.isOpen())
        db.close();
    const QString path = databasePath();
    // SQLite would make a new empty file where none is: the program never creates its database.
    const QFileInfo info(path);
    if (!info.exists())
        throw AppError(QStringLiteral("Could not find file '%1'.").arg(path));
    if (!info.isFile())
        throw AppError(QStringLiteral("'%1' is not a database file.").arg(path));
    db.setDatabaseName(path);
    // A user who may read the database but not change it (the file, or the folder where SQLite
    // keeps its journal) browses it read-only; every save is then refused with one message.
    m_readOnly = !info.isWritable() || !QFileInfo(info.absolutePath()).isWritable();
    // Another copy of the program writing at the same moment makes this one wait, not fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000")
                         + (m_readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    if (!db.open())
        throw AppError(Db::errorText(db.lastError()));
    QSqlQuery q(db);
    // Reading the catalogue makes a file that is not a database fail now, not later.
    if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
        const QString text = Db::errorText(q.lastError());
        q.finish();
        db.close();
        throw AppError(text);
    }
    q.finish();
    // Before anything else is written: a newer database is refused untouched, an older one is
    // copied aside and upgraded (and one this user may only read is refused when it needs that).
    upgradeDatabase(path);
    // The head of the audit chain, kept beside the database file.
    AuditLog::setHeadFile(AuditLog::headFileBeside(path));
    // Switching the journal writes to the file, so a read-only database keeps the one it has.
    if (!m_readOnly
        && (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.exec(QStringLiteral("PRAGMA synchronous=FULL")))) {
        const QString text = Db::errorText(q.lastError());
        q.finish();
        db.close();
        throw AppError(text);
    }
}

void TDataMod::upgradeDatabase(const QString &sqliteFile)
{
    QSqlDatabase db = QSqlDatabase::database(ADOConn, false);
    try {
        m_upgrade = SchemaUpgrade::upgrade(db, sqliteFile);
    } catch (...) {
        db.close();
        throw;
    }
}

bool TDataMod::ReadMustLogin()
{
    ADOQuery.close();
    ADOQuery.setSql(Statements::readParam());
    ADOQuery.open();
    const bool result = !ADOQuery.isEmpty() && DataSet::toBool(ADOQuery.value(0, QStringLiteral("MustLogin")));
    m_mustLogin = result;
    return result;
}

void TDataMod::WriteMustLogin(bool value)
{
    if (value == m_mustLogin)
        return;
    ADOQuery.close();
    ADOQuery.setSql(Statements::writeMustLogin(value));
    AuditLog::Event e;
    e.action = AuditLog::Action::LoginSwitchChanged;
    e.detail = value ? QStringLiteral("开") : QStringLiteral("关");
    AuditLog::recordWith(QSqlDatabase::database(ADOConn, false), e, [this] { ADOQuery.execSql(); });
}

void TDataMod::SetCurrentUser(const TUserInfo &user)
{
    CurrentUser = user;
    AuditLog::setUser(user.UserName);
}
