#include "capture/CaptureWindow.h"
#include "ui_CaptureWindow.h"

#include "align/Faces.h"
#include "consent/CasePictures.h"
#include "consent/ShotStore.h"
#include "data/AppError.h"
#include "data/Db.h"
#include "data/Settings.h"
#include "pictures/CaptureSource.h"
#include "pictures/GPhotoCamera.h"
#include "pictures/PictureLoader.h"
#include "pictures/Webcam.h"
#include "widgets/Guard.h"
#include "widgets/Prompter.h"

#include <QKeyEvent>
#include <QLineF>
#include <QPainter>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {
// The window's choices, remembered on this computer.
const QString Section = QStringLiteral("Capture");
enum SourceIndex { DemoSource, FolderSource, UsbSource, WebcamSource, SourceCount };

// The live picture's face is sought on a copy this wide: enough for the landmarks of a face that
// fills a fifth of the frame, and quick enough for several searches a second.
constexpr int SearchWidth = 640;
// The demo camera's frame size, as a webcam's live view.
const QSize LiveSize(1280, 720);

QRect fittedRect(QSize picture, const QRect &area)
{
    const QSize s = picture.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - s.width()) / 2, area.y() + (area.height() - s.height()) / 2, s.width(),
                 s.height());
}
} // namespace

class CaptureWindow::LiveView : public QWidget {
public:
    explicit LiveView(CaptureWindow *window) : QWidget(window), m_window(window)
    {
        setObjectName(QStringLiteral("liveView"));
        setMinimumSize(480, 270);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter g(this);
        g.fillRect(rect(), Qt::black);
        m_window->paintLive(g, rect());
    }

private:
    CaptureWindow *m_window;
};

CaptureWindow::CaptureWindow(QWidget *owner, const QString &connection, const QString &programFolder, qint64 caseId,
                             bool after, int slot)
    : QDialog(owner), m_ui(new Ui::CaptureWindow), m_connection(connection), m_folder(programFolder), m_caseId(caseId),
      m_after(after), m_slot(slot)
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("frm_Capture"));
    m_view = new LiveView(this);
    auto *lay = new QVBoxLayout(m_ui->pnl_Live);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(m_view);

    connect(m_ui->sld_Ghost, &QSlider::valueChanged, m_view, qOverload<>(&QWidget::update));
    connect(m_ui->chk_Outline, &QCheckBox::toggled, m_view, qOverload<>(&QWidget::update));
    connectGuarded(m_ui->btn_Shoot, &QPushButton::clicked, this, [this](auto...) { shoot(); });
    connectGuarded(m_ui->btn_Start, &QPushButton::clicked, this, [this](auto...) { startSource(); });
    connect(m_ui->btn_Close, &QPushButton::clicked, this, &QDialog::reject);
    connect(&m_liveSearch, &QFutureWatcher<LiveSearch>::finished, this, &CaptureWindow::guided);
    connect(&m_beforeSearch, &QFutureWatcher<FaceResult>::finished, this, [this] {
        m_beforePose = m_beforeSearch.result().pose;
        m_beforeLight = m_beforeSearch.result().light;
        m_beforeBox = m_beforeSearch.result().box;
        m_beforeSearched = true;
        showHint();
    });
    m_hold.setSingleShot(true);
    connect(&m_hold, &QTimer::timeout, this, &CaptureWindow::holdReached);

    // The source, its folder and the automatic shot as they were last chosen on this computer.
    const int source = Settings::readString(Section, QStringLiteral("Source"), QString()).toInt();
    m_ui->cbox_Source->setCurrentIndex(source >= 0 && source < SourceCount ? source : DemoSource);
    m_ui->edt_Folder->setText(Settings::readString(Section, QStringLiteral("Folder"), QString()));
    m_ui->chk_AutoShoot->setChecked(Settings::readString(Section, QStringLiteral("AutoShoot"), QString())
                                    == QLatin1String("1"));
    connectGuarded(m_ui->cbox_Source, qOverload<int>(&QComboBox::currentIndexChanged), this,
                   [](int index) { Settings::writeString(Section, QStringLiteral("Source"), QString::number(index)); });
    connectGuarded(m_ui->chk_AutoShoot, &QCheckBox::toggled, this, [this](bool on) {
        updateHold();
        Settings::writeString(Section, QStringLiteral("AutoShoot"), on ? QStringLiteral("1") : QStringLiteral("0"));
    });
    loadCase();
}

