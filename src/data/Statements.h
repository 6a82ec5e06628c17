#pragma once
// The statements the program sends, in the Jet dialect (JetSql translates them for the engine).
// Every value placed between single quotes has its quotes doubled (JetSql::quoted), so a typed
// quote is matched literally and can never end the text early or widen a statement.

#include <QDate>
#include <QString>

namespace Statements {

// Accounts: the rows whose UserName and Pwd equal the typed texts.
QString login(const QString &name, const QString &pwd);

// The login switch: "select * from  [Param]" and the update of every Param row.
QString readParam();
QString writeMustLogin(bool on);

// Category tree: major categories (父类别 is the empty string), the minors of one major, and the
// delete of every Class row of a name, whatever its level.
QString majorCategories();
QString minorCategories(const QString &parent);
QString deleteCategory(const QString &name);

// Customers: the last four characters (column MaxId) of the customer numbers that begin with the
// ten-character prefix, greatest number first.
QString maxCustomerNo(const QString &prefix);
// Cases: delete every case of one customer.
QString deleteCustomerCases(const QString &customerNo);

// The case list: every case that has a customer number.
QString showAll();

// The main window's filter panel. A category condition needs byCategory and a selection in
// the drop-down (hasMajor / hasMinor, independent of each other); the surgeon condition needs
// bySurgeon and a non-empty text; the date range takes both days inclusive.
struct CaseFilter {
    bool byCategory = false;
    QString major;
    bool hasMajor = false;
    QString minor;
    bool hasMinor = false;
    bool bySurgeon = false;
    QString surgeon;
    bool byDate = false;
    QDate from;
    QDate to;
};
QString filter(const CaseFilter &f);

// A date as the filter writes it between # signs: year-month-day, unpadded ("2003-1-15"),
// which Jet and our translator read the same whatever the regional settings.
QString jetDate(const QDate &date);

// The search dialog's clause ("" when its box is unchecked) and the statement made from it.
QString searchClause(bool checked, const QString &text);
QString search(const QString &clause);

} // namespace Statements
