#include "consult/ConsultWindow.h"

#include "compare/CompareView.h"

#include <QCloseEvent>
#include <QKeyEvent>

void ConsultWindow::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        event->accept();
        return;
    }
    if (key == Qt::Key_B || key == Qt::Key_Period) {
        setBlanked(!m_blanked);
        return;
    }
    if (m_blanked) {
        // Escape brings the picture back rather than leaving a level unseen.
        if (key == Qt::Key_Escape)
            setBlanked(false);
        return;
    }
    const bool next = key == Qt::Key_Right || key == Qt::Key_PageDown;
    const bool previous = key == Qt::Key_Left || key == Qt::Key_PageUp;
    if (key == Qt::Key_Escape) {
        back();
        return;
    }
    if (m_level == 4) {
        const bool arrow = key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down;
        const CompareView::State state = m_view->state();
        if (arrow && !state.fitted) {
            // Zoomed in, the arrows move the pictures: a tenth of the view a press.
            const double dx = m_view->width() / 10.0, dy = m_view->height() / 10.0;
            const QPointF by = key == Qt::Key_Left    ? QPointF(dx, 0)
                               : key == Qt::Key_Right ? QPointF(-dx, 0)
                               : key == Qt::Key_Up    ? QPointF(0, dy)
                                                      : QPointF(0, -dy);
            m_view->panBy(by);
        } else if (next || key == Qt::Key_Down || key == Qt::Key_Space)
            step(1);
        else if (previous || key == Qt::Key_Up)
            step(-1);
        else if (key == Qt::Key_BracketLeft || key == Qt::Key_BracketRight) {
            // The wipe's divider moves, or the overlay's after photo fades in or out.
            const double sign = key == Qt::Key_BracketLeft ? -1 : 1;
            CompareView::State s = state;
            if (s.mode == CompareView::Mode::Wipe)
                s.wipePosition += sign * 0.05;
            else if (s.mode == CompareView::Mode::Overlay)
                s.opacity += sign * 0.1;
            m_view->setState(s);
        } else if (key == Qt::Key_S)
            m_view->setMode(CompareView::Mode::SideBySide);
        else if (key == Qt::Key_W)
            m_view->setMode(CompareView::Mode::Wipe);
        else if (key == Qt::Key_O)
            m_view->setMode(CompareView::Mode::Overlay);
        else if (key == Qt::Key_Plus || key == Qt::Key_Equal)
            m_view->zoomAtCentre(1.25);
        else if (key == Qt::Key_Minus)
            m_view->zoomAtCentre(1 / 1.25);
        else if (key == Qt::Key_F)
            m_view->fit();
        else if (key == Qt::Key_1)
            m_view->actualSize();
        return;
    }
    if (next)
        moveSelection(1);
    else if (previous)
        moveSelection(-1);
    else if (key == Qt::Key_Down)
        moveSelection(m_selected + m_columns < m_tiles.size() ? m_columns : 0);
    else if (key == Qt::Key_Up)
        moveSelection(m_selected - m_columns >= 0 ? -m_columns : 0);
    else if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space || key == Qt::Key_F5)
        openSelected();
}

void ConsultWindow::closeEvent(QCloseEvent *event)
{
    if (m_ending || !m_started) {
        event->accept();
        return;
    }
    // Closing from outside (Alt+F4, the system) goes the same way as Esc on the first level.
    event->ignore();
    leave();
}
