#include "demo_database.h"

#include "data/AppError.h"
#include "data/Schema.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace DemoDatabase {

namespace {

void prepare(QSqlQuery &q, const QString &statement)
{
    if (!q.prepare(statement))
        throw AppError(q.lastError().text());
}

void run(QSqlQuery &q)
{
    if (!q.exec())
        throw AppError(q.lastError().text());
}

// Empty optional texts are stored as NULL, as a column never filled in holds.
QVariant optional(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

// A picture column: NULL for a null string, otherwise the text (the empty string included).
QVariant pictureColumn(const QString &value)
{
    return value.isNull() ? QVariant() : QVariant(value);
}

void fill(QSqlDatabase &db, const DemoData::Plan &plan)
{
    QSqlQuery q(db);
    prepare(q, QStringLiteral("INSERT INTO Class (类别名称, 父类别) VALUES (?, ?)"));
    for (const DemoData::Category &c : plan.categories) {
        q.bindValue(0, c.name);
        q.bindValue(1, c.parent.isNull() ? QStringLiteral("") : c.parent); // never NULL for a major
        run(q);
    }

    prepare(q, QStringLiteral(
                   "INSERT INTO tUserInfo (客户编号, 用户姓名, 性别, 年龄, 电话, 地址) VALUES (?, ?, ?, ?, ?, ?)"));
    for (const DemoData::Customer &c : plan.customers) {
        q.bindValue(0, c.number);
        q.bindValue(1, c.name);
        q.bindValue(2, c.sex);
        q.bindValue(3, optional(c.age));
        q.bindValue(4, optional(c.phone));
        q.bindValue(5, optional(c.address));
        run(q);
    }

    prepare(q,
            QStringLiteral(
                "INSERT INTO Surgery (id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, "
                "手术前, 手术前1, 手术前2, 手术后, 手术后1, 手术后2) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const DemoData::Case &c : plan.cases) {
        q.bindValue(0, c.id);
        q.bindValue(1, plan.customers.at(c.customer).number);
        q.bindValue(2, c.major);
        q.bindValue(3, c.minor);
        q.bindValue(4, c.surgeon);
        q.bindValue(5, c.amount);
        q.bindValue(6, c.date);
        for (int i = 0; i < DemoData::SlotCount; ++i)
            q.bindValue(7 + i, pictureColumn(DemoData::columnValue(plan, c, c.pictures[size_t(i)])));
        run(q);
    }

    prepare(q, QStringLiteral("INSERT INTO CaseConsent (CaseId, Level, SignedOn, Note, ChangedAt, ChangedBy) "
                              "VALUES (?, ?, ?, ?, ?, ?)"));
    for (const DemoData::Case &c : plan.cases) {
        if (c.consent < 0)
            continue;
        q.bindValue(0, c.id);
        q.bindValue(1, c.consent);
        q.bindValue(2, c.consentSigned.toString(QStringLiteral("yyyy-MM-dd")));
        q.bindValue(3, optional(c.consentNote));
        // Entered on the day the form was signed.
        q.bindValue(4, c.consentSigned.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("T10:00:00.000Z"));
        q.bindValue(5, QStringLiteral("demo"));
        run(q);
    }
}

} // namespace

void create(const QString &path, const DemoData::Plan &plan)
{
    Schema::createDatabase(path);
    const QString name = QStringLiteral("demo-") + QUuid::createUuid().toString(QUuid::Id128);
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            try {
                if (!db.transaction())
                    throw AppError(db.lastError().text());
                fill(db, plan);
                if (!db.commit())
                    throw AppError(db.lastError().text());
            } catch (const AppError &e) {
                db.rollback();
                error = e.text();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (!error.isEmpty()) {
        QFile::remove(path); // made just now by this run: leave no half-filled database behind
        throw AppError(QStringLiteral("Cannot fill %1: %2").arg(path, error));
    }
}

} // namespace DemoDatabase
