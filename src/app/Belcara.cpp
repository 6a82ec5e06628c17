#include "Belcara.h"

#include "AppError.h"
#include "Guard.h"
#include "Prompter.h"
#include "Settings.h"
#include "Unit_DataMod.h"
#include "Unit_Logo.h"
#include "Unit_Main.h"

#include <QApplication>
#include <QFont>

static bool s_endRequested = false;

void requestProgramEnd() { s_endRequested = true; }
bool programEndRequested() { return s_endRequested; }

void installFontSubstitutes()
{
    // The windows are laid out for the Song face at 12 pixels; without a substitute fontconfig
    // would pick a Latin serif or a Hei face with other widths.
    const QString song = QStringLiteral("AR PL UMing CN");
    const QString kai = QStringLiteral("AR PL UKai CN");
    QFont::insertSubstitution(QStringLiteral("SimSun"), song);
    QFont::insertSubstitution(QStringLiteral("宋体"), song);
    QFont::insertSubstitution(QStringLiteral("楷体_GB2312"), kai);
    QFont::insertSubstitution(QStringLiteral("KaiTi_GB2312"), kai);
    QFont f(QStringLiteral("SimSun"));
    f.setPixelSize(12);
    QApplication::setFont(f);
}

int runBelcara(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Belcara"));
    QApplication::setQuitOnLastWindowClosed(true);
    installFontSubstitutes();
    const QString folder = QApplication::applicationDirPath() + QLatin1Char('/');

    // 2. The splash screen, before anything touches the database.
    {
        TfrmLogo logo;
        logo.exec();
    }

    // 3, 4. The application title is the caption of every message and error box; then the
    // data module opens the database.
    DataMod = new TDataMod(folder);
    if (!guarded(nullptr, [] { DataMod->DataModuleCreate(); })) {
        // Without its database the program cannot do anything: the error has been shown,
        // and start-up ends here instead of opening windows on nothing.
        delete DataMod;
        return 1;
    }

    // 5. The main window; its creation runs the optional login.
    auto *frmMain = new TfrmMain(folder);
    if (programEndRequested()) {
        delete frmMain;
        delete DataMod;
        return 0;
    }

    // 8. The message loop.
    frmMain->show();
    const int rc = app.exec();
    delete frmMain;
    delete DataMod;
    return rc;
}
