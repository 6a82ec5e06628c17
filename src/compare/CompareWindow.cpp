#include "compare/CompareWindow.h"
#include "ui_CompareWindow.h"
#include "compare/CompareSheet.h"

#include "align/AlignmentStore.h"
#include "align/AutoAlign.h"
#include "align/Faces.h"
#include "capture/Capture.h"
#include "data/AppError.h"
#include "pictures/DecodePool.h"
#include "widgets/FlowLayout.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QAction>
#include <QApplication>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QRegularExpression>
#include <QScreen>
#include <QSlider>
#include <QToolButton>
#include <QWindow>
#include <QtConcurrent/QtConcurrentRun>

namespace {

QString slotCaption(const ComparePicture &p)
{
    return (p.after ? QStringLiteral("术后") : QStringLiteral("术前")) + QString::number(p.slot + 1);
}

// The caption on a picture in the view: 术前, or 术后 with the time since its surgery when the
// dates are known. Nothing personal: the view may be turned to a prospective customer.
QString pictureLabel(const ComparePicture &p)
{
    if (p.isEmpty())
        return {};
    if (!p.after)
        return QStringLiteral("术前");
    const QString since = p.sinceSurgery();
    return since.isEmpty() ? QStringLiteral("术后") : since;
}

} // namespace

CompareWindow::CompareWindow(CompareSource *source, QWidget *parent)
    : QDialog(parent), m_ui(new Ui::CompareWindow), m_source(source)
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    // Never larger than the screen's free area (1366×768, or 1920×1080 at 150 %, leaves less).
    QSize size(1100, 760);
    if (const QScreen *s = screen())
        size = size.boundedTo(s->availableGeometry().size() - QSize(16, 40));
    resize(size);
    // The face model takes about a second to read: it is read while the person looks.
    Align::preloadFaceModel();
    m_view = m_ui->view;
    m_strip = m_ui->strip;
    m_opacity = m_ui->sl_Opacity;
    m_opacityText = m_ui->lbl_OpacityValue;
    m_status = m_ui->lb_Status;
    m_side = m_ui->ac_SideBySide;
    m_wipe = m_ui->ac_Wipe;
    m_overlay = m_ui->ac_Overlay;
    m_lock = m_ui->ac_Lock;
    buildControls();
    loadCase();
    // Left the first before picture, right the first after picture.
    if (const ComparePicture *p = m_case.first(false))
        m_left = *p;
    if (const ComparePicture *p = m_case.first(true))
        m_right = *p;
    showPair();
    m_view->setFocus();
}

CompareWindow::~CompareWindow()
{
    m_thumbs.restart();
}

void CompareWindow::onAction(QAction *a, const std::function<void()> &run)
{
    connectGuarded(a, &QAction::triggered, this, [run](auto...) { run(); });
}

