#include "app/Unit_Logo.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

TfrmLogo::TfrmLogo(QWidget *parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setObjectName(QStringLiteral("frmLogo"));
    setStyleSheet(QStringLiteral("QDialog { background: black; }"));
    setFixedSize(400, 240);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, 400, 240);
    Image1->setPixmap(QPixmap(QStringLiteral(":/splash.jpg")));
    Image1->installEventFilter(this);
    if (QScreen *s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());
    // The timer runs from the moment the window exists.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(3000);
    Timer1->setSingleShot(true);
    connect(Timer1, &QTimer::timeout, this, &TfrmLogo::Timer1Timer);
    Timer1->start();
}

void TfrmLogo::Timer1Timer() { accept(); }
void TfrmLogo::Image1Click() { accept(); }

bool TfrmLogo::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
        Image1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
