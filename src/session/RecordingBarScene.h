#pragma once

// Qt first: Qt 6.4's moc cannot parse <compare> (pulled in by the platform headers) otherwise.
#include <QtQml/qqmlregistration.h>
#include <QAbstractAnimation>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QString>
#include <QTimer>

#include "ScreenRecorder.h"
#include "desktop/ObserverTokens.h"
#include "desktop/Router.h"
#include "platform/DefaultsStore.h"
#include "platform/ScreenContent.h"

#include <memory>

namespace api {
class HttpClient;
}

namespace session {

// Where the bar sits on a visible frame (y-down): 355 x 52, centred, its bottom edge 50 above the
// frame's bottom, kept inside the frame (left edge, then right edge; bottom, then top).
platform::Rect recordingBarFrame(const platform::Rect& visibleFrame);

// Minutes and seconds, minutes not wrapped at the hour: 3600 s reads "60:00".
QString elapsedTimeText(int seconds);

// The microphone button's symbol: crossed out unless the recording actually hears the microphone.
QString microphoneIconName(const recording::ScreenRecorder& recorder);

// Closes every recording bar window there is, stale ones of earlier sessions included, and the
// inactivity reminder that floats with them. Needs nothing of the bar itself, so it can run after
// the bar's scene is gone.
void closeRecordingBarWindows(desktop::Router& router);

// RecordingBarScene: the floating bar of a running session. On its first appearance it asks the
// recording API for the server's time and then starts the recording; it shows the elapsed time
// and stops, mutes, deletes or repeats the recording.
class RecordingBarScene : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("made by the application")
    Q_PROPERTY(QString elapsedTimeText READ elapsedTimeText NOTIFY elapsedSecondsChanged)
    Q_PROPERTY(QString microphoneIconName READ microphoneIconName NOTIFY microphoneIconNameChanged)
    Q_PROPERTY(Qt::CursorShape cursorShape READ cursorShape NOTIFY cursorShapeChanged)

  public:
    static constexpr double barWidth = 355;
    static constexpr double barHeight = 52;

    RecordingBarScene(desktop::Router& router, std::shared_ptr<recording::ScreenRecorder> recorder,
                      platform::DefaultsStore& defaults,
                      std::shared_ptr<api::HttpClient> httpClient, QString recordingApiBaseURL,
                      QObject* parent = nullptr);
    ~RecordingBarScene() override;

    int elapsedSeconds() const { return m_elapsedSeconds; }
    QString elapsedTimeText() const { return session::elapsedTimeText(m_elapsedSeconds); }
    QString microphoneIconName() const { return m_microphoneIconName; }
    Qt::CursorShape cursorShape() const { return m_cursorShape; }
    bool isTimerRunning() const { return m_timer.isActive(); }

    // Before the window is first shown: its name, and no other bar window left beside it.
    Q_INVOKABLE void configureWindow(QQuickWindow* window);
    // The first showing: window placement, then the server's time and the recording.
    Q_INVOKABLE void onAppear();
    Q_INVOKABLE void onDisappear();

    Q_INVOKABLE void stopClicked();
    Q_INVOKABLE void microphoneClicked();
    Q_INVOKABLE void deleteClicked();
    Q_INVOKABLE void repeatClicked();
    // Entering and leaving a control alike.
    Q_INVOKABLE void hoverChanged();
    Q_INVOKABLE void dragWindow();

    void placeRecordingBarWindow();
    void reapplyBarWindowLevel();
    void showRecordingBarWindow();
    // One second of recording; the timer calls it.
    void elapsedTick();

  signals:
    void elapsedSecondsChanged();
    void microphoneIconNameChanged();
    void cursorShapeChanged();

  private:
    QQuickWindow* barWindow() const;
    void observe();
    void beginRecordingSession();
    void serverTimeArrived(const std::optional<std::string>& time);
    void startWithoutServerTime();
    void closeAndLeave();
    void startElapsedTimer();
    void recordingStateChanged();
    void pausedStateChanged();
    void errorStateChanged();
    void reminderTokenChanged();
    void updateMicrophoneIcon();
    void setElapsedSeconds(int seconds);
    void setCursorShape(Qt::CursorShape shape);
    // Runs the member on a later main-queue turn if this scene still exists.
    void post(void (RecordingBarScene::*member)());

    desktop::Router& m_router;
    std::shared_ptr<recording::ScreenRecorder> m_recorder;
    platform::DefaultsStore& m_defaults;
    std::shared_ptr<api::HttpClient> m_httpClient;
    QString m_recordingApiBaseURL;
    desktop::ObserverTokens m_observers;
    QTimer m_timer;
    QPointer<QAbstractAnimation> m_slideIn;
    int m_elapsedSeconds = 0;
    QString m_microphoneIconName;
    Qt::CursorShape m_cursorShape = Qt::ArrowCursor;
    bool m_didAppear = false;
    // Stopped, deleted or gone: nothing may start a recording or touch windows for this bar any
    // more.
    bool m_hasEnded = false;
    bool m_didDisappear = false;
    // A recording ran (or failed to start) and is over: Stop may close the bar.
    bool m_recordingOver = false;
    bool m_isRepeating = false;
};

}  // namespace session
