#include "consult/ConsultWindow.h"

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

const QColor Background(34, 34, 38);
const QColor TileColour(58, 58, 64);
const QColor TileSelected(196, 160, 92);
const QColor TextColour(236, 236, 236);
const QColor DimText(170, 170, 176);

QString majorName(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("其他") : name;
}

QString minorName(const QString &name)
{
    return name.isEmpty() ? QStringLiteral("未分小类") : name;
}

// A neutral stand-in for a picture that cannot be shown: a grey frame with a simple landscape
// sign, no words, nothing that hints at what went wrong.
void paintPlaceholder(QPainter &p, const QRectF &r)
{
    p.save();
    p.fillRect(r, QColor(72, 72, 78));
    const double s = std::min(r.width(), r.height()) * 0.3;
    const QPointF c = r.center();
    QRectF sign(c.x() - s / 2, c.y() - s / 2.6, s, s / 1.3);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 120, 128), std::max(1.0, s / 24)));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(sign, s / 14, s / 14);
    QPolygonF hill;
    hill << QPointF(sign.left() + s * 0.1, sign.bottom() - s * 0.1)
         << QPointF(sign.left() + s * 0.4, sign.top() + s * 0.35)
         << QPointF(sign.left() + s * 0.6, sign.bottom() - s * 0.25)
         << QPointF(sign.left() + s * 0.72, sign.top() + s * 0.45)
         << QPointF(sign.right() - s * 0.1, sign.bottom() - s * 0.1);
    p.drawPolyline(hill);
    p.drawEllipse(QPointF(sign.right() - s * 0.25, sign.top() + s * 0.2), s * 0.07, s * 0.07);
    p.restore();
}

class Placeholder : public QWidget {
public:
    explicit Placeholder(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("placeholder"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        paintPlaceholder(p, rect());
    }
};

// One tile of levels 1 to 3: a caption, a line under it and, for a case, its before and after
// pictures (or placeholders).
class Tile : public QWidget {
public:
    Tile(QWidget *parent, const QString &caption, const QString &detail)
        : QWidget(parent), m_caption(caption), m_detail(detail)
    {
        setObjectName(QStringLiteral("tile"));
        setFocusPolicy(Qt::NoFocus);
        setAccessibleName(detail.isEmpty() ? caption : caption + QLatin1Char(' ') + detail);
    }
    // A case's tile: room for its two pictures, drawn as they arrive.
    void expectPictures() { m_hasPictures = true; }
    // failed: a placeholder in its place for good.
    void setPicture(bool after, const QImage &image, bool failed)
    {
        (after ? m_after : m_before) = image;
        (after ? m_afterFailed : m_beforeFailed) = failed;
        update();
    }
    void setSelected(bool selected)
    {
        m_selected = selected;
        update();
    }
    QString caption() const { return m_caption; }
    std::function<void()> onClick;
    // Runs when the tile is first painted: it has been on the screen.
    std::function<void()> onShown;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(4, 4, -4, -4);
        p.setPen(m_selected ? QPen(TileSelected, 6) : QPen(Qt::NoPen));
        p.setBrush(TileColour);
        p.drawRoundedRect(r, 10, 10);
        QFont f = font();
        const double h = r.height();
        QRectF text = r.adjusted(16, 12, -16, -12);
        if (m_hasPictures) {
            const double textHeight = std::clamp(h * 0.16, 40.0, 90.0);
            const QRectF pics(text.left(), text.top(), text.width(), text.height() - textHeight);
            const double gap = 8;
            const QRectF left(pics.left(), pics.top(), (pics.width() - gap) / 2, pics.height());
            const QRectF right(left.right() + gap, pics.top(), left.width(), pics.height());
            drawPicture(p, m_before, m_beforeFailed, left);
            drawPicture(p, m_after, m_afterFailed, right);
            text.setTop(pics.bottom() + 6);
        }
        p.setPen(TextColour);
        f.setPixelSize(int(std::clamp(h * (m_hasPictures ? 0.06 : 0.16), 14.0, 48.0)));
        p.setFont(f);
        const int flags = Qt::AlignHCenter | (m_detail.isEmpty() ? Qt::AlignVCenter : Qt::AlignBottom);
        const QRectF captionRect = m_detail.isEmpty()
                                       ? text
                                       : QRectF(text.left(), text.top(), text.width(), text.height() * 0.55);
        p.drawText(captionRect, flags | Qt::TextWordWrap, m_caption);
        if (!m_detail.isEmpty()) {
            f.setPixelSize(std::max(12, f.pixelSize() * 2 / 3));
            p.setFont(f);
            p.setPen(DimText);
            p.drawText(QRectF(text.left(), captionRect.bottom() + 4, text.width(),
                              text.bottom() - captionRect.bottom() - 4),
                       Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, m_detail);
        }
        if (onShown) {
            const auto shown = std::move(onShown);
            onShown = nullptr;
            shown();
        }
    }
    void mousePressEvent(QMouseEvent *) override
    {
        if (onClick)
            onClick();
    }

private:
    static void drawPicture(QPainter &p, const QImage &image, bool failed, const QRectF &box)
    {
        if (failed) {
            paintPlaceholder(p, box);
            return;
        }
        if (image.isNull()) {
            p.fillRect(box, TileColour.darker(115)); // still on its way
            return;
        }
        QSizeF s = image.size();
        s.scale(box.size(), Qt::KeepAspectRatio);
        const QRectF target(box.center().x() - s.width() / 2, box.center().y() - s.height() / 2, s.width(), s.height());
        p.drawImage(target, image);
    }

