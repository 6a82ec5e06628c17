#pragma once
// Checks of the records made once at start, after the login: the audit log's append-only guards
// are put back where they are missing (for anyone), and an administrator is told when the log
// is not whole or cases have lost their customer.

class QWidget;

namespace StartupChecks {

void run(QWidget *owner, bool administrator);

} // namespace StartupChecks
