#include "capture/Capture.h"

#include "capture/CaptureWindow.h"

namespace Capture {

bool takeInto(QWidget *parent, const QString &connection, const QString &programFolder, qint64 caseId, bool *after,
              int *slot)
{
    return !CaptureWindow::take(parent, connection, programFolder, caseId, after, slot).isEmpty();
}

} // namespace Capture
