#include "widgets/FixedDialog.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>

FixedDialog::FixedDialog(QWidget *owner, Placement placement)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                         | Qt::MSWindowsFixedSizeDialogHint),
      m_placement(placement)
{
}

void FixedDialog::fixDesign(const QSize &clientArea)
{
    setFixedSize(clientArea);
    setSizeGripEnabled(false);
    for (QPushButton *b : findChildren<QPushButton *>()) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
}

void FixedDialog::keyPressEvent(QKeyEvent *event)
{
    // QDialog would reject on Escape; this dialog has no cancel button.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FixedDialog::showEvent(QShowEvent *event)
{
    if (!m_placed) {
        m_placed = true;
        QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
        QRect area;
        if (m_placement == CentreOnOwner && owner && owner->isVisible())
            area = owner->frameGeometry();
        else if (QScreen *s = owner ? owner->screen() : QGuiApplication::primaryScreen())
            area = s->availableGeometry();
        if (area.isValid())
            move(area.center() - QPoint(width() / 2, height() / 2));
        if (m_initialFocus)
            m_initialFocus->setFocus(Qt::ActiveWindowFocusReason);
    }
    QDialog::showEvent(event);
}
