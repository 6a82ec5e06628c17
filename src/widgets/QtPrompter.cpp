#include "widgets/QtPrompter.h"

#include "data/AppError.h"
#include "data/Settings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

QString applicationTitle()
{
    return QStringLiteral("Orvane美容管理软件1.2");
}

QString qtFileFilter(const QString &filter, QStringList *entries)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        // Patterns are written in capitals, and names on this system keep their case: each
        // pattern also matches its small-letter spelling.
        QStringList pats;
        for (const QString &p : parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            pats << p;
            if (p.toLower() != p)
                pats << p.toLower();
            // The long JPEG extension as cameras write it, beside the spelling the filters
            // have always shown.
            if (p.compare(QLatin1String("*.JPGE"), Qt::CaseInsensitive) == 0)
                pats << QStringLiteral("*.JPEG") << QStringLiteral("*.jpeg");
        }
        out << QStringLiteral("%1 (%2)").arg(parts.at(i), pats.join(QLatin1Char(' ')));
    }
    if (entries)
        *entries = out;
    return out.join(QLatin1String(";;"));
}

namespace {
Prompter *&installed()
{
    static Prompter *p = nullptr;
    return p;
}

QMessageBox::Icon qtIcon(Prompt::Icon icon)
{
    switch (icon) {
    case Prompt::Question: return QMessageBox::Question;
    case Prompt::Information: return QMessageBox::Information;
    case Prompt::Warning: return QMessageBox::Warning;
    case Prompt::Error: return QMessageBox::Critical;
    default: return QMessageBox::NoIcon;
    }
}
} // namespace

Prompter &Prompter::instance()
{
    static QtPrompter qt;
    return installed() ? *installed() : qt;
}

void Prompter::install(Prompter *p)
{
    installed() = p;
}

Prompt::Button QtPrompter::messageBox(QWidget *owner, const QString &text, const QString &caption,
                                      Prompt::Buttons buttons, Prompt::Icon icon, Prompt::Button defaultButton)
{
    QMessageBox box(qtIcon(icon), caption, text, QMessageBox::NoButton, owner);
    struct Pair {
        Prompt::Button ours;
        QMessageBox::StandardButton qt;
        QString label;
    };
    // Buttons carry the platform's own captions; Escape answers the box's cancel or no.
    const Pair pairs[] = {{Prompt::Yes, QMessageBox::Yes, QStringLiteral("是(&Y)")},
                          {Prompt::No, QMessageBox::No, QStringLiteral("否(&N)")},
                          {Prompt::Ok, QMessageBox::Ok, QStringLiteral("确定")},
                          {Prompt::Cancel, QMessageBox::Cancel, QStringLiteral("取消")}};
    for (const Pair &p : pairs) {
        if (!(buttons & p.ours))
            continue;
        QPushButton *b = box.addButton(p.qt);
        b->setText(p.label);
        if (p.ours == defaultButton)
            box.setDefaultButton(b);
    }
    const int r = box.exec();
    for (const Pair &p : pairs)
        if (r == p.qt)
            return p.ours;
    return (buttons & Prompt::Cancel) ? Prompt::Cancel : (buttons & Prompt::No) ? Prompt::No : Prompt::Ok;
}

void QtPrompter::showMessage(QWidget *owner, const QString &text)
{
    messageBox(owner, text, applicationTitle(), Prompt::Ok, Prompt::NoIcon, Prompt::Ok);
}

void QtPrompter::showError(QWidget *owner, const QString &text)
{
    messageBox(owner, text, applicationTitle(), Prompt::Ok, Prompt::Error, Prompt::Ok);
}

QString QtPrompter::openFile(QWidget *owner, const QString &filter, int filterIndex)
{
    QStringList entries;
    const QString qtFilter = qtFileFilter(filter, &entries);
    // The dialog opens in the folder a file was last picked from (a camera card, say).
    const QString last = Settings::readString(QStringLiteral("OpenFile"), QStringLiteral("Folder"), QString());
    QFileDialog dialog(owner, QString(), QFileInfo(last).isDir() ? last : QString(), qtFilter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (filterIndex >= 0 && filterIndex < entries.size())
        dialog.selectNameFilter(entries.at(filterIndex));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    const QFileInfo chosen(dialog.selectedFiles().first());
    try {
        Settings::writeString(QStringLiteral("OpenFile"), QStringLiteral("Folder"), chosen.absolutePath());
    } catch (const AppError &) {
        // A settings file this user may not write: the next dialog starts where Qt starts it.
    }
    return chosen.absoluteFilePath();
}

QString QtPrompter::saveFile(QWidget *owner, const QString &filter, const QString &proposedName)
{
    QFileDialog dialog(owner, QString(), proposedName, qtFileFilter(filter));
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
}

QString QtPrompter::askText(QWidget *owner, const QString &caption, const QString &label, const QString &initial)
{
    QInputDialog dialog(owner);
    dialog.setWindowTitle(caption);
    dialog.setLabelText(label);
    dialog.setTextValue(initial);
    dialog.setOkButtonText(QStringLiteral("确定(&O)"));
    dialog.setCancelButtonText(QStringLiteral("取消(&C)"));
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    const QString text = dialog.textValue();
    return text.isNull() ? QStringLiteral("") : text;
}

int QtPrompter::execModal(QDialog *dialog)
{
    return dialog->exec();
}

void QtPrompter::openExternal(QWidget *, const QString &fileOrUrl)
{
    const QUrl url = fileOrUrl.contains(QLatin1String("://")) || fileOrUrl.startsWith(QLatin1String("mailto:"))
                         ? QUrl(fileOrUrl)
                         : QUrl::fromLocalFile(fileOrUrl);
    // The result is not examined: with no program for it, nothing happens.
    QDesktopServices::openUrl(url);
}
