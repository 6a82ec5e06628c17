#pragma once
// Reading the audit log: one page of events, newest first, under a filter; and the events of a
// filter written out as CSV. Pages are found by position (the last event shown), not by
// counting rows, so every page of a log of millions of events comes straight from an index.

#include <QDate>
#include <QIODevice>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVector>

namespace AuditQuery {

struct Filter {
    QDate from; // local days, both included; null: open
    QDate to;
    QString user;       // exact account name; empty: anybody
    QString action;     // the stored code; empty: every action
    QString customerNo; // exact customer number; empty: any
};

struct Event {
    qint64 id = 0;
    QString at; // as stored: UTC "yyyy-MM-ddTHH:mm:ss.zzzZ"
    QString user;
    QString host;
    QString action; // the stored code
    QString customerNo;
    QVariant caseId;
    QString detail;
};

// The events after `after` (the last event of the page before; none for the first page),
// newest first, at most `size` of them.
QVector<Event> page(const QSqlDatabase &db, const Filter &filter, int size, const Event *after = nullptr);

// The stored time shown in the computer's own time zone, "yyyy-MM-dd HH:mm:ss".
QString localTime(const QString &storedAt);
// An event's detail as shown to staff: the few English words that earlier versions stored
// ("tile", "compare", "manual", "auto") in Chinese; everything else as stored.
QString detailText(const QString &storedDetail);

// Writes every event of the filter, newest first, as CSV: UTF-8 with a byte order mark (so
// spreadsheet programs read the Chinese), a header row, fields quoted where they need it.
// Returns the number of events written; raises AppError when the device refuses a write.
qint64 exportCsv(const QSqlDatabase &db, const Filter &filter, QIODevice &out);

// One CSV field, quoted when it holds a comma, quote, line break or leading blank; a leading
// =, +, - or @ is prefixed with ' so that a spreadsheet never runs it as a formula.
QString csvField(const QString &text);

} // namespace AuditQuery
