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

// Makes Qt's own dialogs and buttons (the open-file dialog, message box buttons, the line edit's
// menu) speak Chinese, from Qt's translations installed with the system. The program's own texts
// are not translated. Returns false when the translation is not installed.
bool installQtTranslation(QApplication &app);
