// belcara-render-docs: renders every window of the program, offscreen, over a demo installation
// and writes one PNG per window. The README's pictures come from here, and CI runs it so that a
// window that no longer opens, or opens empty, fails the run.
#include "widgets/ProgramFont.h"
#include "data/DbEngine.h"
#include "data/Settings.h"
#include "Shots.h"
#include "data/Unit_DataMod.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include "pictures/PreviewService.h"
#include <cstdio>

namespace {

void usage(FILE *to)
{
    std::fprintf(to, "usage: belcara-render-docs DEMO_FOLDER OUTPUT_FOLDER\n"
                     "\n"
                     "Opens the installation in DEMO_FOLDER (Data/Data.mdb and pic/, as made by belcara-demo),\n"
                     "shows every window offscreen and writes OUTPUT_FOLDER/<window>.png. The settings file is a\n"
                     "temporary one; nothing in DEMO_FOLDER is changed. Fails when a window shows an error or\n"
                     "renders as one flat colour.\n");
}

} // namespace

int main(int argc, char **argv)
{
    // The windows are drawn, never shown on a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Belcara"));
    const QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        usage(stdout);
        return 0;
    }
    if (args.size() != 2) {
        usage(stderr);
        return 2;
    }
    const QString folder = QDir(args.at(0)).absolutePath() + QLatin1Char('/');
    const QString output = args.at(1);
    if (!QFileInfo::exists(folder + QStringLiteral("Data/Data.mdb"))) {
        std::fprintf(stderr, "belcara-render-docs: %sData/Data.mdb does not exist\n", qPrintable(folder));
        return 2;
    }
    if (!QDir().mkpath(output)) {
        std::fprintf(stderr, "belcara-render-docs: cannot make %s\n", qPrintable(output));
        return 1;
    }

    installFontSubstitutes();
    QTemporaryDir settingsDir;
    Settings::setPath(settingsDir.filePath(QStringLiteral("Belcara.ini")));
    // The demo's own SQLite database, whatever server the machine's connection file names.
    DbEngine::setConfigPath(settingsDir.filePath(QStringLiteral("database.conf")));
    // Previews of the demo pictures stay out of the user's own thumbnail cache.
    PreviewService::shared().setCacheRoot(settingsDir.filePath(QStringLiteral("thumbnails")));

    RecordingPrompter prompter;
    Prompter::install(&prompter);
    int rc = 0;
    try {
        DataMod = new TDataMod(folder);
        DataMod->DataModuleCreate();
        const QStringList written = renderAllWindows(folder, output) + renderConsultation(folder, output);
        for (const QString &file : written)
            std::printf("%s\n", qPrintable(file));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "belcara-render-docs: %s\n", e.what());
        rc = 1;
    }
    PreviewService::shared().waitForDone();
    delete DataMod;
    DataMod = nullptr;
    Prompter::install(nullptr);
    if (rc == 0 && !prompter.shown.isEmpty()) {
        for (const QString &text : prompter.shown)
            std::fprintf(stderr, "belcara-render-docs: a window said: %s\n", qPrintable(text));
        rc = 1;
    }
    return rc;
}