CaptureWindow::~CaptureWindow()
{
    stopSource();
    m_liveSearch.waitForFinished();
    m_beforeSearch.waitForFinished();
}

void CaptureWindow::loadCase()
{
    const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    m_pictures = CasePictures::read(db, m_folder, m_caseId);
    QString category;
    QSqlQuery q = Db::runPrepared(db, QStringLiteral("SELECT 手术大类, 手术小类 FROM Surgery WHERE id = ?"),
                                  {m_caseId});
    if (q.next()) {
        category = q.value(0).toString().trimmed();
        if (!q.value(1).toString().trimmed().isEmpty())
            category += QStringLiteral(" / ") + q.value(1).toString().trimmed();
    }
    q.finish();
    m_ui->lbl_Case->setText(QStringLiteral("案例 %1　%2").arg(m_caseId).arg(category));
    fillSlots();
    loadGhost();
}

void CaptureWindow::fillSlots()
{
    auto *model = new QStandardItemModel(m_ui->cbox_Slot);
    for (int i = 0; i < 6; ++i) {
        const bool after = i >= 3;
        const CasePicture *p = CasePictures::find(m_pictures, after, i % 3);
        const bool filled = p && !p->stored.trimmed().isEmpty();
        auto *item = new QStandardItem(CasePictures::column(after, i % 3)
                                       + (filled ? QStringLiteral("（已有图片）") : QString()));
        // A slot that holds a picture keeps it: the shot goes only into an empty one.
        if (filled)
            item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
        model->appendRow(item);
    }
    const QSignalBlocker block(m_ui->cbox_Slot);
    m_ui->cbox_Slot->setModel(model);
    m_ui->cbox_Slot->setCurrentIndex((m_after ? 3 : 0) + m_slot);
    connectGuarded(m_ui->cbox_Slot, qOverload<int>(&QComboBox::currentIndexChanged), this,
                   [this](int index) { slotChosen(index); });
}

void CaptureWindow::slotChosen(int index)
{
    if (index < 0 || index > 5)
        return;
    m_after = index >= 3;
    m_slot = index % 3;
    // A hold belongs to the slot it was reached for.
    m_hold.stop();
    m_holdUsed = false;
    const QString was = m_ghostPath;
    loadGhost();
    if (m_ghostPath != was && m_started && demoCamera())
        startSource(); // the demo camera plays the new before photo's face
    m_view->update();
}

void CaptureWindow::loadGhost()
{
    // The ghost is the before photo of the same number (手术后1 over 手术前1), or the first one.
    const CasePicture *before = CasePictures::find(m_pictures, false, m_slot);
    if (!before || before->isEmpty())
        before = CasePictures::find(m_pictures, false, 0);
    const QString path = before && !before->isEmpty() ? before->path : QString();
    if (m_ghostLoaded && path == m_ghostPath)
        return;
    m_ghostLoaded = true;
    m_ghostPath = path;
    ++m_ghostGen;
    m_before = m_outline = m_ghostShown = QImage();
    m_beforePose = PoseGuide::Pose();
    m_beforeLight = PoseGuide::Light();
    m_beforeBox = QRectF();
    m_beforeFrames.reset();
    m_beforeSearched = false;
    m_beforeWhy.clear();
    m_guidance = PoseGuide::Guidance();
    m_recent.clear();
    if (!path.isEmpty()) {
        try {
            m_before = PictureLoader::loadPicture(path);
        } catch (const AppError &) {
            m_beforeWhy = QStringLiteral("术前照片无法读取，无虚影和姿势提示");
        }
    }
    if (m_before.isNull()) {
        m_beforeSearched = true;
        if (m_beforeWhy.isEmpty())
            m_beforeWhy = QStringLiteral("案例没有术前照片，无虚影和姿势提示");
        showHint();
        return;
    }
    m_outline = PoseGuide::outlines(m_before.width() > 1600 ? m_before.scaledToWidth(1600, Qt::SmoothTransformation)
                                                            : m_before);
    const QImage picture = m_before;
    // A search still running for an earlier ghost finishes unseen: the watcher follows this one.
    m_beforeSearch.setFuture(QtConcurrent::run([path, picture] {
        // The faces are given in the picture's upright pixels, as the loader shows it.
        const Align::FaceSearch search = Align::facesOfFile(path);
        FaceResult r;
        const int i = search.mainFace();
        if (i >= 0) {
            r.pose = PoseGuide::poseOf(search.faces.at(i));
            r.light = PoseGuide::lightOf(picture, search.faces.at(i));
            r.box = search.faces.at(i).box;
        }
        return r;
    }));
    showHint();
}