    QString m_caption, m_detail;
    QImage m_before, m_after;
    bool m_beforeFailed = false, m_afterFailed = false;
    bool m_hasPictures = false;
    bool m_selected = false;
};

// Asks for a staff account before the mode may end. It accepts only names and passwords that
// the login check knows; a wrong one is said inside the dialog, never in a message box.
class UnlockDialog : public FixedDialog {
public:
    UnlockDialog(QWidget *owner, TDataMod &mod) : FixedDialog(owner, CentreOnOwner), m_mod(mod)
    {
        setObjectName(QStringLiteral("ConsultUnlock"));
        setWindowTitle(QStringLiteral("结束咨询演示"));
        auto *prompt = new QLabel(QStringLiteral("请工作人员输入用户名和密码："), this);
        prompt->setGeometry(16, 14, 260, 18);
        auto *userLabel = new QLabel(QStringLiteral("用户名(&U)"), this);
        userLabel->setGeometry(16, 44, 70, 21);
        m_user = new QLineEdit(this);
        m_user->setObjectName(QStringLiteral("edt_User"));
        m_user->setGeometry(92, 44, 170, 21);
        userLabel->setBuddy(m_user);
        auto *passwordLabel = new QLabel(QStringLiteral("密码(&W)"), this);
        passwordLabel->setGeometry(16, 74, 70, 21);
        m_password = new QLineEdit(this);
        m_password->setObjectName(QStringLiteral("edt_Password"));
        m_password->setEchoMode(QLineEdit::Password);
        m_password->setGeometry(92, 74, 170, 21);
        passwordLabel->setBuddy(m_password);
        m_wrong = new QLabel(this);
        m_wrong->setObjectName(QStringLiteral("lbl_Wrong"));
        m_wrong->setGeometry(16, 102, 260, 18);
        m_wrong->setStyleSheet(QStringLiteral("color: #b00000;"));
        auto *ok = new QPushButton(QStringLiteral("确定(&O)"), this);
        ok->setObjectName(QStringLiteral("btn_Ok"));
        ok->setGeometry(100, 128, 75, 25);
        auto *cancel = new QPushButton(QStringLiteral("取消(&C)"), this);
        cancel->setObjectName(QStringLiteral("btn_Cancel"));
        cancel->setGeometry(187, 128, 75, 25);
        connect(ok, &QPushButton::clicked, this, [this] { tryAccept(); });
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        connect(m_password, &QLineEdit::returnPressed, this, [this] { tryAccept(); });
        fixDesign(QSize(280, 166));
        setInitialFocus(m_user);
    }

protected:
    // This dialog has a 取消 button: Escape is 取消.
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            reject();
            return;
        }
        FixedDialog::keyPressEvent(event);
    }

private:
    void tryAccept()
    {
        std::optional<TUserInfo> user;
        try {
            user = Operations::checkLogin(m_mod, m_user->text(), m_password->text(),
                                          AuditLog::Action::ConsultationUnlocked,
                                          AuditLog::Action::ConsultationUnlockFailed);
        } catch (const AppError &) {
            user.reset();
        }
        if (user) {
            accept();
            return;
        }
        m_wrong->setText(QStringLiteral("用户名或密码不对，请重新输入。"));
        m_password->clear();
        m_password->setFocus();
    }

    TDataMod &m_mod;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_wrong = nullptr;
};

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

