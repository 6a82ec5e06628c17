#include "app/Belcara.h"

#include "data/AppError.h"
#include "data/PictureStore.h"
#include "widgets/Guard.h"
#include "widgets/ProgramFont.h"
#include "widgets/Prompter.h"
#include "app/StartupChecks.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "data/Unit_DataMod.h"
#include "app/Unit_Logo.h"
#include "browser/Unit_Main.h"
#include "admin/BackupWindow.h"
#include "backup/Backup.h"
#include <QSqlDatabase>

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool installQtTranslation(QApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

StartupFiles StartupFiles::machine()
{
    return {Settings::defaultPath(), DbEngine::defaultConfigPath()};
}
#include <QThreadPool>

int runBelcara(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Belcara"));
    QApplication::setQuitOnLastWindowClosed(true);
    installFontSubstitutes();
    installQtTranslation(app);
    return startBelcara(QApplication::applicationDirPath() + QLatin1Char('/'), StartupFiles::machine());
}

int startBelcara(const QString &folder, const StartupFiles &files)
{
    Settings::setPath(files.settings);
    DbEngine::setConfigPath(files.connection);

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
    // While it runs, this copy of the program is seen by a restore on any computer sharing the
    // database file, which then waits for it to end.
    if (QSqlDatabase::database(DataMod->ADOConn, false).driverName() == QLatin1String("QSQLITE")
        && !Backup::programLock().holdShared(DataMod->databasePath())) {
        Prompter::instance().showError(nullptr, QStringLiteral("正在恢复数据，请等恢复完成后再启动本程序。"));
        delete DataMod;
        return 1;
    }

    // Temporary copies left in the picture store by an import that a crash interrupted are
    // removed, off the window's thread (the store may hold many customer folders).
    QThreadPool::globalInstance()->start([root = PictureStore::storeRoot(folder), program = DataMod->programFolder()] {
        PictureStore::removeLeftoverCopies(root);
        // And what a restore cut short left behind.
        Backup::removeLeftovers(program);
    });

    // 5. The main window; its creation runs the optional login.
    auto *frmMain = new TfrmMain(folder);
    if (frmMain->loginCancelled()) {
        delete frmMain;
        delete DataMod;
        return 0;
    }

    // 8. The message loop.
    frmMain->show();
    const bool administrator = !DataMod->cachedMustLogin() || DataMod->CurrentUser.IsSYS;
    StartupChecks::run(frmMain, administrator);
    BackupUi::remindAtStart(frmMain, administrator);
    const int rc = QApplication::exec();
    delete frmMain;
    delete DataMod;
    return rc;
}
