#pragma once
// What a case's customer agreed to be done with the case's photos. A case without a stored
// agreement is record only, so nothing is ever shown or published by default.

#include <QDate>
#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <optional>

namespace Consent {

// Each level allows everything the levels below it allow.
enum class Level {
    RecordOnly = 0, // kept in the records only
    MayShow = 1,    // may be shown to prospective customers
    Publicity = 2,  // may also be exported and printed for publicity
};

// "仅存档", "可向顾客展示", "可用于宣传".
QString label(Level level);
// The three labels, in level order (for drop-downs: index == level).
QStringList labels();
// The level of a stored number; RecordOnly for anything unknown.
Level fromInt(int value);

struct Record {
    Level level = Level::RecordOnly;
    QDate signedOn; // invalid: not given
    QString note;
    bool operator==(const Record &o) const { return level == o.level && signedOn == o.signedOn && note == o.note; }
    bool operator!=(const Record &o) const { return !(*this == o); }
};

// The case's agreement (Surgery.id); record only when none is stored.
Record read(const QSqlDatabase &db, qint64 caseId);

// Stores the case's agreement and records its change in the audit log, in one transaction (joining
// an open one). Storing what is already stored changes nothing and records nothing. customerNo
// is only for the audit event. Raises AppError when the database refuses or when there is no
// such case (an agreement kept for a missing case would pass to the next case given its id).
void write(const QSqlDatabase &db, qint64 caseId, const QString &customerNo, const Record &record);

// A photo's own agreement, which can only narrow its case's: record only ("此图不公开") or shown
// to the customer only ("此图仅向顾客展示"). Photos are named by the case row's column ("手术后1").
QString photoLabel(Level level);
// The case's photos that have an agreement of their own, by column.
QHash<QString, Level> photoLevels(const QSqlDatabase &db, qint64 caseId);
// The same for every case (Surgery.id), for lists of many cases.
QHash<qint64, QHash<QString, Level>> allPhotoLevels(const QSqlDatabase &db);
// Stores (or, with no level, removes) a photo's own agreement and records the change in the
// audit log, in one transaction. A level above "may be shown" is refused: a photo never widens
// its case's agreement. Storing what is stored changes nothing and records nothing.
void writePhoto(const QSqlDatabase &db, qint64 caseId, const QString &customerNo, const QString &column,
                std::optional<Level> level);

// Gives every case of the customer the same level, in one transaction: the cases whose level
// changes are signed on signedOn, those already at that level keep their date; each case keeps
// its own note. Returns how many cases changed.
int casesAtOtherLevel(const QSqlDatabase &db, const QString &customerNo, Level level);
int setForCustomer(const QSqlDatabase &db, const QString &customerNo, Level level, const QDate &signedOn);

} // namespace Consent
