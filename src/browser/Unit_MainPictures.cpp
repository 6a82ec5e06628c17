// Being written: the before/after picture panels of the main window.
#include "Unit_Main.h"
void TfrmMain::setupPictures() {}
void TfrmMain::dsQ_SurgeryDataChange() {}
void TfrmMain::ds_SurgeryDataChange() {}
void TfrmMain::ShowPictures(QFrame *, const QString &, const QString &, const QString &) {}
void TfrmMain::ArrangePictures(QFrame *) {}
void TfrmMain::PlPicSpaceResize() {}
void TfrmMain::Pl_BeforeResize() {}
void TfrmMain::Pl_AfterResize() {}
bool TfrmMain::Splitter1CanResize(int w) { return w > 1; }
