#pragma once
// Every question, notice and modal window goes through the Prompter, so that logic never calls
// QMessageBox itself and tests answer from a script. One instance is installed for the process.

#include <QFlags>
#include <QString>

class QDialog;
class QWidget;

namespace Prompt {
enum Button { NoButton = 0, Ok = 1, Cancel = 2, Yes = 4, No = 8 };
Q_DECLARE_FLAGS(Buttons, Button)
enum Icon { NoIcon, Question, Information, Warning, Error };
} // namespace Prompt
Q_DECLARE_OPERATORS_FOR_FLAGS(Prompt::Buttons)

class Prompter {
public:
    virtual ~Prompter() = default;

    // The platform message box: text, its own caption, explicit buttons, icon, default button.
    virtual Prompt::Button messageBox(QWidget *owner, const QString &text, const QString &caption,
                                      Prompt::Buttons buttons, Prompt::Icon icon, Prompt::Button defaultButton)
        = 0;
    // The simple message dialog: the application title as caption, one OK button.
    virtual void showMessage(QWidget *owner, const QString &text) = 0;
    // The generic error box: the error's text, the application title, an error icon, OK.
    virtual void showError(QWidget *owner, const QString &text) = 0;
    // The open-file dialog; filter as "desc|pat;pat|desc|pat". Empty when cancelled.
    virtual QString openFile(QWidget *owner, const QString &filter, int filterIndex) = 0;
    // The save-file dialog, proposing a file name; asks before replacing a file. Empty when
    // cancelled.
    virtual QString saveFile(QWidget *owner, const QString &filter, const QString &proposedName) = 0;
    // Asks for one line of text (caption, the question above the box, the text it starts with);
    // a null text when cancelled (which is all a prompter that cannot ask does).
    virtual QString askText(QWidget *owner, const QString &caption, const QString &label, const QString &initial)
    {
        Q_UNUSED(owner)
        Q_UNUSED(caption)
        Q_UNUSED(label)
        Q_UNUSED(initial)
        return QString();
    }
    // Shows a window modally and returns its result.
    virtual int execModal(QDialog *dialog) = 0;
    // Opens a file or an address with the program the system associates with it; not waited for.
    virtual void openExternal(QWidget *owner, const QString &fileOrUrl) = 0;

    static Prompter &instance();
    static void install(Prompter *prompter); // not owned; nullptr restores the Qt one
};

// The application title, caption of the simple message dialog and the generic error box.
QString applicationTitle();

// Converts a filter written "desc|pat;pat|desc|pat" into Qt's "desc (pat pat);;desc (pat)".
QString qtFileFilter(const QString &filter, QStringList *entries = nullptr);
