#pragma once
// How the staff window opens the consultation mode: the entry 咨询演示(&P) in its 查看 menu, a
// button on its command bar and F5, plus the machine setting whether the surgeon's name is shown.

class QMenu;
class QToolBar;
class QWidget;
class QAction;
class TDataMod;
class ConsultWindow;

namespace ConsultEntry {

// Adds the actions to the staff window, its 查看 menu and its command bar. Returns the action
// that opens the mode (object name ac_Consult).
QAction *install(QWidget *staffWindow, TDataMod &mod, QMenu *viewMenu, QToolBar *commandBar);

// Opens the mode over staffWindow; the window deletes itself when the mode ends. Nothing when
// there is nothing to show (the staff is told why).
ConsultWindow *open(QWidget *staffWindow, TDataMod &mod);

} // namespace ConsultEntry
