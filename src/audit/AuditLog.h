#pragma once
// The audit log: who did what, when, on which workstation, to which customer and case.
//
// Events are only ever added (the table's triggers refuse changes and deletes). An event is
// written in the same transaction as the change it records, so neither is ever kept without
// the other. Events never hold values of personal data or passwords: a change is described by
// the names of the columns it touched.

#include "data/Transaction.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace AuditLog {

enum class Action {
    Login,
    LoginFailed,
    CustomerAdded,
    CustomerChanged,
    CustomerDeleted,
    CaseAdded,
    CaseChanged,
    CaseDeleted,
    PicturesStored,
    CategoryAdded,
    CategoryDeleted,
    AccountAdded,
    AccountChanged,
    AccountDeleted,
    LoginSwitchChanged,
    HospitalNoChanged,
    Upgraded,
    AlignmentSaved,
    AlignmentReset,
    ConsentChanged,
    ConsultationStarted,
    ConsultationCaseShown,
    ConsultationEnded,
    SheetExported,
    SheetPrinted,
    BackupMade,
    BackupVerified,
    Restored,
    // Added later; stored by their codes, so new ones go at the end.
    ConsultationUnlocked,     // the consultation mode ended with a staff password
    ConsultationUnlockFailed, // a wrong name or password typed to end it
    SheetRefused,             // a sheet refused for its purpose by the pictures' consent
    PictureTaken,             // a photo taken at the capture station stored into a case's slot
};

// Every action, in the order the viewer lists them.
const QVector<Action> &actions();
// The stored code ("customer-changed") and the caption shown to the user ("修改客户").
QString code(Action action);
QString label(Action action);
// The caption of a stored code; the code itself when it is not known to this program.
QString labelOfCode(const QString &code);

struct Event {
    Action action = Action::Login;
    QString customerNo;
    QVariant caseId; // Surgery.id, when the event concerns one case
    QString detail;  // column names, a category name, a version step; never values
    QString user;    // empty: the current user
};

// The user events are written for: the account that logged in, or, while nobody has (no login
// required), the computer account running the program.
void setUser(const QString &accountName);
QString currentUser();
QString computerAccount();
QString hostName();

// The time stamp stored for now: UTC, "yyyy-MM-ddTHH:mm:ss.zzzZ".
QString now();

// Adds the event. Called inside the transaction of the change it records; raises AppError when
// the database refuses it (the change then fails with it).
void record(const QSqlDatabase &db, const Event &event);

// Runs the change and records the event in one transaction (joining an open one).
template <typename Change> void recordWith(const QSqlDatabase &db, const Event &event, Change change)
{
    Transaction t(db);
    change();
    record(db, event);
    t.commit();
}

// The events of a row of an original table saved or deleted through a table data set: which
// table, the column names and the row's values before (empty for a new row) and after (empty
// for a deleted row). Tables without events (Param) record nothing.
void recordRowChange(const QSqlDatabase &db, const QString &table, const QStringList &fields,
                     const QVariantList &before, const QVariantList &after);

} // namespace AuditLog