void CompareWindow::buildControls()
{
    Ui::CompareWindow &ui = *m_ui;
    using Mode = CompareView::Mode;
    onAction(ui.ac_SideBySide, [this] { m_view->setMode(Mode::SideBySide); });
    onAction(ui.ac_Wipe, [this] {
        // Chosen again, the divider turns: left|right, then top/bottom.
        if (m_view->state().mode == Mode::Wipe)
            m_view->setWipeOrientation(m_view->state().wipeOrientation == Qt::Vertical ? Qt::Horizontal : Qt::Vertical);
        m_view->setMode(Mode::Wipe);
    });
    onAction(ui.ac_Overlay, [this] { m_view->setMode(Mode::Overlay); });
    connect(m_opacity, &QSlider::valueChanged, this, [this](int v) { m_view->setOpacity(v / 100.0); });
    onAction(ui.ac_Fainter, [this] { m_view->setOpacity(std::max(0.0, m_view->state().opacity - 0.1)); });
    onAction(ui.ac_Stronger, [this] { m_view->setOpacity(std::min(1.0, m_view->state().opacity + 0.1)); });
    onAction(ui.ac_Lock, [this] { m_view->setLinked(m_lock->isChecked()); });
    onAction(ui.ac_Fit, [this] { m_view->fit(); });
    onAction(ui.ac_Actual, [this] { m_view->actualSize(); });
    onAction(ui.ac_ZoomIn, [this] { m_view->zoomBy(1.25); });
    ui.ac_ZoomIn->setShortcuts({QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)});
    onAction(ui.ac_ZoomOut, [this] { m_view->zoomBy(1 / 1.25); });
    onAction(ui.ac_Pick, [this] { startPicking(); });
    onAction(ui.ac_Auto, [this] { alignAutomatically(); });
    onAction(ui.ac_Reset, [this] { resetAlignment(); });
    onAction(ui.ac_Capture, [this] { captureIntoEmptySlot(); });
    onAction(ui.ac_Prior, [this] { stepCase(-1); });
    onAction(ui.ac_Next, [this] { stepCase(1); });
    onAction(ui.ac_FullScreen, [this] {
        if (isFullScreen()) {
            showNormal();
        } else {
            // Full screen on the screen the window stands on.
            if (windowHandle() && screen())
                windowHandle()->setScreen(screen());
            showFullScreen();
        }
    });

    // Each button of the bar shows its command: the one named like it without "btn_".
    for (QToolButton *b : ui.pnl_Tools->findChildren<QToolButton *>(QString(), Qt::FindDirectChildrenOnly))
        b->setDefaultAction(findChild<QAction *>(b->objectName().mid(4), Qt::FindDirectChildrenOnly));
    // The sheet commands come from the export and get their buttons here.
    QList<QWidget *> sheet;
    for (QAction *a : addCompareSheetCommands(this))
        sheet << toolButton(a);

    // The commands wrap onto a second row on a narrow screen rather than widen the window.
    // Designer has no such layout: the form holds the bar's controls in pnl_Tools, and they are
    // put into a FlowLayout here, in their groups.
    auto *bar = new FlowLayout(ui.pnl_Tools, 2);
    const QList<QList<QWidget *>> groups = {
        {ui.btn_ac_SideBySide, ui.btn_ac_Wipe, ui.btn_ac_Overlay},
        {ui.lbl_Opacity, ui.sl_Opacity, ui.lbl_OpacityValue},
        {ui.btn_ac_Lock, ui.btn_ac_Fit, ui.btn_ac_Actual, ui.btn_ac_ZoomIn, ui.btn_ac_ZoomOut},
        {ui.btn_ac_Pick, ui.btn_ac_Auto, ui.btn_ac_Reset},
        {ui.btn_ac_Capture},
        sheet,
        {ui.btn_ac_Prior, ui.btn_ac_Next, ui.btn_ac_FullScreen},
    };
    for (const QList<QWidget *> &group : groups) {
        if (bar->count() > 0)
            bar->addSpacing(6);
        for (QWidget *w : group)
            bar->addWidget(w);
    }

    m_strip->viewport()->installEventFilter(this);
    m_strip->installEventFilter(this);

    connect(m_view, &CompareView::stateChanged, this, [this] { updateControls(); });
    connect(m_view, &CompareView::pictureFailed, this,
            [this](CompareView::Side side, const QString &message) { pictureFailed(side, message); });
    connectGuarded(m_view, &CompareView::pointPicked, this,
                   [this](CompareView::Side side, QPointF p) { pointPicked(side, p); });
    updateControls();
}

