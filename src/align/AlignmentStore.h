#pragma once
// The alignments kept for picture pairs: how the after picture is laid over the before picture
// whenever that pair is shown again. Pictures are named as the case rows store them.

#include "align/Similarity.h"

#include <QSqlDatabase>
#include <QString>
#include <optional>

namespace Align {

struct StoredAlignment {
    Similarity transform;
    bool automatic = false; // found by AutoAlign rather than clicked landmarks
};

// The pair's stored alignment; nothing when none is kept (or the stored text cannot be read,
// which then counts as none rather than as a wrong alignment).
std::optional<StoredAlignment> loadAlignment(const QSqlDatabase &db, const QString &beforePicture,
                                             const QString &afterPicture);

// Keeps the pair's alignment, replacing an earlier one, and records it in the audit log, in one
// transaction. customerNo and caseId are only for the audit event. Raises AppError when refused.
void saveAlignment(const QSqlDatabase &db, const QString &beforePicture, const QString &afterPicture,
                   const StoredAlignment &alignment, const QString &customerNo = QString(), qint64 caseId = 0);

// Forgets the pair's alignment (the pair is then shown unaligned); records it when there was one.
// Returns whether there was one.
bool resetAlignment(const QSqlDatabase &db, const QString &beforePicture, const QString &afterPicture,
                    const QString &customerNo = QString(), qint64 caseId = 0);

} // namespace Align