bool CaptureWindow::firstEmptySlot(const QSqlDatabase &db, qint64 caseId, bool *after, int *slot)
{
    // After slots first: the photo usually taken at the station is the after photo.
    const QString sql = QStringLiteral(
        "SELECT 手术后, 手术后1, 手术后2, 手术前, 手术前1, 手术前2 FROM Surgery WHERE id = ?");
    QSqlQuery q = Db::runPrepared(db, sql, {caseId});
    if (!q.next())
        return false;
    for (int i = 0; i < 6; ++i)
        if (q.value(i).toString().trimmed().isEmpty()) {
            *after = i < 3;
            *slot = i % 3;
            return true;
        }
    return false;
}

QString CaptureWindow::take(QWidget *owner, const QString &connection, const QString &programFolder, qint64 caseId,
                            bool *after, int *slot)
{
    CaptureWindow window(owner, connection, programFolder, caseId, *after, *slot);
    Prompter::instance().execModal(&window);
    *after = window.after();
    *slot = window.slot();
    return window.stored();
}

DemoCamera *CaptureWindow::demoCamera() const
{
    return qobject_cast<DemoCamera *>(m_source.get());
}

bool CaptureWindow::startSource()
{
    stopSource();
    std::unique_ptr<CaptureSource> source;
    const int chosen = m_ui->cbox_Source->currentIndex();
    if (chosen == FolderSource) {
        const QString folder = m_ui->edt_Folder->text().trimmed();
        source.reset(new WatchedFolder(folder));
        guarded(this, [&] { Settings::writeString(Section, QStringLiteral("Folder"), folder); });
    } else if (chosen == UsbSource) {
        source.reset(new GPhotoCamera());
    } else if (chosen == WebcamSource) {
        source.reset(new Webcam());
    } else {
        source.reset(new DemoCamera(m_before, LiveSize));
    }
    connect(source.get(), &CaptureSource::frame, this, &CaptureWindow::takeFrame);
    connect(source.get(), &CaptureSource::ended, this, &CaptureWindow::sourceEnded);
    QString whyNot;
    m_source = std::move(source);
    if (!m_source->start(&whyNot)) {
        m_source.reset();
        Prompter::instance().showMessage(this, whyNot);
        return false;
    }
    m_liveWhy = chosen == FolderSource ? QStringLiteral("等待文件夹中的新照片…") : QString();
    showHint();
    return true;
}

void CaptureWindow::stopSource()
{
    if (!m_source)
        return;
    m_source->stop();
    m_source->disconnect(this);
    m_source.reset();
}

void CaptureWindow::sourceEnded(const QString &why)
{
    // Deleted once the signal that told of the end has returned.
    if (m_source) {
        m_source->disconnect(this);
        m_source.release()->deleteLater();
    }
    m_frame = QImage();
    m_waiting = QImage();
    m_liveWhy = why;
    m_guidance = PoseGuide::Guidance();
    m_recent.clear();
    updateHold();
    showHint();
    m_view->update();
    Prompter::instance().showMessage(this, why);
}

void CaptureWindow::takeFrame(const QImage &image)
{
    QElapsedTimer busy;
    busy.start();
    m_frame = image;
    m_liveWhy.clear();
    m_waiting = image;
    guideNext();
    m_view->repaint();
    m_frameMs = busy.nsecsElapsed() / 1e6;
}