QToolButton *CompareWindow::toolButton(QAction *a)
{
    auto *b = new QToolButton(m_ui->pnl_Tools);
    b->setDefaultAction(a);
    b->setObjectName(QStringLiteral("btn_") + a->objectName());
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

// ---- the case and its pictures ------------------------------------------------------------

void CompareWindow::loadCase()
{
    m_case = m_source->currentCase();
    // A staff window: its title names the case's surgery and day.
    QString title = QStringLiteral("对比");
    for (const ComparePicture &p : m_case.pictures) {
        if (p.isEmpty())
            continue;
        QStringList named;
        if (const QString surgery = p.minor.isEmpty() ? p.major : p.minor; !surgery.isEmpty())
            named << surgery;
        if (p.surgeryDate.isValid())
            named << p.surgeryDate.toString(QStringLiteral("yyyy-MM-dd"));
        if (!named.isEmpty())
            title += QStringLiteral(" - ") + named.join(u' ');
        break;
    }
    // A case without photos is named as the list names it.
    if (title == QLatin1String("对比") && !m_case.title.isEmpty())
        title += QStringLiteral(" - ") + m_case.title;
    setWindowTitle(title);
    // A photo can be taken for an empty slot of a case the source can store into.
    bool empty = false;
    for (const ComparePicture &p : m_case.pictures)
        empty = empty || p.isEmpty();
    m_ui->ac_Capture->setEnabled(m_case.id != 0 && empty && !m_source->programFolder().isEmpty());
    fillStrip();
}

void CompareWindow::captureIntoEmptySlot()
{
    if (m_case.id == 0 || m_source->programFolder().isEmpty())
        return;
    int index = -1;
    for (const int i : {3, 4, 5, 0, 1, 2})
        if (index < 0 && m_case.pictures[i].isEmpty())
            index = i;
    if (index < 0) {
        Prompter::instance().showMessage(this, QStringLiteral("这个案例的六张照片都已有图片"));
        return;
    }
    if (m_picking)
        stopPicking();
    bool after = index >= 3;
    int slot = index % 3;
    // The slot the photo went into: the station may have been given another one.
    if (!Capture::takeInto(this, m_source->database().connectionName(), m_source->programFolder(), m_case.id, &after,
                           &slot))
        return;
    m_photoTaken = true;
    loadCase();
    // The new photo on its side, beside the picture the other side showed.
    (after ? m_right : m_left) = m_case.picture(after, slot);
    showPair();
}

void CompareWindow::fillStrip()
{
    const quint64 generation = m_thumbs.restart();
    m_strip->clear();
    m_stripPictures.clear();
    auto add = [&](const ComparePicture &p, const QString &caption) {
        auto *item = new QListWidgetItem(caption, m_strip);
        item->setSizeHint(m_strip->gridSize());
        item->setData(Qt::UserRole, int(m_stripPictures.size()));
        m_stripPictures.append(p);
        const QSize shown = m_strip->iconSize() * m_strip->devicePixelRatioF();
        PreviewService::shared().request(m_thumbs, generation, p.path, QSize(), shown, shown, m_strip,
                                         [item, this](const PreviewResult &r) {
                                             if (r.ok() && m_strip->row(item) >= 0)
                                                 item->setIcon(QIcon(QPixmap::fromImage(r.image)));
                                         });
    };
    for (const ComparePicture &p : m_case.pictures)
        if (!p.isEmpty())
            add(p, slotCaption(p));
    for (const CompareCase &other : m_source->otherCases())
        for (const ComparePicture &p : other.pictures)
            if (!p.isEmpty())
                add(p, other.title + QLatin1Char('\n') + slotCaption(p));
    markStrip();
}

// The strip shows which pictures are compared: 左 and 右 before their captions.
void CompareWindow::markStrip()
{
    for (int i = 0; i < m_strip->count(); ++i) {
        QListWidgetItem *item = m_strip->item(i);
        const ComparePicture &p = m_stripPictures.at(item->data(Qt::UserRole).toInt());
        QString caption = item->text();
        caption.remove(QRegularExpression(QStringLiteral("^[左右]+ ")));
        QString mark;
        if (!p.path.isEmpty() && p.path == m_left.path)
            mark += QStringLiteral("左");
        if (!p.path.isEmpty() && p.path == m_right.path)
            mark += QStringLiteral("右");
        item->setText(mark.isEmpty() ? caption : mark + QLatin1Char(' ') + caption);
        item->setBackground(mark.isEmpty() ? QBrush() : QBrush(QColor(255, 236, 170)));
    }
}

void CompareWindow::choose(int stripIndex, bool rightSide)
{
    if (stripIndex < 0 || stripIndex >= m_stripPictures.size())
        return;
    (rightSide ? m_right : m_left) = m_stripPictures.at(stripIndex);
    (rightSide ? m_chosenRight : m_chosenLeft) = m_stripPictures.at(stripIndex);
    showPair();
}

bool CompareWindow::stepCase(int delta)
{
    if (m_picking)
        stopPicking();
    if (!m_source->step(delta))
        return false;
    // The slots the person chose in the strip, else those shown.
    const ComparePicture left = m_chosenLeft.isEmpty() ? m_left : m_chosenLeft;
    const ComparePicture right = m_chosenRight.isEmpty() ? m_right : m_chosenRight;
    loadCase();
    // The same slots of the new case; a slot the case does not fill falls back to its first
    // picture of that kind, and the chosen slot comes back with the next case that has it.
    auto same = [this](const ComparePicture &was, bool fallbackAfter) {
        const bool after = was.isEmpty() ? fallbackAfter : was.after;
        if (!was.isEmpty() && !m_case.picture(after, was.slot).isEmpty())
            return m_case.picture(after, was.slot);
        const ComparePicture *first = m_case.first(after);
        return first ? *first : ComparePicture();
    };
    m_left = same(left, false);
    m_right = same(right, true);
    showPair();
    return true;
}

void CompareWindow::showPair()
{
    m_view->setPictures(m_left.path, m_right.path);
    m_view->setLabels(pictureLabel(m_left), pictureLabel(m_right));
    m_aligned = Aligned::None;
    m_alignment.reset();
    m_view->clearAlignment();
    if (!m_left.isEmpty() && !m_right.isEmpty() && m_left.path != m_right.path) {
        if (const auto stored = Align::loadAlignment(m_source->database(), m_left.stored, m_right.stored)) {
            m_alignment = stored->transform;
            m_view->setAlignment(stored->transform);
            m_aligned = stored->automatic ? Aligned::Auto : Aligned::Manual;
        }
    }
    markStrip();
    updateStatus();
}

void CompareWindow::pictureFailed(CompareView::Side side, const QString &message)
{
    updateStatus();
    const QString path = m_view->picturePath(side);
    if (m_reported.contains(path))
        return;
    m_reported.insert(path);
    Prompter::instance().showError(this, message);
}

// ---- alignment -----------------------------------------------------------------------------

void CompareWindow::startPicking()
{
    if (!m_view->hasPicture(CompareView::Side::Before) || !m_view->hasPicture(CompareView::Side::After))
        return;
    if (m_picking) {
        stopPicking();
        return;
    }
    m_picking = true;
    m_beforePicking = m_view->alignment();
    m_pickBefore.clear();
    m_pickAfter.clear();
    // Landmarks are clicked on each picture as it is, side by side, each fitted to its half.
    m_view->setMode(CompareView::Mode::SideBySide);
    m_view->clearAlignment();
    m_view->setPicking(true);
    updateStatus();
}

void CompareWindow::stopPicking()
{
    if (!m_picking)
        return;
    m_picking = false;
    m_view->setPicking(false);
    m_view->setMarkers(CompareView::Side::Before, {});
    m_view->setMarkers(CompareView::Side::After, {});
    if (m_aligned == Aligned::None)
        m_view->clearAlignment();
    else
        m_view->setAlignment(m_beforePicking);
    updateStatus();
}

void CompareWindow::pointPicked(CompareView::Side side, QPointF point)
{
    if (!m_picking)
        return;
    QVector<QPointF> &points = side == CompareView::Side::Before ? m_pickBefore : m_pickAfter;
    // A third click on a side starts that side's pair over.
    if (points.size() >= 2)
        points.clear();
    points.append(point);
    m_view->setMarkers(side, points);
    updateStatus();
    if (m_pickBefore.size() < 2 || m_pickAfter.size() < 2)
        return;
    Align::Similarity t;
    try {
        t = Align::Similarity::fromLandmarks(m_pickAfter.at(0), m_pickAfter.at(1), m_pickBefore.at(0),
                                             m_pickBefore.at(1));
    } catch (const AppError &) {
        // Two landmarks on one spot give no direction: the person picks that pair again.
        m_pickAfter.clear();
        m_pickBefore.clear();
        m_view->setMarkers(CompareView::Side::Before, {});
        m_view->setMarkers(CompareView::Side::After, {});
        updateStatus();
        throw;
    }
    m_beforePicking = t;
    stopPicking();
    applyAlignment(t, false);
}

void CompareWindow::alignAutomatically()
{
    using Side = CompareView::Side;
    if (m_picking)
        stopPicking();
    if (m_aligning || !m_view->hasPicture(Side::Before) || !m_view->hasPicture(Side::After))
        return;
    // Faces and features are sought on a worker (the first search of a photo takes a second or
    // so, later ones read what was kept); the window goes on answering meanwhile.
    const QString before = m_left.stored, after = m_right.stored;
    const QString beforePath = m_left.path, afterPath = m_right.path;
    m_aligning = true;
    updateStatus();
    auto *watcher = new QFutureWatcher<Align::AutoResult>(this);
    connectGuarded(watcher, &QFutureWatcher<Align::AutoResult>::finished, this, [this, watcher, before, after] {
        watcher->deleteLater();
        m_aligning = false;
        const Align::AutoResult result = watcher->result();
        if (m_left.stored != before || m_right.stored != after) {
            // Another pair is shown by now: this answer is not about it.
            updateStatus();
            return;
        }
        if (!result.aligned) {
            updateStatus();
            // Nothing is applied: a wrong alignment is never shown as a right one.
            Prompter::instance().showMessage(this, result.message());
            return;
        }
        applyAlignment(result.transform, true);
    });
    watcher->setFuture(QtConcurrent::run(DecodePool::shared(),
                                         [beforePath, afterPath] { return Align::alignFiles(beforePath, afterPath); }));
}

void CompareWindow::applyAlignment(const Align::Similarity &t, bool automatic)
{
    m_view->setAlignment(t);
    m_aligned = automatic ? Aligned::Auto : Aligned::Manual;
    m_alignment = t;
    updateStatus();
    // Shown even when it cannot be kept; the error then says it was not stored. The event names
    // the case of the left picture, which the pair is laid onto.
    Align::saveAlignment(m_source->database(), m_left.stored, m_right.stored, {t, automatic}, m_left.customerNo,
                         m_left.caseId);
}

void CompareWindow::resetAlignment()
{
    // A kept alignment may have cost a careful landmark session: forgotten only when confirmed.
    if (m_aligned != Aligned::None
        && Prompter::instance().messageBox(this, QStringLiteral("取消这一对图片的对齐？"), windowTitle(),
                                           Prompt::Yes | Prompt::No, Prompt::Question, Prompt::No)
               != Prompt::Yes)
        return;
    if (m_picking)
        stopPicking();
    m_view->clearAlignment();
    m_aligned = Aligned::None;
    m_alignment.reset();
    updateStatus();
    if (!m_left.isEmpty() && !m_right.isEmpty())
        Align::resetAlignment(m_source->database(), m_left.stored, m_right.stored, m_left.customerNo, m_left.caseId);
}

// ---- controls ------------------------------------------------------------------------------

void CompareWindow::updateControls()
{
    const CompareView::State s = m_view->state();
    m_side->setChecked(s.mode == CompareView::Mode::SideBySide);
    m_wipe->setChecked(s.mode == CompareView::Mode::Wipe);
    m_overlay->setChecked(s.mode == CompareView::Mode::Overlay);
    m_lock->setChecked(s.linked);
    const int percent = int(std::lround(s.opacity * 100));
    if (m_opacity->value() != percent) {
        const QSignalBlocker block(m_opacity);
        m_opacity->setValue(percent);
    }
    m_opacityText->setText(QString::number(percent) + QLatin1Char('%'));
    m_opacity->setEnabled(s.mode == CompareView::Mode::Overlay);
    updateStatus();
}

void CompareWindow::updateStatus()
{
    QStringList parts;
    parts << QStringLiteral("缩放 %1%").arg(int(std::lround(m_view->state().zoom * 100)));
    using Side = CompareView::Side;
    for (Side side : {Side::Before, Side::After}) {
        const bool left = side == Side::Before;
        const ComparePicture &p = left ? m_left : m_right;
        if (p.isEmpty())
            parts << (left ? QStringLiteral("左侧无图片") : QStringLiteral("右侧无图片"));
        else if (!m_view->hasPicture(side))
            parts << (left ? QStringLiteral("左图无法显示") : QStringLiteral("右图无法显示"));
    }
    if (m_picking)
        parts << QStringLiteral(
                     "选点对齐：在左图和右图上各点两个相同的标志点（如两眼瞳孔），左图 %1/2，右图 %2/2，Esc 取消")
                     .arg(m_pickBefore.size())
                     .arg(m_pickAfter.size());
    else if (m_aligning)
        parts << QStringLiteral("正在自动对齐…");
    else if (m_aligned == Aligned::Manual)
        parts << QStringLiteral("已手动对齐");
    else if (m_aligned == Aligned::Auto)
        parts << QStringLiteral("已自动对齐");
    else
        parts << QStringLiteral("未对齐");
    m_status->setText(parts.join(QStringLiteral("    ")));
}

bool CompareWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_strip->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto *e = static_cast<QMouseEvent *>(event);
        const QModelIndex index = m_strip->indexAt(e->position().toPoint());
        if (index.isValid() && (e->button() == Qt::LeftButton || e->button() == Qt::RightButton)) {
            const int at = index.data(Qt::UserRole).toInt();
            const bool right = e->button() == Qt::RightButton;
            guarded(this, [this, at, right] { choose(at, right); });
            m_strip->setCurrentIndex(index);
            return right;
        }
    }
    if (watched == m_strip && event->type() == QEvent::KeyPress) {
        auto *e = static_cast<QKeyEvent *>(event);
        if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && m_strip->currentItem()) {
            const int at = m_strip->currentItem()->data(Qt::UserRole).toInt();
            const bool right = e->modifiers() & Qt::ShiftModifier;
            guarded(this, [this, at, right] { choose(at, right); });
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CompareWindow::keyPressEvent(QKeyEvent *event)
{
    // Esc ends landmark picking first; only then does it close the window. Enter never closes it.
    if (event->key() == Qt::Key_Escape && m_picking) {
        stopPicking();
        return;
    }
    if (event->key() == Qt::Key_Escape && isFullScreen()) {
        showNormal();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        return;
    QDialog::keyPressEvent(event);
}
