// The main window's before/after picture columns: refilling them from the current case, stacking
// the frames in each column and keeping the two columns side by side as the window changes.
#include "browser/Unit_Main.h"
#include "ui_Unit_Main.h"

#include "data/DataSet.h"
#include "widgets/Guard.h"
#include "pictures/PictureGeometry.h"
#include "data/PictureStore.h"
#include "pictures/PreviewService.h"
#include "widgets/Prompter.h"
#include "browser/Unit_PanelImage.h"

#include <QEvent>
#include <QSplitter>
#include <algorithm>
#include <exception>

// Watches the resizes of the picture area's widgets for the window and remembers what the
// handlers need between calls.
class PicturePanelController : public QObject {
public:
    explicit PicturePanelController(TfrmMain *w) : QObject(w), m_w(w) {}

    bool caseRowsReset = false;   // the customer's cases were just re-read
    PreviewGroup previews;        // the shown case's previews; a new case abandons the old
    int acceptedBeforeWidth = -1; // the last before-column width the splitter accepted

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Resize)
            return QObject::eventFilter(watched, event);
        Ui::TfrmMain *ui = m_w->ui();
        if (watched == ui->Pl_BeforePr)
            fillBelowHeading(ui->Pl_BeforePr, ui->Pl_Before);
        else if (watched == ui->Pl_Afterpr)
            fillBelowHeading(ui->Pl_Afterpr, ui->Pl_After);
        else if (watched == ui->Pl_Before)
            guarded(m_w, [this] { m_w->Pl_BeforeResize(); });
        else if (watched == ui->Pl_After)
            guarded(m_w, [this] { m_w->Pl_AfterResize(); });
        else if (watched == ui->Splitter1)
            // The splitter fills the inner area exactly, so its resize is the picture area's;
            // by now its new width is set and its own resize keeps sizes that add up to it.
            guarded(m_w, [this] { m_w->PlPicSpaceResize(); });
        return QObject::eventFilter(watched, event);
    }

private:
    // A host fills its column from below the heading to the bottom, full width.
    static void fillBelowHeading(QWidget *column, QWidget *host)
    {
        host->setGeometry(0, 20, column->width(), column->height() - 20);
    }

    TfrmMain *m_w;
};

void TfrmMain::setupPictures()
{
    Ui::TfrmMain *ui = m_ui.get();
    m_pictures = new PicturePanelController(this);

    QPalette workspace = ui->PlPicSpace->palette();
    workspace.setColor(QPalette::Window, QColor(128, 128, 128));
    ui->PlPicSpace->setPalette(workspace);
    ui->PlPicSpace->setAutoFillBackground(true);
    // The inner area (seen only as the splitter between the columns) keeps the window's colour.
    QPalette inner = ui->PlSpace->palette();
    inner.setColor(QPalette::Window, palette().color(QPalette::Window));
    ui->PlSpace->setPalette(inner);
    ui->PlSpace->setAutoFillBackground(true);
    // The inner area keeps 8 pixels to the outer edges at left and top and 7 at right and bottom,
    // measured from the outside of the bevel.
    const int bevel = ui->PlPicSpace->frameWidth();
    ui->PlPicSpace->layout()->setContentsMargins(8 - bevel, 8 - bevel, 7 - bevel, 7 - bevel);
    for (QFrame *column : {ui->Pl_BeforePr, ui->Pl_Afterpr}) {
        QPalette pal = column->palette();
        pal.setColor(QPalette::Window, QColor(166, 202, 240));
        column->setPalette(pal);
        column->setAutoFillBackground(true);
        column->setFrameShape(QFrame::NoFrame);
        column->setMinimumWidth(1);
        column->installEventFilter(m_pictures);
    }
    for (QLabel *heading : {ui->Label_Before, ui->Label_After}) {
        QFont f = heading->font();
        f.setBold(true);
        heading->setFont(f);
    }
    for (QFrame *host : {ui->Pl_Before, ui->Pl_After}) {
        host->setFrameShape(QFrame::Panel);
        host->setFrameShadow(QFrame::Sunken);
        host->installEventFilter(m_pictures);
    }
    ui->Splitter1->setHandleWidth(6);
    ui->Splitter1->setChildrenCollapsible(false);
    ui->Splitter1->installEventFilter(m_pictures);
    connect(ui->Splitter1, &QSplitter::splitterMoved, this, [this] {
        QSplitter *s = m_ui->Splitter1;
        const QList<int> sizes = s->sizes();
        if (sizes.size() != 2)
            return;
        if (Splitter1CanResize(sizes.at(0))) {
            m_pictures->acceptedBeforeWidth = sizes.at(0);
        } else if (m_pictures->acceptedBeforeWidth > 1) {
            // A refused move leaves the columns where they last stood.
            const int total = sizes.at(0) + sizes.at(1);
            const int before = std::min(m_pictures->acceptedBeforeWidth, total - 1);
            s->setSizes({before, total - before});
        }
    });

    // The list's row is shown as soon as it changes, before the customer's cases follow it. A
    // new set of customer's cases comes only with such a move (or a re-read after the list's
    // own), so the list's row stands; a move within the customer's cases shows that case.
    connectGuarded(adq_Surgery, &DataSet::recordChanged, this, [this](auto...) { dsQ_SurgeryDataChange(); });
    connect(adt_Surgery, &DataSet::rowsReset, this, [this] { m_pictures->caseRowsReset = true; });
    connectGuarded(adt_Surgery, &DataSet::recordChanged, this, [this](auto...) {
        if (!std::exchange(m_pictures->caseRowsReset, false))
            ds_SurgeryDataChange();
    });
}