namespace {
using FaceResult = CaptureWindow::FaceResult;

// The main face of a search on part of the frame (at offset), in the frame's pixels, with the
// light on it measured on the frame itself.
FaceResult mainFace(const Align::FaceSearch &search, const QPointF &offset, const QImage &frame)
{
    FaceResult f;
    const int i = search.mainFace();
    if (i < 0)
        return f;
    Align::Face face = search.faces.at(i);
    for (QPointF &p : face.points)
        p += offset;
    face.eyes[0] += offset;
    face.eyes[1] += offset;
    face.box.translate(offset);
    f.pose = PoseGuide::poseOf(face);
    f.light = PoseGuide::lightOf(frame, face);
    f.box = face.box;
    return f;
}

// The face of a live frame: first around where it was in the last frame (a face moves little
// between frames, and the search then takes a few milliseconds), then over the whole frame at the
// size the before face has in it, and only when it is still not found, by the full search on a
// reduced copy of the frame.
// How a face was found around where it was before: the part of the frame, the face width and lean
// sought. The same way on another picture of the same size looks at the same pixels.
struct NearWay {
    QRect region;
    double width = 0.0, roll = 0.0;
    QString key() const
    {
        return QStringLiteral("%1,%2,%3,%4/%5/%6")
            .arg(region.x())
            .arg(region.y())
            .arg(region.width())
            .arg(region.height())
            .arg(qRound(width * 10))
            .arg(qRound(roll * 10));
    }
};

FaceResult findNear(const QImage &frame, const NearWay &way)
{
    // Found at the size it had, its landmarks placed on the frame's own pixels.
    return mainFace(Align::findFaceNear(frame.copy(way.region), way.width, way.roll), way.region.topLeft(), frame);
}

FaceResult findLiveFace(const QImage &frame, const QRectF &last, double lastRoll, double expectedWidth = 0.0,
                        double expectedRoll = 0.0, NearWay *used = nullptr)
{
    if (!last.isEmpty()) {
        NearWay way;
        way.region = last.adjusted(-last.width() * 0.6, -last.height() * 0.6, last.width() * 0.6, last.height() * 0.6)
                         .toAlignedRect()
                         .intersected(frame.rect());
        way.width = last.width();
        way.roll = lastRoll;
        const FaceResult f = findNear(frame, way);
        if (f.pose.found) {
            if (used)
                *used = way;
            return f;
        }
    }
    if (expectedWidth > 0.0) {
        const FaceResult f = mainFace(Align::findFaceNear(frame, expectedWidth, expectedRoll), QPointF(), frame);
        if (f.pose.found)
            return f;
    }
    const QImage small = frame.width() > SearchWidth ? frame.scaledToWidth(SearchWidth, Qt::SmoothTransformation)
                                                     : frame;
    return mainFace(Align::findFaces(small, frame.size()), QPointF(), frame);
}
} // namespace

