#include "data/CustomerTable.h"

#include "data/AuditLog.h"
#include "data/Db.h"
#include "data/JetSql.h"
#include "data/Transaction.h"

namespace {
const QString kCustomerNo = QStringLiteral("客户编号");
}

CustomerTable::CustomerTable(const QString &connectionName, MakeNumber makeNumber, QObject *parent)
    : TableDataSet(connectionName, QStringLiteral("tUserInfo"), parent), m_makeNumber(std::move(makeNumber))
{
}

void CustomerTable::writeRow(bool inserting, QVariantList &values, int storageRow)
{
    const int k = fieldIndex(kCustomerNo);
    const QString first = k >= 0 ? values.value(k).toString() : QString();
    for (int tries = 1;; ++tries) {
        // Inside a larger transaction (a case saving its new customer first) a refused try
        // is undone alone, so that the next number can still be saved with the rest.
        Savepoint attempt(QSqlDatabase::database(connectionName(), false));
        try {
            TableDataSet::writeRow(inserting, values, storageRow);
            attempt.release();
            break;
        } catch (const DuplicateKey &) {
            attempt.rollback();
            const QString taken = values.value(k).toString();
            if (!inserting || k < 0 || m_generated.isEmpty() || taken != m_generated || tries >= MaxTries
                || !m_makeNumber)
                throw DuplicateKey(QStringLiteral("客户编号“%1”已有另一位客户使用，请改用别的编号。").arg(taken));
            // Another workstation saved this number first: the saved rows now give the next.
            const QString next = m_makeNumber();
            if (next == taken)
                throw;
            m_generated = next;
            values[k] = next;
        }
    }
    if (inserting && k >= 0) {
        const QString saved = values.value(k).toString();
        m_generated.clear();
        if (saved != first && m_onRenumbered)
            m_onRenumbered(first, saved);
    }
}

namespace CustomerCases {

namespace {
// The keys as an SQL list, or an empty text when there are none.
QString idList(const QVariantList &caseIds)
{
    QStringList ids;
    for (const QVariant &id : caseIds)
        if (!id.isNull())
            ids << QString::number(id.toLongLong());
    return ids.join(QLatin1Char(','));
}
} // namespace

void moveCases(const QString &connectionName, const QVariantList &caseIds, const QString &customerNo)
{
    const QString ids = idList(caseIds);
    if (ids.isEmpty())
        return;
    Db::run(QSqlDatabase::database(connectionName, false),
            QStringLiteral("UPDATE Surgery SET 客户编号='%1' WHERE id IN (%2)").arg(JetSql::quoted(customerNo), ids));
}

void removeCases(const QString &connectionName, const QVariantList &caseIds)
{
    const QString ids = idList(caseIds);
    if (ids.isEmpty())
        return;
    const QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    Transaction t(db);
    AuditLog::recordCasesDeleted(db, QStringLiteral("id IN (%1)").arg(ids), {});
    Db::run(db, QStringLiteral("DELETE FROM Surgery WHERE id IN (%1)").arg(ids));
    t.commit();
}

} // namespace CustomerCases
