#pragma once
// The Prompter that shows real Qt boxes and dialogs.

#include "widgets/Prompter.h"

class QtPrompter : public Prompter {
public:
    Prompt::Button messageBox(QWidget *owner, const QString &text, const QString &caption, Prompt::Buttons buttons,
                              Prompt::Icon icon, Prompt::Button defaultButton) override;
    void showMessage(QWidget *owner, const QString &text) override;
    void showError(QWidget *owner, const QString &text) override;
    QString openFile(QWidget *owner, const QString &filter, int filterIndex) override;
    QString saveFile(QWidget *owner, const QString &filter, const QString &proposedName) override;
    QString askText(QWidget *owner, const QString &caption, const QString &label, const QString &initial) override;
    int execModal(QDialog *dialog) override;
    void openExternal(QWidget *owner, const QString &fileOrUrl) override;
};
