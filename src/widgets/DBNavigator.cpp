#include "widgets/DBNavigator.h"

#include "data/DataSet.h"
#include "data/AppError.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

DBNavigator::DBNavigator(QWidget *parent) : QWidget(parent)
{
    auto *lay = new QHBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(0);
    static const char *names[ButtonCount] = {"First",  "Prior", "Next", "Last",   "Insert",
                                             "Delete", "Edit",  "Post", "Cancel", "Refresh"};
    for (int i = 0; i < ButtonCount; ++i) {
        auto *b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(names[i]));
        b->setIcon(glyph(Btn(i)));
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        b->setFocusPolicy(Qt::NoFocus);
        lay->addWidget(b);
        m_buttons[i] = b;
        connect(b, &QToolButton::clicked, this, [this, i] { click(Btn(i)); });
    }
    updateButtons();
}

void DBNavigator::setDataSet(DataSet *ds)
{
    if (m_ds)
        disconnect(m_ds, nullptr, this, nullptr);
    m_ds = ds;
    if (ds) {
        connect(ds, &DataSet::stateChanged, this, &DBNavigator::updateButtons);
        connect(ds, &DataSet::positionChanged, this, &DBNavigator::updateButtons);
        connect(ds, &DataSet::rowsReset, this, &DBNavigator::updateButtons);
        connect(ds, &DataSet::recordChanged, this, &DBNavigator::updateButtons);
    }
    updateButtons();
}

void DBNavigator::setVisibleButtons(const QList<Btn> &buttons)
{
    for (int i = 0; i < ButtonCount; ++i)
        m_buttons[i]->setVisible(buttons.contains(Btn(i)));
}

void DBNavigator::setHints(const QStringList &hints)
{
    for (int i = 0; i < ButtonCount && i < hints.size(); ++i)
        m_buttons[i]->setToolTip(hints.at(i));
}

void DBNavigator::setFlat(bool flat)
{
    for (auto *b : m_buttons)
        b->setAutoRaise(flat);
}

bool DBNavigator::isButtonEnabled(Btn b) const
{
    return m_buttons[b]->isEnabled();
}

void DBNavigator::updateButtons()
{
    const bool active = m_ds && m_ds->isActive();
    const bool canModify = active && !m_ds->isReadOnly();
    const bool editing = active && m_ds->isEditing();
    const bool up = active && !m_ds->bof();
    const bool down = active && !m_ds->eof();
    m_buttons[First]->setEnabled(up);
    m_buttons[Prior]->setEnabled(up);
    m_buttons[Next]->setEnabled(down);
    m_buttons[Last]->setEnabled(down);
    m_buttons[Insert]->setEnabled(canModify);
    m_buttons[Delete]->setEnabled(canModify && !(m_ds->bof() && m_ds->eof()));
    m_buttons[Edit]->setEnabled(canModify && !editing);
    m_buttons[Post]->setEnabled(canModify && editing);
    m_buttons[Cancel]->setEnabled(canModify && editing);
    m_buttons[Refresh]->setEnabled(canModify);
}

void DBNavigator::click(Btn b)
{
    if (!m_ds || !isButtonEnabled(b))
        return;
    if (guarded(window(), [&] { run(b); }))
        emit clicked(b);
}

void DBNavigator::run(Btn b)
{
    switch (b) {
    case First: m_ds->first(); break;
    case Prior: m_ds->prior(); break;
    case Next: m_ds->next(); break;
    case Last: m_ds->last(); break;
    case Insert: m_ds->insert(); break;
    case Edit: m_ds->edit(); break;
    case Post: m_ds->post(); break;
    case Cancel: m_ds->cancel(); break;
    case Refresh: m_ds->refresh(); break;
    case Delete:
        if (m_confirmDelete && m_ds->state() != DataSet::Insert
            && Prompter::instance().messageBox(window(), QStringLiteral("Delete record?"), QStringLiteral("Confirm"),
                                               Prompt::Ok | Prompt::Cancel, Prompt::Question, Prompt::Ok)
                   != Prompt::Ok)
            throw Abort();
        m_ds->remove();
        break;
    }
}

QIcon DBNavigator::glyph(Btn b)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 128));
    auto tri = [&](bool left, int x) {
        QPainterPath path;
        if (left) {
            path.moveTo(x + 5, 3);
            path.lineTo(x, 8);
            path.lineTo(x + 5, 13);
        } else {
            path.moveTo(x, 3);
            path.lineTo(x + 5, 8);
            path.lineTo(x, 13);
        }
        path.closeSubpath();
        p.drawPath(path);
    };
    switch (b) {
    case First:
        p.fillRect(4, 3, 2, 11, QColor(0, 0, 128));
        tri(true, 6);
        break;
    case Prior: tri(true, 5); break;
    case Next: tri(false, 6); break;
    case Last:
        tri(false, 5);
        p.fillRect(11, 3, 2, 11, QColor(0, 0, 128));
        break;
    case Insert:
        p.fillRect(7, 3, 3, 11, QColor(0, 0, 128));
        p.fillRect(3, 7, 11, 3, QColor(0, 0, 128));
        break;
    case Delete: p.fillRect(3, 7, 11, 3, QColor(0, 0, 128)); break;
    case Edit:
        p.setPen(QPen(QColor(0, 0, 128), 2));
        p.drawLine(4, 12, 12, 4);
        break;
    case Post:
        p.setPen(QPen(QColor(0, 128, 0), 2.5));
        p.drawLine(3, 8, 7, 12);
        p.drawLine(7, 12, 13, 4);
        break;
    case Cancel:
        p.setPen(QPen(QColor(160, 0, 0), 2.5));
        p.drawLine(4, 4, 12, 12);
        p.drawLine(12, 4, 4, 12);
        break;
    case Refresh:
        p.setPen(QPen(QColor(0, 0, 128), 2));
        p.setBrush(Qt::NoBrush);
        p.drawArc(3, 3, 10, 10, 30 * 16, 300 * 16);
        break;
    }
    return QIcon(pm);
}
