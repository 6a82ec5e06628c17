#pragma once
// The start-up sequence: splash, application title, data module, main window, message loop.

class QApplication;

int runBelcara(int argc, char **argv);

