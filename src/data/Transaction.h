#pragma once
// One transaction on a connection, ended by commit() or rolled back when it goes out of scope
// (an exception on the way). Transactions nest: an inner one joins the outer one, whose commit
// or rollback decides for both, so a row's save and its audit event can be one unit whoever
// started it.

#include "data/AppError.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <functional>

class Transaction {
public:
    // How SQLite takes its lock: Deferred at the first write (a modal question before it keeps
    // no other workstation waiting), Immediate at once (read-then-write work such as upgrades).
    enum class Lock { Deferred, Immediate };

    // The engine refused to begin (SQLite: busy past the timeout, or a read-only file).
    class BeginFailed : public AppError {
    public:
        BeginFailed(const QString &text, const QSqlError &e) : AppError(text), error(e) {}
        QSqlError error;
    };

    explicit Transaction(const QSqlDatabase &db, Lock lock = Lock::Deferred);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit();
    bool isOutermost() const { return m_outermost; }
    // True while the connection has an open transaction started by this class.
    static bool isOpen(const QSqlDatabase &db);
    // Runs f once the connection's open transaction is committed (at once when none is open);
    // dropped when it is rolled back. For what is kept outside the database about a change.
    static void afterCommit(const QSqlDatabase &db, std::function<void()> f);

private:
    QSqlDatabase m_db;
    bool m_outermost = false;
    bool m_done = false;
};

// A part of the connection's open transaction that may fail on its own: rollback() undoes what
// was done since it was set, and the transaction may still commit the rest (a save retried
// under another key). Without an open transaction it does nothing.
class Savepoint {
public:
    explicit Savepoint(const QSqlDatabase &db);
    ~Savepoint();
    Savepoint(const Savepoint &) = delete;
    Savepoint &operator=(const Savepoint &) = delete;
    void release();
    void rollback();

private:
    QSqlDatabase m_db;
    QString m_name;
    bool m_active = false;
    bool m_spoiledBefore = false;
};
