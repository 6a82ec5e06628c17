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

// The chain of events. Each event holds a hash (SHA-256, hex) over its own content and the hash
// of the event before it, so that an event changed, removed or slipped in shows as a break. The
// head of the chain (the last event's id and hash) is also kept outside the database: in the
// head file (see setHeadFile) and in every backup. Without it, removing the newest events
// would leave a chain that is whole.
struct ChainHead {
    qint64 id = 0; // 0: an empty log
    QString hash;
    bool isNull() const { return id == 0; }
};

// The last event's id and hash, read from the database.
ChainHead chainHead(const QSqlDatabase &db);

// The hash of one event, given the hash of the event before it (empty for the first).
QString eventHash(const QString &previousHash, qint64 id, const QString &at, const QString &user, const QString &host,
                  const QString &action, const QVariant &customerNo, const QVariant &caseId, const QVariant &detail);

// Where the head is kept outside the database; empty: nowhere (tests, tools that only read).
// SQLite: the file beside the database (headFileBeside); a server: a machine-wide file named
// for the installation (headFileForServer).
void setHeadFile(const QString &path);
QString headFile();
QString headFileBeside(const QString &sqliteFile);
QString headFileForServer(const QString &folder, const QString &installationId);
// The head a file holds; a null head when it has none (or cannot be read).
ChainHead readHead(const QString &path);
void writeHead(const QString &path, const ChainHead &head);

// What a check of the whole log found.
struct Verdict {
    qint64 events = 0;
    bool whole = true;
    qint64 firstBroken = 0;       // the id from which the log is not as written, 0 when whole
    QStringList findings;         // for the user, in order of id; empty when whole
    QStringList triggersRestored; // the append-only guards that were missing and were put back
    QString summary() const;      // one text for the viewer, the start-up check and the admin tool
};

// Checks every event against the one before it and the head kept outside (a null head: none
// kept), after putting back missing append-only guards. Raises AppError on a database error.
Verdict verify(const QSqlDatabase &db, const ChainHead &kept);

// Puts back the triggers that keep the log append-only where they are missing or altered;
// returns their names. A role that may not change the table gets an AppError.
QStringList restoreTriggers(const QSqlDatabase &db);

// Gives every event that has no hash yet its place in the chain, in id order (the schema
// upgrade that brings the hashes).
void sealUnhashed(const QSqlDatabase &db);

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

// One case-deleted event for each case the condition selects (Surgery's columns, with ?
// bound to binds), naming the case and its pictures; called before the cases are deleted, in
// the delete's transaction.
void recordCasesDeleted(const QSqlDatabase &db, const QString &where, const QVariantList &binds);

// The events of a row of an original table saved or deleted through a table data set: which
// table, the column names and the row's values before (empty for a new row) and after (empty
// for a deleted row). Tables without events (Param) record nothing.
void recordRowChange(const QSqlDatabase &db, const QString &table, const QStringList &fields,
                     const QVariantList &before, const QVariantList &after);

} // namespace AuditLog
