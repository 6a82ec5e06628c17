#pragma once
// One transaction on a connection, ended by commit() or rolled back when it goes out of scope
// (an exception on the way). Transactions nest: an inner one joins the outer one, whose commit
// or rollback decides for both, so a row's save and its audit event can be one unit whoever
// started it.

#include "data/AppError.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

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

private:
    QSqlDatabase m_db;
    bool m_outermost = false;
    bool m_done = false;
};
