#pragma once
// The start-up sequence: splash, application title, data module, main window, message loop.

#include <QString>

class QApplication;

// The machine-wide files the program reads; the real paths unless a test gives others.
struct StartupFiles {
    QString settings;   // the shared settings file (Belcara.ini)
    QString connection; // the connection file, which only root may change (database.conf)
    static StartupFiles machine();
};

// The whole program: makes the application and runs startBelcara on the machine's files.
int runBelcara(int argc, char **argv);

// Everything after the application object exists, for the program in `folder` (ending in "/").
// Returns the program's exit status: 1 when the database could not be opened (the error has
// been shown), 0 when the login was cancelled, else the message loop's result.
int startBelcara(const QString &folder, const StartupFiles &files);
