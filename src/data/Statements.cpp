#include "data/Statements.h"

#include "data/JetSql.h"

using JetSql::quoted;

namespace Statements {

QString login(const QString &name, const QString &pwd)
{
    return QStringLiteral("SELECT * FROM SysManager WHERE UserName='") + quoted(name) + QStringLiteral("' AND Pwd ='")
           + quoted(pwd) + QLatin1Char('\'');
}

QString readParam()
{
    return QStringLiteral("select * from  [Param]");
}

QString writeMustLogin(bool on)
{
    return on ? QStringLiteral("update [Param] set MustLogin=true")
              : QStringLiteral("update [Param] set MustLogin=false");
}

QString majorCategories()
{
    return QStringLiteral("SELECT * FROM [Class] WHERE 父类别=''");
}

QString minorCategories(const QString &parent)
{
    return QStringLiteral("SELECT * FROM [Class] WHERE 父类别='") + quoted(parent) + QLatin1Char('\'');
}

QString deleteCategory(const QString &name)
{
    return QStringLiteral("Delete from [class] where 类别名称='") + quoted(name) + QLatin1Char('\'');
}

QString maxCustomerNo(const QString &prefix)
{
    return QStringLiteral("SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo WHERE LEFT(客户编号,10) = '")
           + quoted(prefix) + QStringLiteral("' ORDER BY 客户编号 DESC");
}

QString deleteCustomerCases(const QString &customerNo)
{
    return QStringLiteral("DELETE * FROM Surgery WHERE 客户编号='") + quoted(customerNo) + QLatin1Char('\'');
}

QString showAll()
{
    return QStringLiteral("SELECT * FROM Surgery WHERE 客户编号=客户编号");
}

QString jetDate(const QDate &date)
{
    return QStringLiteral("%1-%2-%3").arg(date.year()).arg(date.month()).arg(date.day());
}

QString filter(const CaseFilter &f)
{
    QString sql = showAll();
    if (f.byCategory) {
        if (f.hasMajor)
            sql += QStringLiteral(" AND 手术大类='") + quoted(f.major) + QLatin1Char('\'');
        if (f.hasMinor)
            sql += QStringLiteral(" AND 手术小类='") + quoted(f.minor) + QLatin1Char('\'');
    }
    if (f.bySurgeon && !f.surgeon.isEmpty())
        sql += QStringLiteral(" AND 手术医生 like '%") + quoted(f.surgeon) + QStringLiteral("%'");
    if (f.byDate) {
        sql += QStringLiteral(" AND 手术日期 between #") + jetDate(f.from) + QStringLiteral("# And #") + jetDate(f.to)
               + QLatin1Char('#');
    }
    return sql;
}

QString searchClause(bool checked, const QString &text)
{
    if (!checked)
        return QString();
    return QStringLiteral("Where 客户编号 like '%") + quoted(text) + QStringLiteral("%'");
}

QString search(const QString &clause)
{
    return QStringLiteral("SELECT * FROM Surgery ") + clause;
}

} // namespace Statements
