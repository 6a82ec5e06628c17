#include "consult/ConsultEntry.h"

#include "consent/Showable.h"
#include "consult/ConsultWindow.h"
#include "data/AppError.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>

namespace ConsultEntry {

QAction *install(QWidget *staffWindow, TDataMod &mod, QMenu *viewMenu, QToolBar *commandBar)
{
    auto *open = new QAction(QStringLiteral("咨询演示(&P)"), staffWindow);
    open->setObjectName(QStringLiteral("ac_Consult"));
    open->setShortcut(QKeySequence(Qt::Key_F5));
    open->setShortcutContext(Qt::WindowShortcut);
    open->setIcon(staffWindow->style()->standardIcon(QStyle::SP_DesktopIcon));
    staffWindow->addAction(open);
    connectGuarded(open, &QAction::triggered, staffWindow,
                   [staffWindow, &mod](auto...) { ConsultEntry::open(staffWindow, mod); });

    auto *surgeon = new QAction(QStringLiteral("咨询演示显示医生(&D)"), staffWindow);
    surgeon->setObjectName(QStringLiteral("ac_ConsultSurgeon"));
    surgeon->setCheckable(true);
    connectGuarded(surgeon, &QAction::triggered, staffWindow, [](bool checked) { Showable::setSurgeonShown(checked); });

    if (viewMenu) {
        viewMenu->addSeparator();
        viewMenu->addAction(open);
        viewMenu->addAction(surgeon);
        // The setting lives in the machine's settings file, which another copy may change.
        QObject::connect(viewMenu, &QMenu::aboutToShow, surgeon, [surgeon] {
            try {
                surgeon->setChecked(Showable::surgeonShown());
            } catch (const AppError &) {
                surgeon->setChecked(false);
            }
        });
    }
    if (commandBar) {
        auto *b = new QToolButton(commandBar);
        // F5 is the button's key: Alt+P belongs to the command bar's 前一条(&P).
        open->setIconText(QStringLiteral("咨询演示"));
        b->setDefaultAction(open);
        b->setObjectName(QStringLiteral("btn_ac_Consult"));
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setFixedSize(79, 35);
        b->setFocusPolicy(Qt::NoFocus);
        commandBar->addWidget(b);
    }
    return open;
}

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
