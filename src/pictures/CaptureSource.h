#pragma once
// Where the capture station's pictures come from: a camera's live view and its shot, or a folder
// that a camera uploads into. Every source gives frames for the live picture and, on request, a
// shot as a picture file that the picture store then imports unchanged (its EXIF date kept).

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

class CaptureSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~CaptureSource() override = default;

    // The name shown to the user and written to the audit log ("演示相机").
    virtual QString name() const = 0;
    // Starts the live view; false with the reason for the user (what to check) when it cannot.
    virtual bool start(QString *whyNot) = 0;
    virtual void stop() = 0;
    // Takes the shot and returns its picture file, written into folder (a source whose pictures
    // are already files returns that file); empty with whyNot set when none was taken.
    virtual QString shoot(const QString &folder, QString *whyNot) = 0;

signals:
    // A new live picture (or, for a folder, the newly arrived picture).
    void frame(const QImage &image);
    // The live view ended on its own (the camera went away): the reason for the user.
    void ended(const QString &why);
};

// A synthetic camera for the demo installation, tests and benchmarks: it films a given picture
// (the case's before photo) turned, scaled and moved by a known pose that drifts slowly away from
// the picture's own pose and back. Pose (0, 1, 0, 0) gives the picture itself, fitted into the
// frame as the ghost is.
class DemoCamera : public CaptureSource {
    Q_OBJECT
public:
    struct Pose {
        double roll = 0.0;         // degrees, clockwise on screen, about the frame's middle
        double scale = 1.0;        // 1.1: the face 10 % larger
        double dx = 0.0, dy = 0.0; // shift, as a share of the frame's width and height
        double light = 1.0;        // 0.7: the scene 30 % darker
        double warmth = 0.0;       // 0.2: red 20 % stronger and blue 20 % weaker; negative: colder
    };

    DemoCamera(const QImage &subject, QSize frameSize, QObject *parent = nullptr);

    QString name() const override;
    bool start(QString *whyNot) override;
    void stop() override;
    QString shoot(const QString &folder, QString *whyNot) override;

    // The pose the camera plays at a moment (milliseconds since start): a 12 second cycle that
    // holds the subject's own pose for 3 seconds, then drifts out in roll, size and position.
    static Pose poseAt(qint64 ms);
    // Fixes the pose (tests, benchmarks); the cycle resumes after resumeCycle().
    void setPose(const Pose &pose);
    void resumeCycle();
    Pose pose() const;
    // The picture the camera shows at a pose.
    QImage frameAt(const Pose &pose) const;
    // Ends the live view as an unplugged camera would.
    void unplug();
    int framesPerSecond() const { return m_fps; }
    void setFramesPerSecond(int fps);

private:
    void tick();
    QImage m_subject;
    QSize m_size;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_fixed = false;
    bool m_unplugged = false;
    Pose m_pose;
    int m_fps = 25;
};

// A folder a camera uploads into (Wi-Fi, FTP, a card reader). The pictures there when watching
// starts are left alone; each picture that arrives later is offered once, when its size has
// stopped changing (an upload is complete) and it can be read.
class WatchedFolder : public CaptureSource {
    Q_OBJECT
public:
    explicit WatchedFolder(const QString &folder, QObject *parent = nullptr);

    QString name() const override;
    bool start(QString *whyNot) override;
    void stop() override;
    // The last offered picture, unchanged.
    QString shoot(const QString &folder, QString *whyNot) override;
    QString folder() const { return m_folder; }
    // The picture offered last; empty before any.
    QString offered() const { return m_offered; }
    // Looks at the folder now (it is also looked at twice a second).
    void scan();

signals:
    void pictureOffered(const QString &path);

private:
    QString m_folder;
    QString m_offered;
    QTimer m_timer;
    QSet<QString> m_seen;             // present at start or already offered
    QHash<QString, qint64> m_pending; // arrived, size at the last look
};
