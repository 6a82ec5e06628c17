#include "consult/ConsultEntry.h"

#include "consult/ConsultWindow.h"

namespace ConsultEntry {

ConsultWindow *open(QWidget *staffWindow, TDataMod &mod)
{
    auto *window = new ConsultWindow(mod, staffWindow);
    if (!window->start()) {
        delete window;
        return nullptr;
    }
    QObject::connect(window, &ConsultWindow::finished, window, &QObject::deleteLater);
    return window;
}

} // namespace ConsultEntry