qint64 ConsultWindow::currentCaseId() const
{
    if (m_level != 4)
        return 0;
    const QVector<Showable::Case> &cases = chosenCases();
    return m_case < cases.size() ? cases.at(m_case).id : 0;
}

const QVector<Showable::Case> &ConsultWindow::chosenCases() const
{
    static const QVector<Showable::Case> none;
    if (m_major >= m_majors.size() || m_minor >= m_majors.at(m_major).minors.size())
        return none;
    return m_majors.at(m_major).minors.at(m_minor).cases;
}

int ConsultWindow::pairCount(const Showable::Case &c) const
{
    return int(std::max<qsizetype>(1, std::max(c.before.size(), c.after.size())));
}

void ConsultWindow::showLevel(int level, int select)
{
    m_level = level;
    if (level == 4) {
        m_stack->setCurrentWidget(m_blanked ? m_blank : m_comparePage);
        showCase();
        return;
    }
    m_selected = select;
    buildTiles();
    if (!m_blanked)
        m_stack->setCurrentIndex(0);
}

void ConsultWindow::buildTiles()
{
    for (QWidget *t : std::as_const(m_tiles))
        delete t;
    m_tiles.clear();
    const quint64 generation = m_thumbs.restart();

    struct Entry {
        QString caption, detail;
        const Showable::Case *c = nullptr;
    };
    QVector<Entry> entries;
    QString path;
    if (m_level == 1) {
        m_title->setText(QStringLiteral("请选择项目"));
        for (const Showable::Major &m : std::as_const(m_majors))
            entries.append({majorName(m.name), QStringLiteral("%1 例").arg(m.count()), nullptr});
    } else if (m_level == 2) {
        const Showable::Major &m = m_majors.at(m_major);
        m_title->setText(majorName(m.name));
        path = QStringLiteral("请选择细分项目");
        for (const Showable::Minor &n : m.minors)
            entries.append({minorName(n.name), QStringLiteral("%1 例").arg(n.cases.size()), nullptr});
    } else {
        const Showable::Major &m = m_majors.at(m_major);
        const Showable::Minor &n = m.minors.at(m_minor);
        m_title->setText(QStringLiteral("%1 · %2").arg(majorName(m.name), minorName(n.name)));
        path = QStringLiteral("共 %1 例").arg(n.cases.size());
        int index = 0;
        for (const Showable::Case &c : n.cases) {
            ++index;
            const QString after = c.after.value(0);
            const QDate taken = after.isEmpty() ? QDate()
                                                : ExifDate::dateTaken(picturePath(after, c.id)).value_or(QDate());
            QString caption = ExifDate::afterSurgeryText(c.surgeryDate, taken);
            if (caption.isEmpty())
                caption = QStringLiteral("第 %1 例").arg(index);
            const QString detail = m_surgeonShown && !c.surgeon.isEmpty() ? QStringLiteral("医生：%1").arg(c.surgeon)
                                                                          : QString();
            entries.append({caption, detail, &c});
        }
    }
    m_path->setText(path);
    m_path->setVisible(!path.isEmpty());
    m_hint->setText(m_level == 1 ? QStringLiteral("方向键选择　Enter 打开　B 黑屏　Esc 结束演示")
                                 : QStringLiteral("方向键选择　Enter 打开　B 黑屏　Esc 返回"));

    const int n = int(entries.size());
    const QSize area = m_scroll->viewport()->size().isEmpty() ? size() : m_scroll->viewport()->size();
    if (m_level == 3)
        m_columns = std::clamp(int(std::ceil(std::sqrt(double(n)))), 1, 4);
    else
        m_columns = std::clamp(int(std::ceil(std::sqrt(double(n) * 1.5))), 1, 5);
    const int rows = (n + m_columns - 1) / std::max(1, m_columns);
    const int visibleRows = std::min(rows, m_level == 3 ? 2 : 3);
    const int tileHeight = std::max(120, (area.height() - 24 - 18 * (visibleRows - 1)) / std::max(1, visibleRows));
    const QSize thumb(std::max(64, area.width() / m_columns / 2 - 24), std::max(48, tileHeight * 3 / 5));
    // Few category tiles stay their size in the middle of the screen rather than stretch.
    m_grid->setAlignment(m_level == 3 ? Qt::Alignment() : Qt::Alignment(Qt::AlignVCenter));
    for (int i = 0; i < n; ++i) {
        auto *tile = new Tile(m_tileHost, entries.at(i).caption, entries.at(i).detail);
        if (m_level == 3)
            tile->setMinimumHeight(tileHeight);
        else
            tile->setFixedHeight(std::min(tileHeight, 260));
        if (const Showable::Case *c = entries.at(i).c) {
            // The pictures come from the workers one by one; the case counts as shown once its
            // tile has been on the screen.
            tile->expectPictures();
            requestThumbnail(tile, false, c->before.value(0), c->id, thumb, generation);
            requestThumbnail(tile, true, c->after.value(0), c->id, thumb, generation);
            const qint64 id = c->id;
            tile->onShown = [this, id] {
                if (!m_blanked)
                    noteCaseShown(id, QStringLiteral("缩略图"));
            };
        }
        // Opening rebuilds the tiles, this one included: not from inside its own mouse event.
        tile->onClick = [this, i] {
            QMetaObject::invokeMethod(
                this,
                [this, i] {
                    m_selected = i;
                    openSelected();
                },
                Qt::QueuedConnection);
        };
        m_grid->addWidget(tile, i / m_columns, i % m_columns);
        tile->show(); // at once: the layout would show it only on the next turn of the event loop
        m_tiles.append(tile);
    }
    m_selected = std::clamp(m_selected, 0, std::max(0, n - 1));
    moveSelection(0);
}