namespace {
// The before photo as a live picture of that size shows it: reduced as a camera's view is, kept
// whole and centred, as the ghost lies over the live picture.
QImage asLiveFrame(const QImage &before, QSize size)
{
    QImage frame(size, QImage::Format_RGB32);
    frame.fill(QColor(40, 40, 40));
    const QSize fit = before.size().scaled(size, Qt::KeepAspectRatio);
    const QImage reduced = before.width() > fit.width() * 2
                               ? before.scaled(fit * 2, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                               : before;
    QPainter g(&frame);
    g.setRenderHint(QPainter::SmoothPixmapTransform);
    g.drawImage(QRect(QPoint((size.width() - fit.width()) / 2, (size.height() - fit.height()) / 2), fit), reduced);
    return frame;
}
} // namespace

void CaptureWindow::guideNext()
{
    if (m_liveSearch.isRunning() || m_waiting.isNull())
        return;
    const QImage frame = m_waiting;
    m_waiting = QImage();
    m_searchedSize = frame.size();
    const QRectF last = m_lastBox;
    // The before face is measured again as the live picture shows it, the way the live face is
    // found (same pixels, same search): what the landmarks make of a face at one resolution or
    // another then cancels out. Near the before pose it is measured on the very part of the frame
    // the live face was found on, so that the before pose filmed reads as no difference at all.
    QRectF beforeBox;
    std::shared_ptr<BeforeFrames> before;
    if (m_beforeSearched && m_beforePose.found && !m_before.isNull()) {
        const double k = std::min(double(frame.width()) / m_before.width(), double(frame.height()) / m_before.height());
        const QPointF offset((frame.width() - m_before.width() * k) / 2.0,
                             (frame.height() - m_before.height() * k) / 2.0);
        beforeBox = QRectF(m_beforeBox.topLeft() * k + offset, m_beforeBox.size() * k);
        if (!m_beforeFrames || m_beforeFrames->size != frame.size()) {
            m_beforeFrames = std::make_shared<BeforeFrames>();
            m_beforeFrames->size = frame.size();
        }
        before = m_beforeFrames;
    }
    const QImage picture = m_before;
    const double expected = beforeBox.width(), expectedRoll = m_beforePose.roll, lastRoll = m_lastRoll;
    const quint64 ghostGen = m_ghostGen;
    m_liveSearch.setFuture(
        QtConcurrent::run([frame, last, lastRoll, picture, before, beforeBox, expected, expectedRoll, ghostGen] {
            // One search at a time: the before frames are touched by this thread alone meanwhile.
            LiveSearch r;
            r.ghostGen = ghostGen;
            if (before && before->canvas.isNull()) {
                before->canvas = asLiveFrame(picture, before->size);
                before->canonical = findLiveFace(before->canvas, beforeBox, expectedRoll);
            }
            NearWay way;
            r.live = findLiveFace(frame, last, lastRoll, expected, expectedRoll, &way);
            if (!before)
                return r;
            r.before = before->canonical;
            // Near: the before face lies within the part of the frame the live face was found on, at
            // about its size (by the detector's boxes; the landmarks may have settled either way).
            const QRectF &b = before->canonical.box;
            const bool near = before->canonical.pose.found && r.live.pose.found && !way.region.isEmpty()
                              && way.region.contains(b.center().toPoint()) && b.width() > 0.7 * way.width
                              && b.width() < 1.4 * way.width;
            if (near) {
                const QString key = way.key();
                auto it = before->byWay.find(key);
                if (it == before->byWay.end()) {
                    if (before->byWay.size() > 256)
                        before->byWay.clear();
                    it = before->byWay.insert(key, findNear(before->canvas, way));
                }
                if (it->pose.found)
                    r.before = *it;
            }
            return r;
        }));
}

void CaptureWindow::guided()
{
    const LiveSearch result = m_liveSearch.result();
    const FaceResult &live = result.live;
    m_lastBox = live.box;
    m_lastRoll = live.pose.roll;
    ++m_guided;
    if (m_beforeSearched && !m_before.isNull()) {
        // Not found again as the live picture shows it: the pose found on the whole photo, fitted.
        const bool again = result.ghostGen == m_ghostGen && result.before.pose.found;
        const PoseGuide::Pose before = again ? result.before.pose
                                             : PoseGuide::fitted(m_beforePose, m_before.size(), m_searchedSize);
        // The last three frames taken together: one whose landmarks slipped is outvoted, at the
        // cost of one frame's delay (a few tens of milliseconds) when the pose really changes.
        const PoseGuide::Guidance now = PoseGuide::compare(before, live.pose);
        if (!now.compared)
            m_recent.clear();
        m_recent << now;
        while (m_recent.size() > 3)
            m_recent.removeFirst();
        m_guidance = PoseGuide::steady(m_recent);
        PoseGuide::addLightHints(m_guidance, again ? result.before.light : m_beforeLight, live.light);
    }
    updateHold();
    showHint();
    guideNext();
}

QString CaptureWindow::hint() const
{
    return m_ui->lbl_Hint->text();
}

void CaptureWindow::showHint()
{
    QString text;
    QString colour = QStringLiteral("#b00000");
    if (!m_beforeWhy.isEmpty())
        text = m_beforeWhy;
    else if (!m_liveWhy.isEmpty())
        text = m_liveWhy;
    else if (!m_beforeSearched)
        text = QStringLiteral("正在查找术前照片上的脸…");
    else if (!m_beforePose.found)
        text = PoseGuide::noBeforeFace();
    else if (m_guided == 0)
        text = QStringLiteral("正在查找画面中的脸…");
    else {
        text = m_guidance.text();
        if (m_guidance.matched)
            colour = QStringLiteral("#008000");
    }
    m_ui->lbl_Hint->setStyleSheet(QStringLiteral("color: %1; font-size: 16pt; font-weight: bold").arg(colour));
    m_ui->lbl_Hint->setText(text);
}

void CaptureWindow::paintLive(QPainter &g, const QRect &area) const
{
    if (m_frame.isNull()) {
        g.setPen(Qt::white);
        g.drawText(area, Qt::AlignCenter, QStringLiteral("没有实时画面"));
        return;
    }
    const QRect r = fittedRect(m_frame.size(), area);
    g.drawImage(r, m_frame);
    const double opacity = m_ui->sld_Ghost->value() / 100.0;
    if (m_before.isNull() || opacity <= 0.0)
        return;
    // The ghost is fitted into the live picture as a whole, as the guidance compares them.
    const QRect ghost = fittedRect(m_before.size(), r);
    g.setOpacity(m_ui->chk_Outline->isChecked() ? std::min(1.0, opacity * 2.0) : opacity);
    // Reduced once to the size it is shown at, not on every frame.
    const bool outline = m_ui->chk_Outline->isChecked();
    if (m_ghostShown.size() != ghost.size() || m_ghostIsOutline != outline) {
        m_ghostShown = (outline ? m_outline : m_before)
                           .scaled(ghost.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        m_ghostIsOutline = outline;
    }
    g.drawImage(ghost.topLeft(), m_ghostShown);
    g.setOpacity(1.0);
}

bool CaptureWindow::shoot()
{
    if (!m_source) {
        Prompter::instance().showMessage(this, QStringLiteral("没有正在使用的相机或文件夹，请先点“开始”。"));
        return false;
    }
    QString whyNot;
    const QString file = m_source->shoot(m_shots.path(), &whyNot);
    if (file.isEmpty()) {
        Prompter::instance().showMessage(this, whyNot);
        return false;
    }
    ShotStore::Shot shot;
    shot.caseId = m_caseId;
    shot.after = m_after;
    shot.slot = m_slot;
    shot.file = file;
    shot.sourceName = m_source->name();
    try {
        m_stored = ShotStore::store(QSqlDatabase::database(m_connection, false), m_folder, shot);
    } catch (const AppError &e) {
        Prompter::instance().showError(this, e.text());
        return false;
    }
    accept();
    return true;
}

void CaptureWindow::updateHold()
{
    const bool matched = m_source && m_guidance.compared && m_guidance.matched;
    if (!matched) {
        // The pose left: the next hold may take a shot again.
        m_hold.stop();
        m_holdUsed = false;
        return;
    }
    if (!m_ui->chk_AutoShoot->isChecked()) {
        m_hold.stop();
        return;
    }
    if (!m_holdUsed && !m_hold.isActive())
        m_hold.start(HoldMs);
}

void CaptureWindow::holdReached()
{
    if (!m_source || !m_guidance.matched || !m_ui->chk_AutoShoot->isChecked() || m_holdUsed)
        return;
    // One shot for one hold, whether it is stored or refused: a refused shot is not tried again
    // until the pose has left and come back.
    m_holdUsed = true;
    guarded(this, [this] { shoot(); });
}

void CaptureWindow::keyPressEvent(QKeyEvent *event)
{
    // + and - change the ghost's opacity from anywhere in the window.
    if (event->key() == Qt::Key_Plus || event->key() == Qt::Key_Equal) {
        m_ui->sld_Ghost->setValue(m_ui->sld_Ghost->value() + m_ui->sld_Ghost->singleStep());
        return;
    }
    if (event->key() == Qt::Key_Minus) {
        m_ui->sld_Ghost->setValue(m_ui->sld_Ghost->value() - m_ui->sld_Ghost->singleStep());
        return;
    }
    QDialog::keyPressEvent(event);
}

void CaptureWindow::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // The live view starts when the window first shows, with the source chosen in it.
    if (!m_started) {
        m_started = true;
        startSource();
    }
}

void CaptureWindow::done(int result)
{
    stopSource();
    QDialog::done(result);
}
