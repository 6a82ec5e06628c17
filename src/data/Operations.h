#pragma once
// The data module's named operations: what the windows ask of the database in one call. Each
// runs its statement (see Statements) on the module's shared query, which it leaves holding
// that statement, as every user of the shared query does.

#include "data/AuditLog.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>

class TDataMod;
struct TUserInfo;

namespace Operations {

// The names (类别名称) of the major categories, in the order the database returns them.
QStringList majorCategories(TDataMod &mod);
// The names of the minor categories filed under the major category of that name.
QStringList minorCategories(TDataMod &mod, const QString &major);
// Deletes every category row of that name, major or minor; its minors stay.
void deleteCategory(TDataMod &mod, const QString &name);
// Deletes every case of the customer.
void deleteCasesOf(TDataMod &mod, const QString &customerNo);
// The number for a new customer of that hospital number on that day (see CustomerNo).
// A number that a case row or a picture folder already uses is passed over.
QString makeCustomerNo(TDataMod &mod, const QString &hospitalNo, const QDate &today);
// The cases whose customer number no customer row has ("案例12（客户编号 A1…）"), for the
// administrator's check at start.
QStringList casesWithoutCustomer(TDataMod &mod);

// The account whose user name and password equal the typed texts, or nothing. Of several equal
// accounts the first returned counts. The attempt is recorded as `succeeded` or `failed`.
std::optional<TUserInfo> checkLogin(TDataMod &mod, const QString &name, const QString &password,
                                    AuditLog::Action succeeded = AuditLog::Action::Login,
                                    AuditLog::Action failed = AuditLog::Action::LoginFailed);

// The customer number of a case (Surgery.id); empty when there is no such case.
QString customerOfCase(TDataMod &mod, qint64 caseId);

} // namespace Operations
