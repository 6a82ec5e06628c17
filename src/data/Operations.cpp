#include "data/Operations.h"

#include "data/AuditLog.h"
#include "data/CustomerNo.h"
#include "data/DataSet.h"
#include "data/Db.h"
#include "data/PictureStore.h"
#include "data/Statements.h"
#include "data/Transaction.h"
#include "data/Unit_DataMod.h"

#include <QFileInfo>
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
    // Each case gets its own event, with its number and pictures.
    const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn, false);
    Transaction t(db);
    AuditLog::recordCasesDeleted(db, QStringLiteral("客户编号 = ?"), {customerNo});
    execute(mod.ADOQuery, Statements::deleteCustomerCases(customerNo));
    t.commit();
}

namespace {
// A number some case row or picture folder already carries (a customer row deleted, or lost
// to a crash, before its cases): giving it to a new customer would hand that customer the old
// cases and pictures.
bool numberInUse(TDataMod &mod, const QString &number)
{
    const QSqlDatabase db = QSqlDatabase::database(mod.ADOConn, false);
    QSqlQuery q = Db::runPrepared(
        db,
        QStringLiteral(
            "SELECT (SELECT count(*) FROM Surgery WHERE 客户编号 = ?) + (SELECT count(*) FROM tUserInfo WHERE 客户编号 = ?)"),
        {number, number});
    if (q.next() && q.value(0).toLongLong() > 0)
        return true;
    return QFileInfo::exists(PictureStore::storeRoot(mod.programFolder()) + number);
}
} // namespace

QString makeCustomerNo(TDataMod &mod, const QString &hospitalNo, const QDate &today)
{
    QString number = CustomerNo::MakeCustomerNo(mod.ADOQuery, hospitalNo, today);
    const int prefixLength = hospitalNo.size() + 8;
    for (int tries = 0; tries < 10000 && numberInUse(mod, number); ++tries)
        number = number.left(prefixLength) + CustomerNo::nextRunningNumber(number.mid(prefixLength));
    return number;
}

QStringList casesWithoutCustomer(TDataMod &mod)
{
    QSqlQuery q = Db::runPrepared(QSqlDatabase::database(mod.ADOConn, false),
                                  QStringLiteral(
                                      "SELECT s.id, s.客户编号 FROM Surgery s LEFT JOIN tUserInfo u "
                                      "ON u.客户编号 = s.客户编号 WHERE u.id IS NULL ORDER BY s.客户编号, s.id"),
                                  {});
    QStringList out;
    while (q.next())
        out << QStringLiteral("案例%1（客户编号 %2）").arg(q.value(0).toLongLong()).arg(q.value(1).toString());
    return out;
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
