#include "Unit_PanelImage.h"

#include "Guard.h"
#include "PictureGeometry.h"
#include "PictureLoader.h"
#include "Prompter.h"
#include "Settings.h"
#include "Unit_ShowLarImage.h"

#include <QEvent>
#include <QFileInfo>
#include <QFrame>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

// ---- the picture control -------------------------------------------------------------------

TPictureControl::TPictureControl(QWidget *parent) : QWidget(parent)
{
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TPictureControl::setPicture(const QImage &picture)
{
    m_picture = picture;
    update();
}

void TPictureControl::paintEvent(QPaintEvent *)
{
    if (m_picture.isNull())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(rect(), m_picture);
}

void TPictureControl::mousePressEvent(QMouseEvent *event)
{
    m_pressed = event->button() == Qt::LeftButton;
}

void TPictureControl::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        emit clicked();
}

// ---- the frame -----------------------------------------------------------------------------

TPanelImage::TPanelImage(QWidget *host) : QObject(host)
{
    Panel = new QFrame(host);
    Panel->setObjectName(QStringLiteral("PanelImageFrame"));
    Panel->setFrameShape(QFrame::Panel);
    Panel->setFrameShadow(QFrame::Raised);
    Panel->setLineWidth(1);
    QPalette pal = Panel->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    Panel->setPalette(pal);
    Panel->setAutoFillBackground(true);
    Panel->setGeometry(0, 0, 0, 0);
    Panel->show();
    m_frame = Panel;

    Image = new TPictureControl(Panel);
    Image->setObjectName(QStringLiteral("Image"));
    Image->setGeometry(0, 0, 0, 0);

    Panel->installEventFilter(this);
    connect(Image, &TPictureControl::clicked, this, [this] { guarded(Panel, [this] { ImageClick(); }); });

    m_sharpen = new QTimer(this);
    m_sharpen->setSingleShot(true);
    m_sharpen->setInterval(150);
    connect(m_sharpen, &QTimer::timeout, this, [this] { guarded(Panel, [this] { decodeForShownSize(); }); });
}

TPanelImage::~TPanelImage()
{
    // The frame and its picture go with the object, whoever destroys it first.
    if (m_frame) {
        m_frame->removeEventFilter(this);
        delete m_frame.data();
    }
}

void TPanelImage::SetFrameLeft(int left)
{
    Panel->move(left, Panel->y());
}

void TPanelImage::LoadPicture(const QString &fileName)
{
    if (!QFileInfo(fileName).isFile())
        return;
    // Photos are large; decode only what the host can show, but fit by the natural size. The
    // fitted size within the whole host bounds every frame the host can give this picture.
    const QSize natural = PictureLoader::readNaturalSize(fileName);
    const QWidget *host = Panel->parentWidget();
    const PictureGeometry::Fit bound = PictureGeometry::fitPicture(natural, host->size());
    const QImage preview = PictureLoader::loadPreview(
        fileName, QSize(qMax(bound.width, 1), qMax(bound.height, 1)));
    m_natural = natural;
    Image->setPicture(preview);
    FileName = fileName;
    Image->show();
    FitPicture();
}

void TPanelImage::FitPicture()
{
    if (!Image->hasPicture())
        return;
    const PictureGeometry::Fit fit = PictureGeometry::fitPicture(m_natural, Panel->size());
    Image->setGeometry(fit.left, fit.top, fit.width, fit.height);
    // A window made larger than the preview was decoded for gets a sharper one shortly after,
    // once the user has stopped dragging.
    const QImage &shown = Image->picture();
    if ((fit.width > shown.width() || fit.height > shown.height()) && shown.size() != m_natural)
        m_sharpen->start();
}

void TPanelImage::decodeForShownSize()
{
    if (!Image->hasPicture() || FileName.isEmpty() || !QFileInfo(FileName).isFile())
        return;
    const QSize want = Image->size();
    const QImage &shown = Image->picture();
    if (want.width() <= shown.width() && want.height() <= shown.height())
        return;
    Image->setPicture(PictureLoader::loadPreview(FileName, want));
}

bool TPanelImage::ReadOpenSetting() const
{
    return Settings::readOpen();
}

void TPanelImage::ImageClick()
{
    if (!Image->hasPicture())
        return;
    if (ReadOpenSetting()) {
        Prompter::instance().openExternal(Panel, FileName);
        return;
    }
    // The frame holds a preview; the large window shows the picture at its natural size.
    const QImage &shown = Image->picture();
    const QImage picture = shown.size() == m_natural ? shown : PictureLoader::loadPicture(FileName);
    TfrmLarImage window(picture);
    Prompter::instance().execModal(&window);
}

bool TPanelImage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Panel && event->type() == QEvent::Resize)
        guarded(Panel, [this] { FitPicture(); });
    return QObject::eventFilter(watched, event);
}
