#include "app/Unit_Logo.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

// The splash picture is compiled into this library's resources; a static library's resources are
// registered only when asked for, or the linker drops them. Q_INIT_RESOURCE declares the
// registration function where it is used, so it has to be used outside any namespace.
static void initWindowResources()
{
    Q_INIT_RESOURCE(windows);
}

TfrmLogo::TfrmLogo(QWidget *parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog)
{
    setObjectName(QStringLiteral("frmLogo"));
    setStyleSheet(QStringLiteral("QDialog { background: black; }"));
    setFixedSize(400, 240);
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(0, 0, 400, 240);
    initWindowResources();
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

void TfrmLogo::Timer1Timer()
{
    accept();
}
void TfrmLogo::Image1Click()
{
    accept();
}

bool TfrmLogo::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1 && event->type() == QEvent::MouseButtonRelease) {
        Image1Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
