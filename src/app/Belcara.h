#pragma once
// The start-up sequence: splash, application title, data module, main window, message loop.

class QApplication;

int runBelcara(int argc, char **argv);

// Makes Qt's own dialogs and buttons (the open-file dialog, message box buttons, the line edit's
// menu) speak Chinese, from Qt's translations installed with the system. The program's own texts
// are not translated. Returns false when the translation is not installed.
bool installQtTranslation(QApplication &app);

