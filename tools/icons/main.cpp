// belcara-icons: writes the program's icon as PNG files for the desktop's icon theme,
// FOLDER/<N>x<N>/apps/belcara.png for each usual size, drawn at that size (not scaled up).
#include "widgets/ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <cstdio>

int main(int argc, char **argv)
{
    // Drawing needs a GUI application but never a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: belcara-icons FOLDER\n"
                             "Writes FOLDER/NxN/apps/belcara.png for N = 16, 32, 48, 64, 128, 256.\n");
        return 2;
    }
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(args.first()).arg(size);
        const QImage icon = programIcon(size).toImage();
        if (!QDir().mkpath(dir) || icon.size() != QSize(size, size)
            || !icon.save(dir + QStringLiteral("/belcara.png"), "PNG")) {
            std::fprintf(stderr, "belcara-icons: cannot write %s/belcara.png\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
