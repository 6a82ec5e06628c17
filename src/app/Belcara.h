#pragma once
// The start-up sequence: splash, application title, data module, main window, message loop.

class QApplication;

int runBelcara(int argc, char **argv);

// Font families the windows are designed in, mapped to the CJK fonts this system has.
void installFontSubstitutes();

// Set when start-up must end the program before the message loop (a cancelled login).
void requestProgramEnd();
bool programEndRequested();
