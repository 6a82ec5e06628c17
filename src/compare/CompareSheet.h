#pragma once
// The comparison window's sheet commands.

#include <QList>

class CompareWindow;
class QAction;

// Adds 导出对比图(&E)… and 打印(&P)… (Ctrl+E, Ctrl+P) to a comparison window; its sheet is the
// pair it shows, each picture with its own case, laid over as it is aligned there (each fitted
// to its cell when it is not) and cut to what its view shows. Returns the actions for the
// window's buttons.
QList<QAction *> addCompareSheetCommands(CompareWindow *window);
