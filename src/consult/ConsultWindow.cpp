#include "consult/ConsultWindow.h"
#include "ui_ConsultWindow.h"

#include "compare/CompareView.h"
#include "consult/ConsultTiles.h"
#include "data/AppError.h"
#include "data/AuditLog.h"
#include "data/Operations.h"
#include "data/Unit_DataMod.h"
#include "widgets/Prompter.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>

namespace {

// The labels' sizes are in pixels, for a screen seen from across the room; the form's fonts are
// in points.
void setLook(QLabel *l, int pixelSize, const QColor &colour)
{
    QFont f = l->font();
    f.setPixelSize(pixelSize);
    l->setFont(f);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, colour);
    l->setPalette(pal);
}

} // namespace

using namespace ConsultTiles;

ConsultWindow::ConsultWindow(TDataMod &mod, QWidget *staffWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_ui(new Ui::ConsultWindow), m_mod(mod),
      m_staff(staffWindow)
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose, false);
    // The staff window cannot be reached while the mode is up, on this screen or the other.
    setWindowModality(Qt::ApplicationModal);
    // The colours are those of the painted tiles.
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Background);
    setPalette(pal);

    m_stack = m_ui->stack;
    // The tiles of levels 1 to 3, under a title and the path chosen so far.
    m_title = m_ui->lbl_Title;
    m_path = m_ui->lbl_Path;
    m_hint = m_ui->lbl_Hint;
    setLook(m_title, 40, TextColour);
    setLook(m_path, 22, DimText);
    setLook(m_hint, 16, DimText);
    m_scroll = m_ui->tilesScroll;
    m_scroll->viewport()->setAutoFillBackground(false);
    m_tileHost = m_ui->tileHost;
    m_grid = m_ui->grid;

    // Level 4: the comparison of one case under its caption.
    m_comparePage = m_ui->comparePage;
    m_caseCaption = m_ui->lbl_CaseCaption;
    m_casePosition = m_ui->lbl_CasePosition;
    setLook(m_caseCaption, 28, TextColour);
    setLook(m_casePosition, 20, DimText);
    setLook(m_ui->lbl_CompareHint, 16, DimText);
    m_view = m_ui->compareView;
    m_modeButtons[0] = m_ui->btn_SideBySide;
    m_modeButtons[1] = m_ui->btn_Wipe;
    m_modeButtons[2] = m_ui->btn_Overlay;
    for (int i = 0; i < 3; ++i) {
        connect(m_modeButtons[i], &QToolButton::clicked, this, [this, i] {
            m_view->setMode(static_cast<CompareView::Mode>(i));
            setFocus();
        });
    }
    for (int i = 0; i < 2; ++i)
        m_placeholders[i] = new Placeholder(m_view);
    connect(m_view, &CompareView::stateChanged, this, [this] {
        const int mode = static_cast<int>(m_view->state().mode);
        for (int i = 0; i < 3; ++i)
            m_modeButtons[i]->setChecked(i == mode);
        placePlaceholders();
    });
    connect(m_view, &CompareView::pictureFailed, this, [this](CompareView::Side side, const QString &message) {
        const int i = side == CompareView::Side::Before ? 0 : 1;
        m_failed[i] = true;
        keepProblem(QStringLiteral("病例 %1：%2").arg(currentCaseId()).arg(message));
        placePlaceholders();
    });

    // Blank: nothing at all on the screen.
    m_blank = m_ui->blankPage;
    QPalette bpal = m_blank->palette();
    bpal.setColor(QPalette::Window, Qt::black);
    m_blank->setPalette(bpal);
}

ConsultWindow::~ConsultWindow() = default;

QScreen *ConsultWindow::screenFor(QScreen *staffScreen)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.size() > 1) {
        for (QScreen *s : screens) {
            if (s != staffScreen)
                return s;
        }
    }
    return staffScreen ? staffScreen : QGuiApplication::primaryScreen();
}

bool ConsultWindow::start()
{
    const QSqlDatabase db = QSqlDatabase::database(m_mod.ADOConn, false);
    try {
        m_majors = Showable::load(db);
    } catch (const AppError &e) {
        Prompter::instance().showError(m_staff, e.text());
        return false;
    }
    // A comparison needs both photos: cases without one are not offered, and the staff is told.
    m_majors = Showable::withPairs(m_majors, m_mod.programFolder(), &m_problems);
    if (m_majors.isEmpty()) {
        QString text = QStringLiteral("没有可向顾客展示的病例。请先在资料管理中为病例设置授权“可向顾客展示”。");
        if (!m_problems.isEmpty())
            text += QLatin1Char('\n') + m_problems.join(QLatin1Char('\n'));
        Prompter::instance().showMessage(m_staff, text);
        return false;
    }
    // The start is recorded before anything is shown; a log that refuses it stops the mode
    // while the staff is still at the screen.
    try {
        AuditLog::Event e;
        e.action = AuditLog::Action::ConsultationStarted;
        int count = 0;
        for (const Showable::Major &m : m_majors)
            count += m.count();
        e.detail = QString::number(count);
        AuditLog::recordWith(db, e, [] {});
    } catch (const AppError &e) {
        Prompter::instance().showError(m_staff, e.text());
        return false;
    }
    m_started = true;
    m_surgeonShown = Showable::surgeonShown();

    QScreen *screen = screenFor(m_staff ? m_staff->screen() : nullptr);
    if (screen) {
        setScreen(screen);
        setGeometry(screen->geometry());
    }
    showLevel(1, 0);
    showFullScreen();
    raise();
    activateWindow();
    setFocus();
    return true;
}

void ConsultWindow::noteCaseShown(qint64 caseId, const QString &where)
{
    const QString key = QStringLiteral("%1/%2").arg(caseId).arg(where);
    if (m_shown.contains(key))
        return;
    m_shown.insert(key);
    audit(static_cast<int>(AuditLog::Action::ConsultationCaseShown), caseId, where);
}

void ConsultWindow::audit(int action, qint64 caseId, const QString &detail)
{
    AuditLog::Event e;
    e.action = static_cast<AuditLog::Action>(action);
    e.detail = detail;
    try {
        // The log is for the staff: it names the customer whose case was shown.
        if (caseId) {
            e.caseId = caseId;
            e.customerNo = Operations::customerOfCase(m_mod, caseId);
        }
        AuditLog::recordWith(QSqlDatabase::database(m_mod.ADOConn, false), e, [] {});
    } catch (const AppError &err) {
        keepProblem(QStringLiteral("操作记录未能写入（%1）：%2").arg(AuditLog::label(e.action), err.text()));
    }
}

void ConsultWindow::keepProblem(const QString &problem)
{
    if (!m_problems.contains(problem))
        m_problems << problem;
}

bool ConsultWindow::leave()
{
    if (m_ending)
        return true;
    if (m_blanked)
        setBlanked(false);
    if (!askStaffPassword())
        return false;
    finish();
    return true;
}

void ConsultWindow::finish()
{
    m_ending = true;
    if (m_started) {
        QSet<qint64> cases;
        for (const QString &key : std::as_const(m_shown))
            cases.insert(key.section(QLatin1Char('/'), 0, 0).toLongLong());
        audit(static_cast<int>(AuditLog::Action::ConsultationEnded), 0, QString::number(cases.size()));
    }
    m_thumbs.restart();
    hide();
    close();
    // Only now, with the customer's screen gone, the staff learns what went wrong.
    if (!m_problems.isEmpty()) {
        Prompter::instance().showMessage(m_staff, QStringLiteral("咨询演示中有以下问题：\n")
                                                      + m_problems.join(QLatin1Char('\n')));
    }
    emit finished();
}
