#pragma once
// The customer table as the records window edits it. Several workstations (or several copies of
// the program on one file) may generate the same number for customers they create at the same
// time, since the number is read from the saved rows when the new row starts. The unique index
// on 客户编号 refuses the second save; while the row still carries the number it was given, it
// then takes the next free number and is saved again. A number typed by hand is never changed:
// its collision is refused with a message naming the number taken.

#include "data/DataSet.h"

#include <functional>

class CustomerTable : public TableDataSet {
    Q_OBJECT
public:
    using MakeNumber = std::function<QString()>;
    using Renumbered = std::function<void(const QString &oldNo, const QString &newNo)>;

    // makeNumber generates a number from the rows saved now (MakeCustomerNo).
    CustomerTable(const QString &connectionName, MakeNumber makeNumber, QObject *parent = nullptr);

    // The number the new-record hook gave the row being inserted.
    void setGeneratedNo(const QString &number) { m_generated = number; }
    QString generatedNo() const { return m_generated; }

    // Told after a save that had to take another number than the one first given.
    void setOnRenumbered(Renumbered f) { m_onRenumbered = std::move(f); }

    // Tries at most this many numbers before giving up with the database's text.
    static constexpr int MaxTries = 100;

protected:
    void writeRow(bool inserting, QVariantList &values, int storageRow) override;

private:
    MakeNumber m_makeNumber;
    Renumbered m_onRenumbered;
    QString m_generated;
};

namespace CustomerCases {
// Gives the cases with these keys (Surgery.id) the customer number (after a renumbered save).
void moveCases(const QString &connectionName, const QVariantList &caseIds, const QString &customerNo);
// Deletes the cases with these keys (those of a new customer that is dropped unsaved).
void removeCases(const QString &connectionName, const QVariantList &caseIds);
} // namespace CustomerCases
