#pragma once
// The Prompter for tests: records every question, notice and modal window, and answers from a
// script, so no test ever waits for a person.

#include "widgets/Prompter.h"

#include <QDialog>
#include <QList>
#include <QStringList>
#include <functional>

class ScriptedPrompter : public Prompter {
public:
    struct Call {
        QString kind; // "box", "message", "error", "open", "modal", "external"
        QString text; // box/message/error text, dialog filter, window class, file
        QString caption;
        Prompt::Buttons buttons;
        Prompt::Icon icon = Prompt::NoIcon;
        Prompt::Button defaultButton = Prompt::NoButton;
    };

    ScriptedPrompter() { Prompter::install(this); }
    ~ScriptedPrompter() override { Prompter::install(nullptr); }

    // Answers for message boxes, in order; when none is left the box's default button answers.
    QList<Prompt::Button> answers;
    // Files the open-file dialog returns, in order; empty (cancelled) when none is left.
    QStringList files;
    // Texts typed where a line of text is asked for, in order; cancelled when none is left.
    QStringList typed;
    // Runs a modal window; returns its result. Default: the window is rejected at once.
    std::function<int(QDialog *)> onModal;

    QList<Call> calls;
    QList<Call> callsOf(const QString &kind) const;
    QStringList texts(const QString &kind) const;
    void clear() { calls.clear(); }

    Prompt::Button messageBox(QWidget *owner, const QString &text, const QString &caption, Prompt::Buttons buttons,
                              Prompt::Icon icon, Prompt::Button defaultButton) override;
    void showMessage(QWidget *owner, const QString &text) override;
    void showError(QWidget *owner, const QString &text) override;
    QString openFile(QWidget *owner, const QString &filter, int filterIndex) override;
    // Answers from files as well, recorded as "save" with the proposed name as caption.
    QString saveFile(QWidget *owner, const QString &filter, const QString &proposedName) override;
    // Recorded as "ask" with the question as text.
    QString askText(QWidget *owner, const QString &caption, const QString &label, const QString &initial) override;
    int execModal(QDialog *dialog) override;
    void openExternal(QWidget *owner, const QString &fileOrUrl) override;
};