void ConsultWindow::moveSelection(int delta)
{
    if (m_tiles.isEmpty())
        return;
    m_selected = std::clamp(m_selected + delta, 0, int(m_tiles.size()) - 1);
    for (int i = 0; i < m_tiles.size(); ++i)
        static_cast<Tile *>(m_tiles.at(i))->setSelected(i == m_selected);
    m_scroll->ensureWidgetVisible(m_tiles.at(m_selected), 0, 0);
}

void ConsultWindow::openSelected()
{
    if (m_tiles.isEmpty())
        return;
    switch (m_level) {
    case 1:
        m_major = m_selected;
        showLevel(2, 0);
        break;
    case 2:
        m_minor = m_selected;
        showLevel(3, 0);
        break;
    case 3:
        m_case = m_selected;
        m_pair = 0;
        showLevel(4, 0);
        break;
    default: break;
    }
}

void ConsultWindow::back()
{
    switch (m_level) {
    case 4: showLevel(3, m_case); break;
    case 3: showLevel(2, m_minor); break;
    case 2: showLevel(1, m_major); break;
    default: leave();
    }
}

void ConsultWindow::setBlanked(bool blanked)
{
    m_blanked = blanked;
    if (blanked)
        m_stack->setCurrentWidget(m_blank);
    else
        m_stack->setCurrentWidget(m_level == 4 ? m_comparePage : m_stack->widget(0));
}

QString ConsultWindow::picturePath(const QString &column, qint64 caseId)
{
    if (column.isEmpty())
        return {};
    const QString path = PictureStore::resolveColumn(m_mod.programFolder(), column);
    if (path.isEmpty())
        keepProblem(QStringLiteral("病例 %1：照片 %2 找不到").arg(caseId).arg(column));
    return path;
}

void ConsultWindow::requestThumbnail(QWidget *tile, bool after, const QString &column, qint64 caseId, QSize size,
                                     quint64 generation)
{
    auto *t = static_cast<Tile *>(tile);
    const QString path = picturePath(column, caseId);
    if (path.isEmpty()) {
        t->setPicture(after, QImage(), true);
        return;
    }
    PreviewService::shared().request(m_thumbs, generation, path, QSize(), size, size, t,
                                     [this, t, after, caseId](const PreviewResult &r) {
                                         if (!r.ok())
                                             keepProblem(QStringLiteral("病例 %1：%2").arg(caseId).arg(r.error));
                                         t->setPicture(after, r.image, !r.ok());
                                     });
}

