#include "app/StartupChecks.h"

#include "data/AuditLog.h"
#include "data/AppError.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"
#include "widgets/Prompter.h"

#include <QSqlDatabase>

namespace StartupChecks {

void run(QWidget *owner, bool administrator)
{
    const QSqlDatabase db = QSqlDatabase::database(DataMod->ADOConn, false);
    QStringList restored;
    QString guardError;
    try {
        restored = AuditLog::restoreTriggers(db);
    } catch (const AppError &e) {
        guardError = e.text();
    }
    if (!administrator)
        return;
    QStringList report;
    try {
        AuditLog::Verdict v = AuditLog::verify(db, AuditLog::readHead(AuditLog::headFile()));
        v.triggersRestored = restored + v.triggersRestored;
        if (!v.whole || !v.triggersRestored.isEmpty())
            report << v.summary();
    } catch (const AppError &e) {
        report << QStringLiteral("无法检查操作记录：%1").arg(e.text());
    }
    if (!guardError.isEmpty())
        report << QStringLiteral("无法恢复操作记录的保护：%1").arg(guardError);
    try {
        const QStringList orphans = Operations::casesWithoutCustomer(*DataMod);
        if (!orphans.isEmpty())
            report << QStringLiteral("以下%1个手术案例没有对应的客户资料（请在资料管理中补上客户或删除案例）：\n")
                              .arg(orphans.size())
                          + orphans.mid(0, 30).join(QLatin1Char('\n'))
                          + (orphans.size() > 30 ? QStringLiteral("\n……") : QString());
    } catch (const AppError &e) {
        report << e.text();
    }
    if (!report.isEmpty())
        Prompter::instance().messageBox(owner, report.join(QStringLiteral("\n\n")), QStringLiteral("数据检查"),
                                        Prompt::Ok, Prompt::Warning, Prompt::Ok);
}

} // namespace StartupChecks
