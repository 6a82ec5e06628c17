#include "data/Transaction.h"

#include "data/AppError.h"
#include "data/Db.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <utility>

namespace {
// Open transactions by connection name, per thread (a connection lives in one thread). An
// inner transaction that ends without commit spoils the outer one: its commit then refuses.
struct Open {
    int depth = 0;
    bool spoiled = false;
    QList<std::function<void()>> afterCommit;
};
QHash<QString, Open> &depths()
{
    thread_local QHash<QString, Open> d;
    return d;
}

void exec(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        throw AppError(Db::errorText(q.lastError()));
}
} // namespace

Transaction::Transaction(const QSqlDatabase &db, Lock lock) : m_db(db)
{
    Open &open = depths()[db.connectionName()];
    m_outermost = open.depth == 0;
    if (m_outermost) {
        const bool sqlite = Db::dialect(db) == JetSql::Dialect::SQLite;
        QSqlQuery q(db);
        if (!q.exec(sqlite && lock == Lock::Immediate ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"))) {
            depths().remove(db.connectionName());
            throw BeginFailed(Db::errorText(q.lastError()), q.lastError());
        }
        open.spoiled = false;
    }
    ++open.depth;
}

Transaction::~Transaction()
{
    const QString name = m_db.connectionName();
    Open &open = depths()[name];
    if (!m_done) {
        if (m_outermost) {
            QSqlQuery q(m_db);
            q.exec(QStringLiteral("ROLLBACK"));
        } else {
            open.spoiled = true;
        }
    }
    if (--open.depth <= 0)
        depths().remove(name);
}

void Transaction::commit()
{
    if (m_done)
        return;
    if (m_outermost) {
        if (depths().value(m_db.connectionName()).spoiled)
            throw AppError(QStringLiteral("A part of the change failed; nothing was saved"));
        exec(m_db, QStringLiteral("COMMIT")); // a refused commit leaves the rollback to the destructor
        m_done = true;
        const QList<std::function<void()>> after = std::exchange(depths()[m_db.connectionName()].afterCommit, {});
        for (const auto &f : after)
            f();
        return;
    }
    m_done = true;
}

void Transaction::afterCommit(const QSqlDatabase &db, std::function<void()> f)
{
    auto it = depths().find(db.connectionName());
    if (it == depths().end() || it->depth <= 0) {
        f();
        return;
    }
    it->afterCommit << std::move(f);
}

bool Transaction::isOpen(const QSqlDatabase &db)
{
    return depths().value(db.connectionName()).depth > 0;
}

Savepoint::Savepoint(const QSqlDatabase &db) : m_db(db)
{
    auto it = depths().find(db.connectionName());
    if (it == depths().end() || it->depth <= 0)
        return;
    m_spoiledBefore = it->spoiled;
    m_name = QStringLiteral("belcara_sp%1").arg(it->depth);
    exec(db, QStringLiteral("SAVEPOINT ") + m_name);
    m_active = true;
}

Savepoint::~Savepoint()
{
    if (m_active) {
        QSqlQuery q(m_db);
        q.exec(QStringLiteral("ROLLBACK TO SAVEPOINT ") + m_name);
    }
}

void Savepoint::release()
{
    if (!m_active)
        return;
    m_active = false;
    exec(m_db, QStringLiteral("RELEASE SAVEPOINT ") + m_name);
}

void Savepoint::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    exec(m_db, QStringLiteral("ROLLBACK TO SAVEPOINT ") + m_name);
    exec(m_db, QStringLiteral("RELEASE SAVEPOINT ") + m_name);
    // What failed after the savepoint is undone: the transaction is as sound as it was then.
    auto it = depths().find(m_db.connectionName());
    if (it != depths().end())
        it->spoiled = m_spoiledBefore;
}
