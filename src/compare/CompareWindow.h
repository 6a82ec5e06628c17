#pragma once
// The window "对比": a CompareView with the pictures of a case to choose from, the mode, opacity
// and lock controls, stepping through the case list, full screen, and alignment of the pair
// (two landmarks clicked on each picture, or automatic), kept for the pair in the database.
//
// Keys: S side by side, W wipe (again: the other divider direction), O overlay, [ and ] the
// overlay's opacity, L lock, F fit, 1 one to one, + and - zoom, PageUp/PageDown the previous and
// next case, F11 full screen, M pick landmarks (Esc stops), A align automatically, R forget the
// alignment, T take a photo into the case's first empty slot (after photos first). In the strip, a click or Enter puts a picture on the left, a right-click or
// Shift+Enter on the right.

#include "compare/CompareCases.h"
#include "compare/CompareView.h"
#include "pictures/PreviewService.h"

#include <QDialog>
#include <QSet>

#include <memory>
#include <optional>

class QAction;
class QLabel;
class QListWidget;
class QSlider;
class QToolButton;

namespace Ui {
class CompareWindow;
}

class CompareWindow : public QDialog {
    Q_OBJECT
public:
    CompareWindow(CompareSource *source, QWidget *parent = nullptr);
    ~CompareWindow() override;

    CompareView *view() const { return m_view; }
    const ComparePicture &left() const { return m_left; }
    const ComparePicture &right() const { return m_right; }
    const CompareCase &currentCase() const { return m_case; }
    // Whether a photo was taken into one of the source's cases: its lists then show an old row.
    bool photoTaken() const { return m_photoTaken; }
    // How the right picture is laid over the left one: stored for the pair or just made here;
    // nothing when the pair is not aligned.
    std::optional<Align::Similarity> pairAlignment() const { return m_alignment; }

    // Puts a picture of the strip (0-based, in the strip's order) on one side.
    void choose(int stripIndex, bool rightSide);
    // Steps the source's list, keeping the mode, the view and the compared slots.
    bool stepCase(int delta);

    // Alignment of the shown pair.
    void startPicking();
    void stopPicking();
    // Starts the automatic alignment on a worker and returns; the answer is applied (or its
    // refusal told) when it arrives, if the same pair is still shown.
    void alignAutomatically();
    bool isAligning() const { return m_aligning; }
    void resetAlignment();
    // Opens the capture station for the current case's first empty slot, after photos first,
    // and shows the photo taken on its side.
    void captureIntoEmptySlot();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildControls();
    void loadCase();
    void fillStrip();
    void markStrip();
    void showPair();
    void pictureFailed(CompareView::Side side, const QString &message);
    void pointPicked(CompareView::Side side, QPointF point);
    void applyAlignment(const Align::Similarity &t, bool automatic);
    void updateControls();
    void updateStatus();
    void onAction(QAction *a, const std::function<void()> &run);
    QToolButton *toolButton(QAction *a);

    std::unique_ptr<Ui::CompareWindow> m_ui;
    CompareSource *m_source;
    CompareView *m_view = nullptr;
    QListWidget *m_strip = nullptr;
    QSlider *m_opacity = nullptr;
    QLabel *m_opacityText = nullptr;
    QLabel *m_status = nullptr;
    QAction *m_side = nullptr, *m_wipe = nullptr, *m_overlay = nullptr, *m_lock = nullptr;

    CompareCase m_case;
    QVector<ComparePicture> m_stripPictures;
    ComparePicture m_left, m_right;
    bool m_photoTaken = false;
    ComparePicture m_chosenLeft, m_chosenRight; // put there from the strip; empty: none chosen
    QSet<QString> m_reported;                   // pictures whose error has been shown in this window
    PreviewGroup m_thumbs;

    enum class Aligned { None, Manual, Auto };
    Aligned m_aligned = Aligned::None;
    std::optional<Align::Similarity> m_alignment;
    bool m_picking = false;
    bool m_aligning = false; // an automatic alignment is on its way
    Align::Similarity m_beforePicking;
    QVector<QPointF> m_pickBefore, m_pickAfter;
};