// Shows the pictures of a data set's current row: the after column first, then the before
// column. A picture that cannot be read does not keep the others from showing; the first
// failure is raised once both columns are filled.
static void showCaseOf(TfrmMain *w, PreviewGroup &previews, DataSet *ds)
{
    const quint64 generation = previews.restart();
    const bool hasRow = ds->isActive() && ds->recNo() >= 0;
    auto path = [&](const char *column) {
        const QString value = hasRow ? ds->asString(QString::fromUtf8(column)) : QString();
        return PictureStore::resolveColumn(w->programFolder(), value);
    };
    std::exception_ptr failure;
    try {
        w->ShowPictures(w->ui()->Pl_After, path("手术后"), path("手术后1"), path("手术后2"));
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        w->ShowPictures(w->ui()->Pl_Before, path("手术前"), path("手术前1"), path("手术前2"));
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    // The case's one report: failures found later while decoding are not shown again.
    if (failure && previews.claimFailureReport(generation))
        std::rethrow_exception(failure);
}

void TfrmMain::dsQ_SurgeryDataChange()
{
    showCaseOf(this, m_pictures->previews, adq_Surgery);
}

void TfrmMain::ds_SurgeryDataChange()
{
    if (m_ui->PageControl->currentIndex() == 1)
        showCaseOf(this, m_pictures->previews, adt_Surgery);
}

void TfrmMain::ShowPictures(QFrame *host, const QString &p0, const QString &p1, const QString &p2)
{
    qDeleteAll(host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly));
    PreviewGroup previews = m_pictures->previews;
    const quint64 generation = previews.generation();
    // A picture found damaged while decoding leaves its column like one found damaged here: no
    // frame, the others close up, and the error shown once for the case.
    auto failed = [this, host, previews, generation](TPanelImage *frame, const QString &error) mutable {
        frame->Panel->hide();
        frame->setParent(nullptr);
        frame->deleteLater();
        ArrangePictures(host);
        if (previews.claimFailureReport(generation))
            Prompter::instance().showError(this, error);
    };
    std::exception_ptr failure;
    for (const QString &path : {p2, p1, p0}) {
        if (!PictureStore::isPictureFile(path))
            continue;
        auto *frame = new TPanelImage(host);
        frame->SetFrameLeft(12);
        frame->setPreviewGroup(previews, generation);
        frame->onFailed = failed;
        try {
            frame->LoadPicture(path);
        } catch (...) {
            // No empty frame for a picture that could not be read; the others close up.
            delete frame;
            if (!failure)
                failure = std::current_exception();
        }
    }
    ArrangePictures(host);
    if (failure)
        std::rethrow_exception(failure);
}

void TfrmMain::ArrangePictures(QFrame *host)
{
    // Created last to first, so the first column's picture stands on top.
    QList<TPanelImage *> frames = host->findChildren<TPanelImage *>(Qt::FindDirectChildrenOnly);
    std::reverse(frames.begin(), frames.end());
    const QVector<QRect> places = PictureGeometry::arrangeFrames(host->width(), host->height(), int(frames.size()));
    for (int i = 0; i < frames.size(); ++i) {
        QFrame *panel = frames.at(i)->Panel;
        const QRect &r = places.at(i);
        panel->setGeometry(panel->x(), r.y(), std::max(r.width(), 0), std::max(r.height(), 0));
    }
}

void TfrmMain::PlPicSpaceResize()
{
    QSplitter *s = m_ui->Splitter1;
    const int inner = m_ui->PlSpace->width();
    const int before = PictureGeometry::beforeColumnWidth(inner);
    const int after = std::max(inner - before - s->handleWidth(), 0);
    s->setSizes({before, after});
    m_pictures->acceptedBeforeWidth = before;
}

void TfrmMain::Pl_BeforeResize()
{
    ArrangePictures(m_ui->Pl_Before);
}

void TfrmMain::Pl_AfterResize()
{
    ArrangePictures(m_ui->Pl_After);
}

bool TfrmMain::Splitter1CanResize(int newBeforeWidth)
{
    return PictureGeometry::splitterAccepts(newBeforeWidth);
}
