#pragma once
// The data module: the program's one database connection, the shared scratch query, the
// login switch and the user who logged in.

#include "data/SchemaUpgrade.h"

#include <QObject>
#include <QSqlRecord>
#include <QString>
#include <QVariant>
#include <QVector>

struct TUserInfo {
    QString UserName;
    bool IsSYS = false;
};

// The shared scratch query: each user replaces its statement (close, set, open or execute) and
// reads the rows at once. Its rows are small lists (categories, a running number).
class SharedQuery {
public:
    explicit SharedQuery(const QString &connectionName) : m_connection(connectionName) {}
    void close();
    void setSql(const QString &jet) { m_sql = jet; }
    QString sql() const { return m_sql; }
    void open();    // runs a SELECT and keeps its rows
    void execSql(); // runs an UPDATE or DELETE
    bool isActive() const { return m_active; }
    int recordCount() const { return m_rows.size(); }
    bool isEmpty() const { return m_rows.isEmpty(); }
    QVariant value(int row, const QString &field) const;
    QVariant value(int row, int column) const;

private:
    QString m_connection;
    QString m_sql;
    bool m_active = false;
    QStringList m_fields;
    QVector<QVariantList> m_rows;
};

class TDataMod : public QObject {
    Q_OBJECT
public:
    // Creating the module opens the database (DataModuleCreate); a failure raises AppError with
    // the engine's text and leaves the module without a connection.
    explicit TDataMod(const QString &programFolder, QObject *parent = nullptr);
    ~TDataMod() override;

    void DataModuleCreate();
    void OpenDatabase();
    bool ReadMustLogin();
    void WriteMustLogin(bool value);
    void SetCurrentUser(const TUserInfo &user);

    QString programFolder() const { return m_folder; }
    QString connectionString() const { return m_connectionString; }
    QString databasePath() const;
    bool isConnected() const;
    bool cachedMustLogin() const { return m_mustLogin; }
    // The database file may be read but not changed by this user: it was opened read-only.
    bool isReadOnly() const { return m_readOnly; }
    // What opening the database did to bring it to the program's version.
    const SchemaUpgrade::Report &lastUpgrade() const { return m_upgrade; }

    const QString ADOConn; // the connection's name; every data set names it
    SharedQuery ADOQuery;
    TUserInfo CurrentUser;

private:
    void upgradeDatabase(const QString &sqliteFile);
    QString m_folder;
    QString m_connectionString;
    bool m_mustLogin = false;
    bool m_readOnly = false;
    SchemaUpgrade::Report m_upgrade;
};

// The one instance, made at start-up (tests make their own).
extern TDataMod *DataMod;
