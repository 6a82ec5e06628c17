#include "consult/ConsultWindow.h"
#include "consult/ConsultTiles.h"

#include "align/AlignmentStore.h"
#include "data/AuditLog.h"
#include "compare/CompareView.h"
#include "data/AppError.h"
#include "data/Operations.h"
#include "data/PictureStore.h"
#include "data/Unit_DataMod.h"
#include "pictures/ExifDate.h"
#include "pictures/PictureLoader.h"
#include "pictures/PreviewService.h"
#include "widgets/FixedDialog.h"
#include "widgets/Prompter.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QResizeEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <functional>
#include <optional>

namespace {

QLabel *label(QWidget *parent, const char *name, int pixelSize, const QColor &colour)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    QFont f = l->font();
    f.setPixelSize(pixelSize);
    l->setFont(f);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, colour);
    l->setPalette(pal);
    l->setFocusPolicy(Qt::NoFocus);
    return l;
}

} // namespace

using namespace ConsultTiles;

ConsultWindow::ConsultWindow(TDataMod &mod, QWidget *staffWindow)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_mod(mod), m_staff(staffWindow)
{
    setObjectName(QStringLiteral("ConsultWindow"));
    setWindowTitle(QStringLiteral("咨询演示"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    // The staff window cannot be reached while the mode is up, on this screen or the other.
    setWindowModality(Qt::ApplicationModal);
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Background);
    setPalette(pal);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_stack = new QStackedWidget(this);
    m_stack->setFocusPolicy(Qt::NoFocus);
    outer->addWidget(m_stack);

    // The tiles of levels 1 to 3, under a title and the path chosen so far.
    auto *tilesPage = new QWidget(m_stack);
    tilesPage->setObjectName(QStringLiteral("tilesPage"));
    auto *v = new QVBoxLayout(tilesPage);
    v->setContentsMargins(48, 28, 48, 20);
    m_title = label(tilesPage, "lbl_Title", 40, TextColour);
    m_path = label(tilesPage, "lbl_Path", 22, DimText);
    v->addWidget(m_title);
    v->addWidget(m_path);
    m_scroll = new QScrollArea(tilesPage);
    m_scroll->setObjectName(QStringLiteral("tilesScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_tileHost = new QWidget;
    m_tileHost->setObjectName(QStringLiteral("tileHost"));
    m_tileHost->setAutoFillBackground(false);
    m_grid = new QGridLayout(m_tileHost);
    m_grid->setSpacing(18);
    m_grid->setContentsMargins(0, 12, 0, 12);
    m_scroll->setWidget(m_tileHost);
    v->addWidget(m_scroll, 1);
    m_hint = label(tilesPage, "lbl_Hint", 16, DimText);
    v->addWidget(m_hint);
    m_stack->addWidget(tilesPage);

    // Level 4: the comparison of one case under its caption.
    m_comparePage = new QWidget(m_stack);
    m_comparePage->setObjectName(QStringLiteral("comparePage"));
    auto *cv = new QVBoxLayout(m_comparePage);
    cv->setContentsMargins(24, 16, 24, 12);
    auto *head = new QHBoxLayout;
    m_caseCaption = label(m_comparePage, "lbl_CaseCaption", 28, TextColour);
    m_casePosition = label(m_comparePage, "lbl_CasePosition", 20, DimText);
    head->addWidget(m_caseCaption, 1);
    const char *const modeNames[] = {"btn_SideBySide", "btn_Wipe", "btn_Overlay"};
    const QString modeCaptions[] = {QStringLiteral("并排(&S)"), QStringLiteral("划像(&W)"), QStringLiteral("叠加(&O)")};
    auto *modes = new QButtonGroup(m_comparePage);
    modes->setExclusive(true);
    for (int i = 0; i < 3; ++i) {
        auto *b = new QToolButton(m_comparePage);
        modes->addButton(b, i);
        b->setObjectName(QString::fromLatin1(modeNames[i]));
        b->setText(modeCaptions[i]);
        b->setCheckable(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setStyleSheet(
            QStringLiteral("QToolButton { color: #dcdcdc; background: transparent; border: 1px solid #5a5a60;"
                           " border-radius: 4px; padding: 3px 10px; font-size: 16px; }"
                           "QToolButton:checked { color: #202020; background: #c4a05c; border-color: #c4a05c; }"));
        connect(b, &QToolButton::clicked, this, [this, i] {
            m_view->setMode(static_cast<CompareView::Mode>(i));
            setFocus();
        });
        b->setChecked(i == 0);
        m_modeButtons[i] = b;
        head->addWidget(b);
    }
    head->addSpacing(16);
    head->addWidget(m_casePosition);
    cv->addLayout(head);
    m_view = new CompareView(m_comparePage);
    m_view->setObjectName(QStringLiteral("compareView"));
    m_view->setFocusPolicy(Qt::NoFocus);
    cv->addWidget(m_view, 1);
    auto *hint = label(m_comparePage, "lbl_CompareHint", 16, DimText);
    hint->setWordWrap(true);
    hint->setText(QStringLiteral("PageUp PageDown ← → 上一组/下一组（放大时 ← → ↑ ↓ 移动画面）　S 并排　W 划像　"
                                 "O 叠加　[ ] 分界线/不透明度　+ - 缩放　F 适合　1 原大　B 黑屏　Esc 返回"));
    cv->addWidget(hint);
    m_stack->addWidget(m_comparePage);
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
    m_blank = new QWidget(m_stack);
    m_blank->setObjectName(QStringLiteral("blankPage"));
    m_blank->setAutoFillBackground(true);
    QPalette bpal = m_blank->palette();
    bpal.setColor(QPalette::Window, Qt::black);
    m_blank->setPalette(bpal);
    m_stack->addWidget(m_blank);
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
