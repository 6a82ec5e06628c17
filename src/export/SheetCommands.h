#pragma once
// The ways into the comparison-sheet window for a window that has a case or a pair to show.

#include "export/Sheet.h"

#include <QSqlDatabase>

class QWidget;

namespace Export {

// The sheet of a case: its before and after pictures in pairs (numbers 0..2), with their stored
// alignments, category and the customer. Pairs missing a picture are left out.
Sheet::Request requestForCase(const QSqlDatabase &db, const QString &programFolder, qint64 caseId);

// Opens the sheet window on a case, modally; the person is told when the case has no pair of
// before and after pictures. With print, the window offers printing first.
void openForCase(QWidget *parent, const QSqlDatabase &db, const QString &programFolder, qint64 caseId, bool print);

// Opens the sheet window on a request its caller made (the customer's name is read when the
// request names only the number).
void openSheet(QWidget *parent, const QSqlDatabase &db, Sheet::Request request, bool print);

} // namespace Export
