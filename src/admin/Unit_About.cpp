#include "admin/Unit_About.h"
#include "ui_Unit_About.h"

#include "widgets/Guard.h"
#include "widgets/ProgramIcon.h"
#include "widgets/Prompter.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>

// The captions show the addresses in capitals; the links open them in small letters.
QString TfrmAbout::webAddress()
{
    return QStringLiteral("http://www.example.com");
}
QString TfrmAbout::mailAddress()
{
    return QStringLiteral("info@example.com");
}

static void setLinkLook(QLabel *label, bool underline, const QColor &colour)
{
    QFont f = label->font();
    f.setUnderline(underline);
    label->setFont(f);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, colour);
    label->setPalette(pal);
}

static QColor windowText()
{
    return QApplication::palette().color(QPalette::WindowText);
}

TfrmAbout::TfrmAbout(QWidget *owner) : FixedDialog(owner, CentreOnScreen), m_ui(new Ui::TfrmAbout)
{
    m_ui->setupUi(this);
    fixDesign(QSize(426, 236));
    m_ui->PageControl1->setCurrentIndex(0);
    m_ui->Image1->setPixmap(programIcon());

    QFont name(QStringLiteral("楷体_GB2312"));
    name.setPixelSize(19);
    name.setBold(true);
    m_ui->Label2->setFont(name);
    QPalette navy = m_ui->Label2->palette();
    navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
    m_ui->Label2->setPalette(navy);

    m_ui->Label3->setText(webAddress().toUpper());
    m_ui->Label4->setText(QStringLiteral("EMAIL:") + mailAddress().toUpper());
    for (QLabel *link : {m_ui->Label3, m_ui->Label4}) {
        QFont f(QStringLiteral("Arial"));
        f.setPixelSize(12);
        link->setFont(f);
        setLinkLook(link, true, windowText());
        link->adjustSize(); // the pointer lights the link only over its text
        link->setCursor(Qt::PointingHandCursor);
        link->installEventFilter(this);
    }

    connect(m_ui->Button1, &QPushButton::clicked, this, [this] { accept(); });
}

TfrmAbout::~TfrmAbout() = default;

void TfrmAbout::Label3MouseEnter(QLabel *sender)
{
    setLinkLook(sender, true, QColor(255, 0, 0));
}

void TfrmAbout::Label3MouseLeave(QLabel *sender)
{
    setLinkLook(sender, false, windowText());
}

void TfrmAbout::Label3Click()
{
    Prompter::instance().openExternal(this, webAddress());
}

void TfrmAbout::Label4Click()
{
    Prompter::instance().openExternal(this, QStringLiteral("mailto:") + mailAddress());
}

bool TfrmAbout::eventFilter(QObject *watched, QEvent *event)
{
    auto *label = qobject_cast<QLabel *>(watched);
    if (label && (label == m_ui->Label3 || label == m_ui->Label4)) {
        switch (event->type()) {
        case QEvent::Enter: guarded(this, [&] { Label3MouseEnter(label); }); break;
        case QEvent::Leave: guarded(this, [&] { Label3MouseLeave(label); }); break;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton
                && label->rect().contains(static_cast<QMouseEvent *>(event)->position().toPoint())) {
                guarded(this, [&] { label == m_ui->Label3 ? Label3Click() : Label4Click(); });
                return true;
            }
            break;
        default: break;
        }
    }
    return FixedDialog::eventFilter(watched, event);
}
