#pragma once
// The consultation mode: a whole screen that a prospective customer may watch while the
// consultant walks through the results of earlier customers who agreed to be shown. Four levels:
// tiles of the 手术大类 with showable cases (1), of their 手术小类 (2), of the cases with their
// first before/after pair (3), and the comparison of one case, stepping through the chosen
// cases (4).
//
// Keys (presenter remotes send the first ones): arrows and PageUp/PageDown step, Enter, Return,
// Space or F5 open the chosen tile, B or "." blanks the screen, Esc goes back one level and, on
// the first level, leaves. Leaving asks for a staff account's password when the login is
// required, so a customer left alone cannot reach the staff window. On the comparison, S, W and
// O choose side by side, wipe and overlay; + and - zoom around the middle of the picture, F and
// 1 fit and show at its own size; zoomed in, the arrows move the picture; [ and ] move the
// wipe's divider or change the overlay's opacity. Only cases with both photos are offered.
//
// Nothing personal is ever on screen: no name, customer number, telephone, address, age, amount,
// file name or path; the surgeon only when the machine setting allows it. No message box appears
// while the mode is up: pictures that cannot be read show a neutral placeholder, and every such
// problem is listed to the staff when the mode ends. Each case shown (a tile painted on the
// screen, a comparison opened) is recorded in the audit log with its customer's number, as are
// the start and the end.

#include "consent/Showable.h"
#include "pictures/PreviewService.h"

#include <QImage>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QWidget>

#include <memory>

class CompareView;
class QGridLayout;
class QLabel;
class QScreen;
class QScrollArea;
class QStackedWidget;
class QToolButton;
class TDataMod;

namespace Ui {
class ConsultWindow;
}

class ConsultWindow : public QWidget {
    Q_OBJECT
public:
    // staffWindow: the window the mode was opened from; the mode takes the other screen when
    // there are two, and reports to the staff over it when it ends.
    ConsultWindow(TDataMod &mod, QWidget *staffWindow);
    ~ConsultWindow() override;

    // Reads the showable cases, records the start and shows the mode full screen. False (after
    // telling the staff why) when there is nothing to show or the start cannot be recorded.
    bool start();

    // The screen the mode uses for a staff window on `staffScreen`.
    static QScreen *screenFor(QScreen *staffScreen);

    int level() const { return m_level; }
    int selectedTile() const { return m_selected; }
    int tileCount() const { return int(m_tiles.size()); }
    bool isBlanked() const { return m_blanked; }
    // The case on the comparison (level 4); 0 on the other levels.
    qint64 currentCaseId() const;
    // The problems kept so far, as they will be listed to the staff.
    QStringList problems() const { return m_problems; }
    CompareView *compareView() const { return m_view; }

    // Leaves the mode, asking for a password when the login is required. True when it ended.
    bool leave();

signals:
    void finished();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showLevel(int level, int select);
    void buildTiles();
    void moveSelection(int delta);
    void openSelected();
    void back();
    void setBlanked(bool blanked);
    void showCase();
    void step(int delta);
    void placePlaceholders();
    void noteCaseShown(qint64 caseId, const QString &where);
    void audit(int action, qint64 caseId, const QString &detail);
    void keepProblem(const QString &problem);
    QString picturePath(const QString &column, qint64 caseId);
    // Asks the preview service for one picture of a case's tile; it is drawn when it comes.
    void requestThumbnail(QWidget *tile, bool after, const QString &column, qint64 caseId, QSize size,
                          quint64 generation);
    void scheduleTiles();
    QString caseCaption(const Showable::Case &c, const QString &afterColumn);
    const QVector<Showable::Case> &chosenCases() const;
    int pairCount(const Showable::Case &c) const;
    bool askStaffPassword();
    void finish();

    std::unique_ptr<Ui::ConsultWindow> m_ui;
    TDataMod &m_mod;
    QPointer<QWidget> m_staff;
    QVector<Showable::Major> m_majors;
    bool m_surgeonShown = false;

    int m_level = 1;
    int m_major = 0, m_minor = 0; // the chosen tiles of levels 1 and 2
    int m_case = 0, m_pair = 0;   // level 4: the case of the chosen minor and its pair
    int m_selected = 0;
    int m_columns = 1;
    bool m_blanked = false;
    bool m_ending = false;
    bool m_started = false;

    QStringList m_problems;
    QSet<QString> m_shown; // "case/where" already recorded this time
    QVector<QWidget *> m_tiles;
    PreviewGroup m_thumbs; // the pictures of the tiles shown now
    bool m_tilesScheduled = false;

    QStackedWidget *m_stack = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_path = nullptr;
    QLabel *m_hint = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_tileHost = nullptr;
    QGridLayout *m_grid = nullptr;
    QWidget *m_comparePage = nullptr;
    QLabel *m_caseCaption = nullptr;
    QLabel *m_casePosition = nullptr;
    CompareView *m_view = nullptr;
    QToolButton *m_modeButtons[3] = {};
    QWidget *m_placeholders[2] = {};
    bool m_failed[2] = {false, false};
    QWidget *m_blank = nullptr;
};
