#include "data/AuditLog.h"

#include "data/Db.h"
#include "data/Transaction.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QDir>
#include <QSysInfo>
#include <pwd.h>
#include <unistd.h>

namespace AuditLog {

namespace {

struct ActionName {
    Action action;
    const char *code;
    const char *label; // UTF-8
};

const ActionName Names[] = {
    {Action::Login, "login", "登录"},
    {Action::LoginFailed, "login-failed", "登录失败"},
    {Action::CustomerAdded, "customer-added", "新增客户"},
    {Action::CustomerChanged, "customer-changed", "修改客户"},
    {Action::CustomerDeleted, "customer-deleted", "删除客户"},
    {Action::CaseAdded, "case-added", "新增案例"},
    {Action::CaseChanged, "case-changed", "修改案例"},
    {Action::CaseDeleted, "case-deleted", "删除案例"},
    {Action::PicturesStored, "pictures-stored", "存入图片"},
    {Action::CategoryAdded, "category-added", "新增类别"},
    {Action::CategoryDeleted, "category-deleted", "删除类别"},
    {Action::AccountAdded, "account-added", "新增使用人"},
    {Action::AccountChanged, "account-changed", "修改使用人"},
    {Action::AccountDeleted, "account-deleted", "删除使用人"},
    {Action::LoginSwitchChanged, "login-switch-changed", "更改登录开关"},
    {Action::HospitalNoChanged, "hospital-no-changed", "更改医院编号"},
    {Action::Upgraded, "upgraded", "升级数据库"},
    {Action::AlignmentSaved, "alignment-saved", "保存对齐"},
    {Action::AlignmentReset, "alignment-reset", "重置对齐"},
    {Action::ConsentChanged, "consent-changed", "更改授权"},
    {Action::ConsultationStarted, "consultation-started", "开始咨询演示"},
    {Action::ConsultationCaseShown, "consultation-case-shown", "咨询演示案例"},
    {Action::ConsultationEnded, "consultation-ended", "结束咨询演示"},
    {Action::SheetExported, "sheet-exported", "导出对比图"},
    {Action::SheetPrinted, "sheet-printed", "打印对比图"},
    {Action::BackupMade, "backup-made", "备份数据"},
    {Action::BackupVerified, "backup-verified", "校验备份"},
    {Action::Restored, "restored", "恢复数据"},
    {Action::ConsultationUnlocked, "consultation-unlocked", "解锁咨询演示"},
    {Action::ConsultationUnlockFailed, "consultation-unlock-failed", "解锁咨询演示失败"},
    {Action::SheetRefused, "sheet-refused", "拒绝导出对比图"},
    {Action::PictureTaken, "picture-taken", "拍摄图片"},
};

const ActionName &nameOf(Action a)
{
    for (const ActionName &n : Names)
        if (n.action == a)
            return n;
    return Names[0];
}

QString &loggedInUser()
{
    static QString u;
    return u;
}

// Equal as the user sees them: an empty box and a null column are the same, and a Boolean
// column read back as 1 equals the true that was saved.
bool sameValue(const QVariant &a, const QVariant &b)
{
    const bool emptyA = a.isNull() || a.toString().isEmpty();
    const bool emptyB = b.isNull() || b.toString().isEmpty();
    if (emptyA || emptyB)
        return emptyA == emptyB;
    if (a.typeId() == QMetaType::Bool || b.typeId() == QMetaType::Bool) {
        auto truth = [](const QVariant &v) {
            if (v.typeId() == QMetaType::QString) {
                const QString t = v.toString().trimmed();
                return t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || t.toLongLong() != 0;
            }
            return v.toBool();
        };
        return truth(a) == truth(b);
    }
    return a.toString() == b.toString();
}

// A column's name as the schema writes it: the server folds unquoted names to lower case.
QString schemaName(const QString &column)
{
    static const QStringList names{QStringLiteral("UserName"), QStringLiteral("Pwd"), QStringLiteral("IsSYS"),
                                   QStringLiteral("MustLogin")};
    for (const QString &n : names)
        if (n.compare(column, Qt::CaseInsensitive) == 0)
            return n;
    return column;
}

int indexOf(const QStringList &fields, const QString &name)
{
    for (int i = 0; i < fields.size(); ++i)
        if (fields.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QVariant field(const QStringList &fields, const QVariantList &row, const QString &name)
{
    const int i = indexOf(fields, name);
    return i < 0 ? QVariant() : row.value(i);
}

const QStringList &pictureColumns()
{
    static const QStringList c{QStringLiteral("手术前"), QStringLiteral("手术前1"), QStringLiteral("手术前2"),
                               QStringLiteral("手术后"), QStringLiteral("手术后1"), QStringLiteral("手术后2")};
    return c;
}

// A picture column that holds a reference into the store ("A1200612070001\face.jpg"), not the
// full path of a file the store could not take.
bool isStoredReference(const QString &value)
{
    return !value.isEmpty() && !QDir::isAbsolutePath(value) && !value.contains(QLatin1Char(':'));
}

// What a case-deleted event says: the pictures the case referred to (the files stay).
QString deletedCaseDetail(const QStringList &pictureValues)
{
    QStringList refs;
    for (const QString &v : pictureValues)
        if (!v.isEmpty())
            refs << v;
    return refs.isEmpty() ? QString() : QStringLiteral("图片：") + refs.join(QStringLiteral("、"));
}

} // namespace

void recordCasesDeleted(const QSqlDatabase &db, const QString &where, const QVariantList &binds)
{
    QSqlQuery q = Db::runPrepared(db,
                                  QStringLiteral(
                                      "SELECT id, 客户编号, 手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2 "
                                      "FROM Surgery WHERE ")
                                      + where + QStringLiteral(" ORDER BY id"),
                                  binds);
    QVector<Event> events;
    while (q.next()) {
        Event e;
        e.action = Action::CaseDeleted;
        e.caseId = q.value(0).toLongLong();
        e.customerNo = q.value(1).toString();
        QStringList refs;
        for (int c = 2; c < 8; ++c)
            refs << q.value(c).toString();
        e.detail = deletedCaseDetail(refs);
        events << e;
    }
    q.finish();
    for (const Event &e : events)
        record(db, e);
}

const QVector<Action> &actions()
{
    static const QVector<Action> all = [] {
        QVector<Action> v;
        for (const ActionName &n : Names)
            v << n.action;
        return v;
    }();
    return all;
}

QString code(Action action)
{
    return QString::fromLatin1(nameOf(action).code);
}
QString label(Action action)
{
    return QString::fromUtf8(nameOf(action).label);
}

QString labelOfCode(const QString &c)
{
    for (const ActionName &n : Names)
        if (c == QLatin1String(n.code))
            return QString::fromUtf8(n.label);
    return c;
}

void setUser(const QString &accountName)
{
    loggedInUser() = accountName;
}

QString computerAccount()
{
    if (const passwd *pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name);
    QString u = qEnvironmentVariable("USER");
    if (u.isEmpty())
        u = qEnvironmentVariable("LOGNAME");
    return u.isEmpty() ? QStringLiteral("uid %1").arg(geteuid()) : u;
}

QString currentUser()
{
    return loggedInUser().isEmpty() ? computerAccount() : loggedInUser();
}

QString hostName()
{
    return QSysInfo::machineHostName();
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

// In AuditChain.cpp.
bool chainIsKept(const QSqlDatabase &db);
void advanceHead(const QSqlDatabase &db, const ChainHead &previous, const ChainHead &now);

void record(const QSqlDatabase &db, const Event &e)
{
    const QVariant noCase(QMetaType::fromType<qlonglong>());
    const QVariant noText(QMetaType::fromType<QString>());
    const QString at = now();
    const QString user = e.user.isEmpty() ? currentUser() : e.user;
    const QString host = hostName();
    const QString action = code(e.action);
    const QVariant customerNo = e.customerNo.isEmpty() ? noText : QVariant(e.customerNo);
    const QVariant caseId = e.caseId.isValid() && !e.caseId.isNull() ? QVariant(e.caseId.toLongLong()) : noCase;
    const QVariant detail = e.detail.isEmpty() ? noText : QVariant(e.detail);
    if (!chainIsKept(db)) {
        // A database not yet upgraded to the chained log (during the upgrade's earlier steps).
        Db::runPrepared(db,
                        QStringLiteral("INSERT INTO AuditLog (At, UserName, Host, Action, CustomerNo, CaseId, Detail) "
                                       "VALUES (?, ?, ?, ?, ?, ?, ?)"),
                        {at, user, host, action, customerNo, caseId, detail});
        return;
    }
    // The event follows the last one; reading it and adding this one are one transaction, and
    // on a server appenders queue on a lock, so that two never chain from the same event.
    Transaction t(db);
    if (Db::dialect(db) == JetSql::Dialect::PostgreSQL)
        Db::runPrepared(db, QStringLiteral("SELECT pg_advisory_xact_lock(4785074604081152845)"), {});
    const ChainHead previous = chainHead(db);
    ChainHead head;
    head.id = previous.id + 1;
    head.hash = eventHash(previous.hash, head.id, at, user, host, action, customerNo, caseId, detail);
    Db::runPrepared(db,
                    QStringLiteral("INSERT INTO AuditLog (id, At, UserName, Host, Action, CustomerNo, CaseId, Detail, "
                                   "Hash) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                    {head.id, at, user, host, action, customerNo, caseId, detail, head.hash});
    if (Db::dialect(db) == JetSql::Dialect::PostgreSQL)
        // The identity's sequence stays past the ids given here.
        Db::runPrepared(db, QStringLiteral("SELECT setval(pg_get_serial_sequence('auditlog', 'id'), ?)"), {head.id});
    advanceHead(db, previous, head);
    t.commit();
}

void recordRowChange(const QSqlDatabase &db, const QString &table, const QStringList &fields,
                     const QVariantList &before, const QVariantList &after)
{
    const bool added = before.isEmpty();
    const bool deleted = after.isEmpty();
    const QVariantList &row = deleted ? before : after;
    // The names of the columns a change touched (never their values).
    QStringList changed;
    if (!added && !deleted) {
        for (int i = 0; i < fields.size(); ++i)
            if (fields.at(i).compare(QLatin1String("id"), Qt::CaseInsensitive) != 0
                && !sameValue(before.value(i), after.value(i)))
                changed << schemaName(fields.at(i));
        if (changed.isEmpty())
            return;
    }
    const QString t = table.toLower();
    Event e;
    if (t == QLatin1String("tuserinfo")) {
        e.action = added ? Action::CustomerAdded : deleted ? Action::CustomerDeleted : Action::CustomerChanged;
        e.customerNo = field(fields, row, QStringLiteral("客户编号")).toString();
        e.detail = changed.join(QStringLiteral("、"));
        // A number changed by hand keeps the trail of the old one.
        const QString was = added ? QString() : field(fields, before, QStringLiteral("客户编号")).toString();
        if (!added && !deleted && was != e.customerNo)
            e.detail += QStringLiteral("（客户编号 %1 → %2）").arg(was, e.customerNo);
        record(db, e);
    } else if (t == QLatin1String("surgery")) {
        e.action = added ? Action::CaseAdded : deleted ? Action::CaseDeleted : Action::CaseChanged;
        e.customerNo = field(fields, row, QStringLiteral("客户编号")).toString();
        e.caseId = field(fields, row, QStringLiteral("id"));
        e.detail = changed.join(QStringLiteral("、"));
        if (deleted) {
            QStringList refs;
            for (const QString &c : pictureColumns())
                refs << field(fields, before, c).toString();
            e.detail = deletedCaseDetail(refs);
        }
        record(db, e);
        if (deleted)
            return;
        QStringList stored;
        for (const QString &c : pictureColumns()) {
            const QString now = field(fields, after, c).toString();
            const QString was = added ? QString() : field(fields, before, c).toString();
            if (now != was && isStoredReference(now))
                stored << c;
        }
        if (!stored.isEmpty()) {
            e.action = Action::PicturesStored;
            e.detail = stored.join(QStringLiteral("、"));
            record(db, e);
        }
    } else if (t == QLatin1String("class")) {
        if (!added && !deleted)
            return;
        e.action = added ? Action::CategoryAdded : Action::CategoryDeleted;
        const QString parent = field(fields, row, QStringLiteral("父类别")).toString();
        const QString name = field(fields, row, QStringLiteral("类别名称")).toString();
        e.detail = parent.isEmpty() ? name : parent + QStringLiteral("/") + name;
        record(db, e);
    } else if (t == QLatin1String("sysmanager")) {
        e.action = added ? Action::AccountAdded : deleted ? Action::AccountDeleted : Action::AccountChanged;
        // The account's name and the columns changed; the password itself never.
        e.detail = field(fields, row, QStringLiteral("UserName")).toString();
        if (!changed.isEmpty())
            e.detail += QStringLiteral("：") + changed.join(QStringLiteral("、"));
        record(db, e);
    }
}

} // namespace AuditLog
