#pragma once
// belcara-admin's backup commands (see the usage text in admin.cpp).

#include "data/DbEngine.h"

#include <QString>

struct AdminBackupArgs {
    QString command; // backup, verify, restore, list, set-backup-password
    QString installation;
    QString target;   // the folder that holds Belcara备份/, or an older backup's folder
    QString snapshot; // verify and restore: which one (empty: the newest of this installation)
    QString customer; // restore: only this customer
    int keep = 10;
    bool passwordStdin = false;
    const DbEngine::ServerSettings *server = nullptr; // the records are on this server
};

// Runs the command; returns the exit status.
int adminBackup(const AdminBackupArgs &args);