QString ConsultWindow::caseCaption(const Showable::Case &c, const QString &afterPath)
{
    QStringList parts{majorName(c.major), minorName(c.minor)};
    if (!afterPath.isEmpty()) {
        const QString since = ExifDate::afterSurgeryText(c.surgeryDate,
                                                         ExifDate::dateTaken(afterPath).value_or(QDate()));
        if (!since.isEmpty())
            parts << since;
    }
    if (m_surgeonShown && !c.surgeon.isEmpty())
        parts << QStringLiteral("医生：%1").arg(c.surgeon);
    return parts.join(QStringLiteral(" · "));
}

void ConsultWindow::showCase()
{
    const QVector<Showable::Case> &cases = chosenCases();
    if (cases.isEmpty())
        return;
    m_case = std::clamp(m_case, 0, int(cases.size()) - 1);
    const Showable::Case &c = cases.at(m_case);
    const int pairs = pairCount(c);
    m_pair = std::clamp(m_pair, 0, pairs - 1);
    // The n-th pair; a case with fewer pictures on one side repeats its last one.
    const QString beforeColumn = c.before.isEmpty() ? QString()
                                                    : c.before.at(std::min<qsizetype>(m_pair, c.before.size() - 1));
    const QString afterColumn = c.after.isEmpty() ? QString()
                                                  : c.after.at(std::min<qsizetype>(m_pair, c.after.size() - 1));
    const QString before = picturePath(beforeColumn, c.id);
    const QString after = picturePath(afterColumn, c.id);
    m_view->setPictures(before, after);
    {
        const QString since = after.isEmpty()
                                  ? QString()
                                  : ExifDate::afterSurgeryText(c.surgeryDate,
                                                               ExifDate::dateTaken(after).value_or(QDate()));
        m_view->setLabels(before.isEmpty() ? QString() : QStringLiteral("术前"),
                          after.isEmpty() ? QString() : (since.isEmpty() ? QStringLiteral("术后") : since));
    }
    // A picture the view could not even measure has failed already; one that fails while it is
    // decoded is reported through pictureFailed.
    m_failed[0] = before.isEmpty() || !m_view->hasPicture(CompareView::Side::Before);
    m_failed[1] = after.isEmpty() || !m_view->hasPicture(CompareView::Side::After);
    m_view->clearAlignment();
    if (!beforeColumn.isEmpty() && !afterColumn.isEmpty()) {
        try {
            if (auto stored = Align::loadAlignment(QSqlDatabase::database(m_mod.ADOConn, false), beforeColumn,
                                                   afterColumn))
                m_view->setAlignment(stored->transform);
        } catch (const AppError &e) {
            keepProblem(QStringLiteral("病例 %1：%2").arg(c.id).arg(e.text()));
        }
    }
    m_view->fit();
    m_caseCaption->setText(caseCaption(c, after));
    QString position = QStringLiteral("%1 / %2").arg(m_case + 1).arg(cases.size());
    if (pairs > 1)
        position += QStringLiteral("（第 %1 组，共 %2 组）").arg(m_pair + 1).arg(pairs);
    m_casePosition->setText(position);
    placePlaceholders();
    noteCaseShown(c.id, QStringLiteral("对比"));
}

void ConsultWindow::step(int delta)
{
    const QVector<Showable::Case> &cases = chosenCases();
    if (cases.isEmpty())
        return;
    int caseIndex = m_case, pair = m_pair + delta;
    if (pair >= pairCount(cases.at(caseIndex))) {
        if (caseIndex + 1 >= cases.size())
            return;
        ++caseIndex;
        pair = 0;
    } else if (pair < 0) {
        if (caseIndex == 0)
            return;
        --caseIndex;
        pair = pairCount(cases.at(caseIndex)) - 1;
    }
    m_case = caseIndex;
    m_pair = pair;
    showCase();
}

void ConsultWindow::placePlaceholders()
{
    const QSizeF size = m_view->size();
    const CompareView::Mode mode = m_view->state().mode;
    for (int i = 0; i < 2; ++i) {
        QWidget *p = m_placeholders[i];
        const CompareView::Side side = i == 0 ? CompareView::Side::Before : CompareView::Side::After;
        // Over another picture (wipe, overlay) only the before side's failure covers the view.
        const bool show = m_failed[i] && (mode == CompareView::Mode::SideBySide || i == 0 || m_failed[0]);
        if (show) {
            p->setGeometry(CompareState::paneRect(mode, size, side).toAlignedRect());
            p->show();
            p->raise();
        } else {
            p->hide();
        }
    }
}

void ConsultWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The tiles and their pictures are sized for the screen: built again when it changes (the
    // first time when the window goes full screen).
    if (m_started && m_level < 4 && event->size() != event->oldSize())
        scheduleTiles();
    placePlaceholders();
}

// Built once the new size has reached every child: the scroll area's viewport takes its size
// only when its own resize event comes, after this window's.
void ConsultWindow::scheduleTiles()
{
    if (m_tilesScheduled)
        return;
    m_tilesScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_tilesScheduled = false;
        if (!m_ending && m_level < 4)
            buildTiles();
    });
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

void ConsultWindow::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        event->accept();
        return;
    }
    if (key == Qt::Key_B || key == Qt::Key_Period) {
        setBlanked(!m_blanked);
        return;
    }
    if (m_blanked) {
        // Escape brings the picture back rather than leaving a level unseen.
        if (key == Qt::Key_Escape)
            setBlanked(false);
        return;
    }
    const bool next = key == Qt::Key_Right || key == Qt::Key_PageDown;
    const bool previous = key == Qt::Key_Left || key == Qt::Key_PageUp;
    if (key == Qt::Key_Escape) {
        back();
        return;
    }
    if (m_level == 4) {
        const bool arrow = key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down;
        const CompareView::State state = m_view->state();
        if (arrow && !state.fitted) {
            // Zoomed in, the arrows move the pictures: a tenth of the view a press.
            const double dx = m_view->width() / 10.0, dy = m_view->height() / 10.0;
            const QPointF by = key == Qt::Key_Left    ? QPointF(dx, 0)
                               : key == Qt::Key_Right ? QPointF(-dx, 0)
                               : key == Qt::Key_Up    ? QPointF(0, dy)
                                                      : QPointF(0, -dy);
            m_view->panBy(by);
        } else if (next || key == Qt::Key_Down || key == Qt::Key_Space)
            step(1);
        else if (previous || key == Qt::Key_Up)
            step(-1);
        else if (key == Qt::Key_BracketLeft || key == Qt::Key_BracketRight) {
            // The wipe's divider moves, or the overlay's after photo fades in or out.
            const double sign = key == Qt::Key_BracketLeft ? -1 : 1;
            CompareView::State s = state;
            if (s.mode == CompareView::Mode::Wipe)
                s.wipePosition += sign * 0.05;
            else if (s.mode == CompareView::Mode::Overlay)
                s.opacity += sign * 0.1;
            m_view->setState(s);
        } else if (key == Qt::Key_S)
            m_view->setMode(CompareView::Mode::SideBySide);
        else if (key == Qt::Key_W)
            m_view->setMode(CompareView::Mode::Wipe);
        else if (key == Qt::Key_O)
            m_view->setMode(CompareView::Mode::Overlay);
        else if (key == Qt::Key_Plus || key == Qt::Key_Equal)
            m_view->zoomAtCentre(1.25);
        else if (key == Qt::Key_Minus)
            m_view->zoomAtCentre(1 / 1.25);
        else if (key == Qt::Key_F)
            m_view->fit();
        else if (key == Qt::Key_1)
            m_view->actualSize();
        return;
    }
    if (next)
        moveSelection(1);
    else if (previous)
        moveSelection(-1);
    else if (key == Qt::Key_Down)
        moveSelection(m_selected + m_columns < m_tiles.size() ? m_columns : 0);
    else if (key == Qt::Key_Up)
        moveSelection(m_selected - m_columns >= 0 ? -m_columns : 0);
    else if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space || key == Qt::Key_F5)
        openSelected();
}

bool ConsultWindow::askStaffPassword()
{
    bool required = true;
    try {
        required = m_mod.ReadMustLogin();
    } catch (const AppError &e) {
        // Unknown: ask, rather than open the staff window to anyone.
        keepProblem(e.text());
    }
    if (!required)
        return true;
    UnlockDialog dialog(this, m_mod);
    return Prompter::instance().execModal(&dialog) == QDialog::Accepted;
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

void ConsultWindow::closeEvent(QCloseEvent *event)
{
    if (m_ending || !m_started) {
        event->accept();
        return;
    }
    // Closing from outside (Alt+F4, the system) goes the same way as Esc on the first level.
    event->ignore();
    leave();
}
