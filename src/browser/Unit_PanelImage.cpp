#include "browser/Unit_PanelImage.h"

#include "widgets/Guard.h"
#include "pictures/PictureGeometry.h"
#include "pictures/PictureLoader.h"
#include "widgets/Prompter.h"
#include "data/Settings.h"
#include "widgets/Unit_ShowLarImage.h"

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
    const qreal ratio = devicePixelRatioF();
    if (ratio != m_paintedRatio) {
        // Told after this paint: the frame asks for a preview at the new ratio, and this one is
        // drawn meanwhile.
        m_paintedRatio = ratio;
        QMetaObject::invokeMethod(this, &TPictureControl::ratioChanged, Qt::QueuedConnection);
    }
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
    // With Ctrl held a click is the first half of the double-click that opens the comparison.
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())
                       && !(event->modifiers() & Qt::ControlModifier);
    m_pressed = false;
    if (click)
        emit clicked();
}

void TPictureControl::mouseDoubleClickEvent(QMouseEvent *event)
{
    // A double-click with Ctrl held is left to the frame's column (the main window opens the
    // comparison on it); any other counts as a press, as before.
    if (event->modifiers() & Qt::ControlModifier) {
        m_pressed = false;
        event->ignore();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
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
    connectGuarded(Image, &TPictureControl::clicked, Panel, [this](auto...) { ImageClick(); });
    connectGuarded(Image, &TPictureControl::ratioChanged, Panel, [this](auto...) { decodeForShownSize(); });

    m_sharpen = new QTimer(this);
    m_sharpen->setSingleShot(true);
    m_sharpen->setInterval(150);
    connectGuarded(m_sharpen, &QTimer::timeout, Panel, [this](auto...) { decodeForShownSize(); });
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

void TPanelImage::setPreviewGroup(const PreviewGroup &group, quint64 generation)
{
    m_group = group;
    m_generation = generation;
}

void TPanelImage::LoadPicture(const QString &fileName)
{
    if (!QFileInfo(fileName).isFile())
        return;
    // The header alone gives the size the frame is fitted by; the pixels follow.
    const QSize natural = PictureLoader::readNaturalSize(fileName);
    if (m_generation == 0)
        m_generation = m_group.generation();
    m_natural = natural;
    m_asked = QSize();
    m_askedRatio = 0;
    Image->setPicture(QImage());
    FileName = fileName;
    Image->show();
    FitPicture();
}

void TPanelImage::FitPicture()
{
    if (!hasPicture())
        return;
    const PictureGeometry::Fit fit = PictureGeometry::fitPicture(m_natural, Panel->size());
    Image->setGeometry(fit.left, fit.top, fit.width, fit.height);
    if (fit.width <= 0 || fit.height <= 0)
        return;
    // The first preview is asked for as soon as the frame has a size. A window made larger than
    // the preview was decoded for gets a sharper one shortly after, once the user has stopped
    // dragging.
    const QSize want = deviceSize(QSize(fit.width, fit.height));
    if (!m_asked.isValid())
        requestPreview(want);
    else if (want.width() > m_asked.width() || want.height() > m_asked.height())
        m_sharpen->start();
}

QSize TPanelImage::deviceSize(QSize logical) const
{
    // As Qt maps a widget's logical size to the screen's pixels: rounded, fractional ratios too.
    return logical * Image->devicePixelRatioF();
}

void TPanelImage::decodeForShownSize()
{
    if (!hasPicture() || Image->width() <= 0 || Image->height() <= 0)
        return;
    const QSize want = deviceSize(Image->size());
    if (Image->devicePixelRatioF() != m_askedRatio) {
        // Another screen: a preview for its pixels, larger or smaller. The one shown stays until
        // the new one comes.
        requestPreview(want);
        return;
    }
    if (want.width() <= m_asked.width() && want.height() <= m_asked.height())
        return;
    requestPreview(want.expandedTo(m_asked));
}

// The picture host of the main window maximised on a full-HD screen (1920 x 1080), columns split
// in half: the largest host a frame usually has.
static const QSize FullHdHost(846, 921);

void TPanelImage::requestPreview(QSize shown)
{
    m_asked = shown;
    m_askedRatio = Image->devicePixelRatioF();
    const int serial = ++m_serial;
    // The largest this picture is drawn at in a full-HD window, with as many frames as its host
    // holds now: the preview kept in the cache covers it.
    const QWidget *host = Panel->parentWidget();
    const int frames = std::max(1, int(host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly).size()));
    const QRect largest = PictureGeometry::arrangeFrames(FullHdHost.width(), FullHdHost.height(), frames).value(0);
    const PictureGeometry::Fit fit = PictureGeometry::fitPicture(m_natural, largest.size());
    const QSize keep = deviceSize(QSize(fit.width, fit.height)).expandedTo(shown);
    PreviewService::shared().request(m_group, m_generation, FileName, m_natural, shown, keep, this,
                                     [this, serial](const PreviewResult &r) { previewArrived(serial, r); });
}

void TPanelImage::previewArrived(int serial, const PreviewResult &result)
{
    if (!result.ok()) {
        if (onFailed) {
            onFailed(this, result.error); // may remove this frame: nothing follows
            return;
        }
        m_natural = QSize();
        FileName.clear();
        Image->setPicture(QImage());
        Prompter::instance().showError(Panel, result.error);
        return;
    }
    // A sharper preview asked for later may come back before an earlier one.
    if (serial < m_shownSerial)
        return;
    m_shownSerial = serial;
    Image->setPicture(result.image);
}

bool TPanelImage::ReadOpenSetting() const
{
    return Settings::readOpen();
}

void TPanelImage::ImageClick()
{
    if (!hasPicture())
        return;
    if (ReadOpenSetting()) {
        Prompter::instance().openExternal(Panel, FileName);
        return;
    }
    // The frame holds a preview; the large window shows the picture at its natural size. The
    // full-size picture is handed over as a temporary, so the window's copy is the only one.
    const QImage &shown = Image->picture();
    TfrmLarImage window(shown.size() == m_natural ? shown : PictureLoader::loadPicture(FileName));
    Prompter::instance().execModal(&window);
}

bool TPanelImage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Panel && event->type() == QEvent::Resize)
        guarded(Panel, [this] { FitPicture(); });
    return QObject::eventFilter(watched, event);
}
