#pragma once
// How a staff window opens the consultation mode.

class QWidget;
class TDataMod;
class ConsultWindow;

namespace ConsultEntry {

// Opens the mode over staffWindow; the window deletes itself when the mode ends. Nothing when
// there is nothing to show (the staff is told why).
ConsultWindow *open(QWidget *staffWindow, TDataMod &mod);

} // namespace ConsultEntry
