#pragma once
// The windows of the program drawn to PNG files, and a Prompter that answers nothing and keeps
// what it was asked to show (a window that shows a message while being drawn is a fault).

#include "widgets/Prompter.h"

#include <QImage>
#include <QStringList>

class RecordingPrompter : public Prompter {
public:
    QStringList shown;

    Prompt::Button messageBox(QWidget *, const QString &text, const QString &, Prompt::Buttons, Prompt::Icon,
                              Prompt::Button) override
    {
        shown << text;
        return Prompt::Cancel;
    }
    void showMessage(QWidget *, const QString &text) override { shown << text; }
    void showError(QWidget *, const QString &text) override { shown << text; }
    QString openFile(QWidget *, const QString &, int) override { return {}; }
    QString saveFile(QWidget *, const QString &, const QString &) override { return {}; }
    int execModal(QDialog *) override { return 0; }
    void openExternal(QWidget *, const QString &) override {}
};

// True when the picture is one flat colour (a window that drew nothing).
bool isUniform(const QImage &image);

// Draws every window over the installation in programFolder (ending in "/") with the global
// data module open on it; writes outputFolder/<name>.png and returns the paths written.
// Raises std::runtime_error when a window cannot be drawn, draws nothing, or a file cannot be written.
QStringList renderAllWindows(const QString &programFolder, const QString &outputFolder);

// The consultation mode's levels, over a copy of the installation in programFolder (the mode
// writes the audit log); writes outputFolder/consult-<level>.png and returns the paths written.
QStringList renderConsultation(const QString &programFolder, const QString &outputFolder);
