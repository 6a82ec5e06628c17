#pragma once
// The capture station: the live picture of a source with the case's before photo laid over it as
// a ghost (faint, or as outlines only), pose hints from the faces of both, and the shot stored
// straight into one slot of the case. A staff window: the case's category is shown, none of the
// customer's personal data.
//
// The face of the live picture is sought on a worker thread, one frame at a time (the newest
// waiting frame next), so the live view never waits for it.

#include "align/PoseGuide.h"
#include "consent/CasePictures.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QHash>
#include <QTemporaryDir>
#include <QTimer>
#include <QVector>

#include <memory>

class CaptureSource;
class DemoCamera;
class QSqlDatabase;
namespace Ui {
class CaptureWindow;
}

class CaptureWindow : public QDialog {
    Q_OBJECT
public:
    // The slot the shot fills: after (手术后…) or before, 0 to 2 within its kind.
    CaptureWindow(QWidget *owner, const QString &connection, const QString &programFolder, qint64 caseId, bool after,
                  int slot);
    ~CaptureWindow() override;

    // The slot the window opens on when the caller has none in mind: the case's first empty after
    // slot, else its first empty before slot; false when all six hold a picture.
    static bool firstEmptySlot(const QSqlDatabase &db, qint64 caseId, bool *after, int *slot);
    // Opens the window for the case's slot through the Prompter; returns the stored reference of
    // the shot, empty when none was stored, and in *after and *slot the slot it went into: the one
    // the window opened on, or another chosen in it.
    static QString take(QWidget *owner, const QString &connection, const QString &programFolder, qint64 caseId,
                        bool *after, int *slot);

    Ui::CaptureWindow *ui() const { return m_ui.get(); }
    // The running source (nullptr when none); the demo camera when that is the source.
    CaptureSource *source() const { return m_source.get(); }
    DemoCamera *demoCamera() const;
    // Starts the source chosen in the window; false (the user told why) when it cannot start.
    bool startSource();
    void stopSource();
    // Takes the shot and stores it; true when it is in the case.
    bool shoot();

    // What a face search tells: the pose, the light on the face and where it is.
    struct FaceResult {
        PoseGuide::Pose pose;
        PoseGuide::Light light;
        QRectF box; // the face's box, pixels of the picture searched; empty when none was found
    };

    const PoseGuide::Guidance &guidance() const { return m_guidance; }
    QString hint() const;
    // Whether the before photo's face search has finished.
    bool beforeSearched() const { return m_beforeSearched; }
    QString stored() const { return m_stored; }
    // The slot chosen in the window, which the shot fills.
    bool after() const { return m_after; }
    int slot() const { return m_slot; }
    QImage frame() const { return m_frame; }
    // How long 姿势一致 must hold before the automatic shot, ms.
    static constexpr int HoldMs = 1000;
    // Frames whose face search has finished (tests wait on it).
    int guidedFrames() const { return m_guided; }
    // The window thread's time spent on the last frame (taking it and painting it), ms.
    double lastFrameMs() const { return m_frameMs; }
    // Draws the live picture with the ghost as the window shows it.
    void paintLive(class QPainter &g, const QRect &area) const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void done(int result) override;

private:
    void loadCase();
    // Fills the slot chooser: the six slots, those holding a picture not to be chosen.
    void fillSlots();
    void slotChosen(int index);
    // Loads the before photo that lies under the chosen slot as its ghost, unless it already does.
    void loadGhost();
    void takeFrame(const QImage &image);
    void guideNext();
    void guided();
    void sourceEnded(const QString &why);
    void showHint();
    // Starts or stops the wait for the automatic shot as the guidance changes.
    void updateHold();
    void holdReached();

    std::unique_ptr<Ui::CaptureWindow> m_ui;
    class LiveView;
    LiveView *m_view = nullptr;
    QString m_connection, m_folder;
    qint64 m_caseId;
    bool m_after;
    int m_slot;
    QVector<CasePicture> m_pictures;
    QString m_ghostPath; // the before photo the ghost is made of
    bool m_ghostLoaded = false;
    quint64 m_ghostGen = 0; // counts the ghosts loaded: a search for an earlier one is not used
    QImage m_before, m_outline;
    mutable QImage m_ghostShown; // the ghost at the size last shown
    mutable bool m_ghostIsOutline = false;
    PoseGuide::Pose m_beforePose;
    PoseGuide::Light m_beforeLight;
    QRectF m_beforeBox;
    // The before photo as a live picture of one size shows it, and its face measured there: found
    // by the live search, and on each part of the frame the live face was found on near it.
    struct BeforeFrames {
        QSize size;
        QImage canvas;
        FaceResult canonical;
        QHash<QString, FaceResult> byWay;
    };
    std::shared_ptr<BeforeFrames> m_beforeFrames;
    bool m_beforeSearched = false;
    QString m_beforeWhy;
    QFutureWatcher<FaceResult> m_beforeSearch;
    std::unique_ptr<CaptureSource> m_source;
    QImage m_frame, m_waiting;
    struct LiveSearch {
        FaceResult live;
        FaceResult before; // not found: the before face was not measured again
        quint64 ghostGen = 0;
    };
    QFutureWatcher<LiveSearch> m_liveSearch;
    QRectF m_lastBox; // the live face's box in the last searched frame
    double m_lastRoll = 0.0;
    QSize m_searchedSize;
    PoseGuide::Guidance m_guidance;
    QVector<PoseGuide::Guidance> m_recent; // the last frames' comparisons, newest last
    QString m_liveWhy;
    int m_guided = 0;
    double m_frameMs = 0.0;
    QTemporaryDir m_shots;
    QString m_stored;
    bool m_started = false;
    QTimer m_hold;           // 姿势一致 held long enough for the automatic shot
    bool m_holdUsed = false; // this hold has had its shot (taken or refused)
};
