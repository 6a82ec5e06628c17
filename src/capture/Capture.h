#pragma once
// The one way into the capture station from another window: opens it for a slot of a case and
// says whether a photo was stored there. The caller shows the case again when it was.

#include <QString>

class QWidget;

namespace Capture {

// connection: the database connection's name; programFolder: the installation folder (holds
// pic/); after: 手术后… (true) or 手术前… (false); slot: 0 to 2 within its kind: the slot the window
// opens on, which the user may change there. On return they name the slot the photo went into.
// The slot should be empty: a slot that holds a picture when the shot is stored refuses it and
// stores nothing.
bool takeInto(QWidget *parent, const QString &connection, const QString &programFolder, qint64 caseId, bool *after,
              int *slot);

} // namespace Capture
