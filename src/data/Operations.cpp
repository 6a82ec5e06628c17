#include "data/Operations.h"

#include "audit/AuditLog.h"
#include "data/CustomerNo.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "data/Statements.h"
#include "data/Unit_DataMod.h"

#include <QSqlQuery>
#include <QVariant>

namespace Operations {

namespace {

// Opens a statement on the shared query and returns its 类别名称 column.
QStringList categoryNames(SharedQuery &q, const QString &statement)
{
    q.close();
    q.setSql(statement);
    q.open();
    QStringList names;
    for (int row = 0; row < q.recordCount(); ++row)
        names << q.value(row, QStringLiteral("类别名称")).toString();
    return names;
}

void execute(SharedQuery &q, const QString &statement)
{
    q.close();
    q.setSql(statement);
    q.execSql();
}

} // namespace

QStringList majorCategories(TDataMod &mod)
{
    return categoryNames(mod.ADOQuery, Statements::majorCategories());
}

QStringList minorCategories(TDataMod &mod, const QString &major)
{
    return categoryNames(mod.ADOQuery, Statements::minorCategories(major));
}

void deleteCategory(TDataMod &mod, const QString &name)
{
    AuditLog::Event e;
    e.action = AuditLog::Action::CategoryDeleted;
    e.detail = name;
    AuditLog::recordWith(QSqlDatabase::database(mod.ADOConn, false), e,
                         [&] { execute(mod.ADOQuery, Statements::deleteCategory(name)); });
}

void deleteCasesOf(TDataMod &mod, const QString &customerNo)
{
    // Inside a customer's delete this joins its transaction: the cases, the customer and both
    // events are one unit.
    AuditLog::Event e;
    e.action = AuditLog::Action::CaseDeleted;
    e.customerNo = customerNo;
    e.detail = QStringLiteral("该客户的全部案例");
    AuditLog::recordWith(QSqlDatabase::database(mod.ADOConn, false), e,
                         [&] { execute(mod.ADOQuery, Statements::deleteCustomerCases(customerNo)); });
}

QString makeCustomerNo(TDataMod &mod, const QString &hospitalNo, const QDate &today)
{
    return CustomerNo::MakeCustomerNo(mod.ADOQuery, hospitalNo, today);
}

std::optional<TUserInfo> checkLogin(TDataMod &mod, const QString &name, const QString &password,
                                    AuditLog::Action succeeded, AuditLog::Action failed)
{
    SharedQuery &q = mod.ADOQuery;
    q.close();
    q.setSql(Statements::login(name, password));
    q.open();
    std::optional<TUserInfo> user;
    if (!q.isEmpty()) {
        user = TUserInfo();
        user->UserName = q.value(0, QStringLiteral("UserName")).toString();
        user->IsSYS = DataSet::toBool(q.value(0, QStringLiteral("IsSYS")));
    }
    // Every attempt leaves its event, under the name typed when it failed; the password never.
    AuditLog::Event e;
    e.action = user ? succeeded : failed;
    e.user = user ? user->UserName : name;
    AuditLog::record(QSqlDatabase::database(mod.ADOConn, false), e);
    return user;
}

QString customerOfCase(TDataMod &mod, qint64 caseId)
{
    QSqlQuery q = Db::runPrepared(QSqlDatabase::database(mod.ADOConn, false),
                                  QStringLiteral("SELECT 客户编号 FROM Surgery WHERE id = ?"), {caseId});
    return q.next() ? q.value(0).toString() : QString();
}

} // namespace Operations
