#include "support/ScriptedPrompter.h"

QList<ScriptedPrompter::Call> ScriptedPrompter::callsOf(const QString &kind) const
{
    QList<Call> out;
    for (const Call &c : calls)
        if (c.kind == kind)
            out << c;
    return out;
}

QStringList ScriptedPrompter::texts(const QString &kind) const
{
    QStringList out;
    for (const Call &c : calls)
        if (c.kind == kind)
            out << c.text;
    return out;
}

Prompt::Button ScriptedPrompter::messageBox(QWidget *, const QString &text, const QString &caption,
                                            Prompt::Buttons buttons, Prompt::Icon icon, Prompt::Button defaultButton)
{
    calls << Call{QStringLiteral("box"), text, caption, buttons, icon, defaultButton};
    if (!answers.isEmpty())
        return answers.takeFirst();
    return defaultButton;
}

void ScriptedPrompter::showMessage(QWidget *, const QString &text)
{
    calls << Call{QStringLiteral("message"), text, applicationTitle(), Prompt::Ok, Prompt::NoIcon, Prompt::Ok};
}

void ScriptedPrompter::showError(QWidget *, const QString &text)
{
    calls << Call{QStringLiteral("error"), text, applicationTitle(), Prompt::Ok, Prompt::Error, Prompt::Ok};
}

QString ScriptedPrompter::openFile(QWidget *, const QString &filter, int)
{
    calls << Call{QStringLiteral("open"), filter, QString(), {}, Prompt::NoIcon, Prompt::NoButton};
    return files.isEmpty() ? QString() : files.takeFirst();
}

QString ScriptedPrompter::saveFile(QWidget *, const QString &filter, const QString &proposedName)
{
    calls << Call{QStringLiteral("save"), filter, proposedName, {}, Prompt::NoIcon, Prompt::NoButton};
    return files.isEmpty() ? QString() : files.takeFirst();
}

QString ScriptedPrompter::askText(QWidget *, const QString &caption, const QString &label, const QString &)
{
    calls << Call{QStringLiteral("ask"), label, caption, {}, Prompt::NoIcon, Prompt::NoButton};
    return typed.isEmpty() ? QString() : typed.takeFirst();
}

int ScriptedPrompter::execModal(QDialog *dialog)
{
    calls << Call{QStringLiteral("modal"), QString::fromLatin1(dialog->metaObject()->className()),
                  dialog->windowTitle(),   {},
                  Prompt::NoIcon,          Prompt::NoButton};
    if (onModal)
        return onModal(dialog);
    return QDialog::Rejected;
}

void ScriptedPrompter::openExternal(QWidget *, const QString &fileOrUrl)
{
    calls << Call{QStringLiteral("external"), fileOrUrl, QString(), {}, Prompt::NoIcon, Prompt::NoButton};
}
