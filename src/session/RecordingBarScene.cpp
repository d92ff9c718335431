#include "RecordingBarScene.h"

#include "ServerTime.h"

#include "HttpClient.h"
#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"
#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

#include <QGuiApplication>
#include <QList>
#include <QSurfaceFormat>
#include <QWindow>

#include <chrono>

namespace session {

namespace {

using std::chrono::milliseconds;

const QString kRecordingBarGroup = QStringLiteral("RecordingBarGroup");
const QString kRecordingBarWindow = QStringLiteral("RecordingBarWindow");
const QString kReminderWindow = QStringLiteral("InactivityReminderWindow");
const QString kCollectingInformation = QStringLiteral("CollectingInformationGroup");
const QString kMainWindow = QStringLiteral("KVWindowGroup");

constexpr double kBottomMargin = 50;
constexpr milliseconds kPlacementDelay{50};
constexpr milliseconds kSlideInDuration{280};
constexpr milliseconds kHandOverDelay{50};
constexpr milliseconds kTickInterval{1000};

bool isBarWindow(const QWindow& window) {
    return window.title() == kRecordingBarWindow || window.objectName() == kRecordingBarWindow;
}

QList<QPointer<QWindow>> barWindows(const QWindow* except) {
    QList<QPointer<QWindow>> found;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        return found;
    }
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window != except && isBarWindow(*window)) {
            found.append(window);
        }
    }
    return found;
}

// Collected first, closed after: closing one may take others with it.
void closeAll(const QList<QPointer<QWindow>>& windows) {
    for (const QPointer<QWindow>& window : windows) {
        if (window) {
            window->close();
        }
    }
}

}  // namespace

platform::Rect recordingBarFrame(const platform::Rect& visible) {
    const double width = RecordingBarScene::barWidth;
    const double height = RecordingBarScene::barHeight;
    const double right = visible.x + visible.width;
    const double bottom = visible.y + visible.height;
    double x = visible.x + visible.width / 2 - width / 2;
    if (x < visible.x) {
        x = visible.x;
    }
    if (x + width > right) {
        x = right - width;
    }
    double y = bottom - kBottomMargin - height;
    if (y + height > bottom) {
        y = bottom - height;
    }
    if (y < visible.y) {
        y = visible.y;
    }
    return {x, y, width, height};
}

QString elapsedTimeText(int seconds) {
    return QString::asprintf("%02d:%02d", seconds / 60, seconds % 60);
}

QString microphoneIconName(const recording::ScreenRecorder& recorder) {
    const bool hearsMicrophone =
        recorder.isMicrophoneSourceSelected() &&
        recorder.audioSource() == recording::ScreenRecorder::AudioSource::microphone &&
        recorder.capturesAudio();
    const bool live = hearsMicrophone && recorder.isMicrophoneAuthorized() &&
                      recorder.isMicrophoneAvailable() && !recorder.isMicrophoneMuted();
    return live ? QStringLiteral("microphone.fill") : QStringLiteral("microphone.slash.fill");
}

void closeRecordingBarWindows(desktop::Router& router) {
    // The reminder floats at the bar's level and goes with it.
    if (router.window(kReminderWindow)) {
        router.dismissWindow(kReminderWindow);
    }
    const auto bars = barWindows(nullptr);
    if (bars.isEmpty()) {
        if (QQuickWindow* bar = router.window(kRecordingBarGroup)) {
            bar->close();
        }
        return;
    }
    closeAll(bars);
}

RecordingBarScene::RecordingBarScene(desktop::Router& router,
                                     std::shared_ptr<recording::ScreenRecorder> recorder,
                                     platform::DefaultsStore& defaults,
                                     std::shared_ptr<api::HttpClient> httpClient,
                                     QString recordingApiBaseURL, QObject* parent)
    : QObject(parent),
      m_router(router),
      m_recorder(std::move(recorder)),
      m_defaults(defaults),
      m_httpClient(std::move(httpClient)),
      m_recordingApiBaseURL(std::move(recordingApiBaseURL)) {
    m_timer.setInterval(kTickInterval);
    connect(&m_timer, &QTimer::timeout, this, &RecordingBarScene::elapsedTick);
    m_microphoneIconName = session::microphoneIconName(*m_recorder);
    observe();
}

RecordingBarScene::~RecordingBarScene() {
    // A window deleted without being hidden first still leaves the recorder told.
    onDisappear();
}

void RecordingBarScene::observe() {
    using recording::ScreenRecorder;
    ScreenRecorder* recorder = m_recorder.get();
    connect(recorder, &ScreenRecorder::isRecordingChanged, this,
            &RecordingBarScene::recordingStateChanged);
    connect(recorder, &ScreenRecorder::isShowErrorChanged, this,
            &RecordingBarScene::errorStateChanged);
    connect(recorder, &ScreenRecorder::isPausedChanged, this,
            &RecordingBarScene::pausedStateChanged);
    connect(recorder, &ScreenRecorder::inactivityReminderTokenChanged, this,
            &RecordingBarScene::reminderTokenChanged);
    for (auto signal :
         {&ScreenRecorder::isMicrophoneSourceSelectedChanged, &ScreenRecorder::capturesAudioChanged,
          &ScreenRecorder::isMicrophoneAuthorizedChanged,
          &ScreenRecorder::isMicrophoneAvailableChanged,
          &ScreenRecorder::isMicrophoneMutedChanged}) {
        connect(recorder, signal, this, &RecordingBarScene::updateMicrophoneIcon);
    }

    namespace names = desktop::notifications;
    m_observers.add(
        QString::fromLatin1(names::applicationDidBecomeActive),
        [this](const QVariantMap&) { post(&RecordingBarScene::reapplyBarWindowLevel); });
    m_observers.add(QString::fromLatin1(names::recordingBarShouldShow), [this](const QVariantMap&) {
        if (!m_recorder->suppressRecordingBar()) {
            post(&RecordingBarScene::showRecordingBarWindow);
        }
    });
    m_observers.add(QString::fromLatin1(names::recordingBarShouldClose),
                    [router = &m_router](const QVariantMap&) {
                        platform::MainQueue::post([router] { closeRecordingBarWindows(*router); });
                    });
}

void RecordingBarScene::configureWindow(QQuickWindow* window) {
    if (!window) {
        return;
    }
    window->setTitle(kRecordingBarWindow);
    window->setObjectName(kRecordingBarWindow);
    // The pill's corners show what lies behind where a compositing manager draws them.
    QSurfaceFormat format = window->format();
    format.setAlphaBufferSize(8);
    window->setFormat(format);
    // First shown where its slide begins, transparent and below the visible frame: without a
    // compositor transparency hides nothing, and the bar would flash up wherever it was put.
    if (const auto visible = desktop::mainScreenVisibleFrame()) {
        desktop::setWindowAlpha(*window, 0);
        desktop::setWindowFrame(*window,
                                desktop::slideInStartFrame(*visible, recordingBarFrame(*visible)));
    }
    // Its level (above the others, on every workspace, out of the taskbar) comes with the scene's
    // registration. Joining full-screen spaces, staying visible while the application is inactive
    // and being released on close have no X11 meaning: the scene manager deletes closed windows.
    closeAll(barWindows(window));
}

void RecordingBarScene::onAppear() {
    if (m_didAppear || m_hasEnded) {
        return;
    }
    m_didAppear = true;
    m_recorder->setIsRecordingBarPresented(true);
    platform::MainQueue::post([self = QPointer<RecordingBarScene>(this)] {
        if (self && self->barWindow()) {
            desktop::setWindowAlpha(*self->barWindow(), 0);
        }
    });
    QTimer::singleShot(kPlacementDelay, this, &RecordingBarScene::placeRecordingBarWindow);
    post(&RecordingBarScene::reapplyBarWindowLevel);

    if (m_recorder->isRecording()) {
        // A recording this bar did not start: it is finished and handed to the upload, and no
        // second one begins beside it.
        m_recorder->stopRecording();
        return;
    }
    beginRecordingSession();
}

void RecordingBarScene::beginRecordingSession() {
    // A time left by an earlier session must never go out as this one's start.
    m_defaults.remove(QString::fromLatin1(currentDateTimeKey));
    auto arrived = [self = QPointer<RecordingBarScene>(this)](std::optional<std::string> time) {
        if (self) {
            self->serverTimeArrived(time);
        }
    };
    if (!m_httpClient) {
        post(&RecordingBarScene::startWithoutServerTime);
        return;
    }
    fetchServerTime(*m_httpClient, m_recordingApiBaseURL.toStdString(), arrived);
}

void RecordingBarScene::startWithoutServerTime() {
    serverTimeArrived(std::nullopt);
}

void RecordingBarScene::serverTimeArrived(const std::optional<std::string>& time) {
    if (m_hasEnded) {
        return;  // the bar was closed while the server answered: nobody is left to stop a capture
    }
    if (time) {
        m_defaults.setString(QString::fromLatin1(currentDateTimeKey), *time);
    }
    m_recorder->startNewRecording();
    setElapsedSeconds(0);
}

void RecordingBarScene::onDisappear() {
    if (m_didDisappear) {
        return;
    }
    m_didDisappear = true;
    m_hasEnded = true;
    m_timer.stop();
    m_observers.removeAll();
    disconnect(m_recorder.get(), nullptr, this, nullptr);
    m_recorder->setIsRecordingBarPresented(false);
}

// Stop and Delete act only on a running recording. Before it runs (the server's time may take a
// few seconds) there is nothing to stop or delete, and closing the bar then would leave the
// capture that is about to start with no bar, or the post-session window waiting for an upload
// that never comes.
//
// Once a recording has ended by other means (the start failed, or the bar stopped a recording it
// found running), Stop still closes the bar: the post-session window then shows how the upload,
// or the start, went.
void RecordingBarScene::stopClicked() {
    if (m_hasEnded || (!m_recorder->isRecording() && !m_recordingOver)) {
        return;
    }
    m_recorder->setSuppressRecordingBar(true);
    if (m_recorder->isRecording()) {
        m_recorder->stopRecording();
    }
    m_timer.stop();
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::recordingBarShouldClose));
    closeAndLeave();
    platform::MainQueue::postAfter(
        kHandOverDelay, [router = &m_router] { router->openWindow(kCollectingInformation); });
}

void RecordingBarScene::deleteClicked() {
    if (m_hasEnded || !m_recorder->isRecording()) {
        return;
    }
    m_recorder->deleteRecording();
    m_recorder->clearSelection();
    m_recorder->setSuppressRecordingBar(true);
    m_router.setPage(desktop::PagesEnum::prepareSession);
    platform::NotificationCenter::defaultCenter().post(
        QString::fromLatin1(desktop::notifications::recordingBarShouldClose));
    closeAndLeave();
    m_router.openWindow(kMainWindow);
}

void RecordingBarScene::closeAndLeave() {
    m_hasEnded = true;
    platform::MainQueue::post([router = &m_router] { closeRecordingBarWindows(*router); });
    // This scene goes with its window: whatever follows holds only the router.
    m_router.dismissWindow(kRecordingBarGroup);
}

void RecordingBarScene::repeatClicked() {
    if (m_hasEnded || !m_recorder->isRecording()) {
        return;
    }
    // The new take keeps this session's server time; the timer restarts with the new capture.
    m_isRepeating = true;
    m_recorder->repeatRecording();
}

void RecordingBarScene::microphoneClicked() {
    if (m_recorder->isMicrophoneAuthorized()) {
        m_recorder->setMicrophoneMuted(!m_recorder->isMicrophoneMuted());
        return;
    }
    // No alert from the bar: access refused earlier is answered at once with a no.
    const auto authorization = m_recorder->microphoneAuthorization();
    if (!authorization) {
        return;
    }
    authorization->requestAccess(
        [weak = std::weak_ptr<recording::ScreenRecorder>(m_recorder)](bool granted) {
            if (const auto recorder = weak.lock()) {
                recorder->handleMicrophoneAccessResult(granted);
            }
        });
}

void RecordingBarScene::hoverChanged() {
    setCursorShape(Qt::PointingHandCursor);
}

void RecordingBarScene::dragWindow() {
    if (QQuickWindow* bar = barWindow()) {
        desktop::startWindowDrag(*bar);
    }
}

QQuickWindow* RecordingBarScene::barWindow() const {
    return m_router.window(kRecordingBarGroup);
}

void RecordingBarScene::placeRecordingBarWindow() {
    QQuickWindow* window = barWindow();
    // X11 keeps no saved frames for our windows: there is no autosave name to clear.
    const auto visible = desktop::mainScreenVisibleFrame();
    if (!window || !visible || m_hasEnded) {
        return;
    }
    const platform::Rect target = recordingBarFrame(*visible);
    desktop::setWindowAlpha(*window, 0);
    desktop::setWindowFrame(*window, desktop::slideInStartFrame(*visible, target));
    // Raised, never activated: the keyboard stays with the trading platform.
    window->show();
    window->raise();
    m_slideIn = desktop::animateWindows(
        {{window, target, 1.0}}, kSlideInDuration, desktop::AnimationCurve::easeOut,
        [self = QPointer<RecordingBarScene>(this), bar = QPointer<QQuickWindow>(window)] {
            if (bar) {
                desktop::setWindowAlpha(*bar, 1);
                bar->raise();
            }
            if (self) {
                self->post(&RecordingBarScene::showRecordingBarWindow);
            }
        });
    reapplyBarWindowLevel();
    window->raise();
}

void RecordingBarScene::reapplyBarWindowLevel() {
    if (QQuickWindow* window = barWindow()) {
        desktop::setWindowLevel(*window, desktop::WindowLevel::sessionFloating);
    }
}

void RecordingBarScene::showRecordingBarWindow() {
    QQuickWindow* window = barWindow();
    if (m_recorder->suppressRecordingBar() || !window || m_hasEnded) {
        return;
    }
    // An X11 client cannot make itself the active application, and the bar must not take the
    // keyboard anyway: it is shown and raised only. While it slides in, the slide sets its
    // opacity; jumping to opaque halfway would flicker.
    if (!m_slideIn) {
        desktop::setWindowAlpha(*window, 1);
    }
    window->show();
    window->raise();
    post(&RecordingBarScene::reapplyBarWindowLevel);
}

void RecordingBarScene::startElapsedTimer() {
    m_timer.start();
}

void RecordingBarScene::elapsedTick() {
    setElapsedSeconds(m_elapsedSeconds + 1);
}

void RecordingBarScene::recordingStateChanged() {
    post(&RecordingBarScene::reapplyBarWindowLevel);
    if (m_recorder->isRecording()) {
        m_isRepeating = false;
        setElapsedSeconds(0);
        startElapsedTimer();
    } else {
        m_timer.stop();
        // Between the two takes of a repeat the recording is not over.
        m_recordingOver = m_recordingOver || !m_isRepeating;
    }
}

void RecordingBarScene::errorStateChanged() {
    if (!m_recorder->isShowError() || m_recorder->isRecording()) {
        return;
    }
    // The recording ended with its reason raised (its writer failed, the disk filled), or it
    // never began (no folder or file for it, no capture, no writer): nothing runs any more, and
    // the post-session window says why at once, as after Stop, rather than a bar that counts
    // nothing under the trading platform.
    m_isRepeating = false;
    m_recordingOver = true;
    post(&RecordingBarScene::stopClicked);
}

void RecordingBarScene::pausedStateChanged() {
    if (m_recorder->isPaused()) {
        m_timer.stop();  // the count stays
    } else if (m_recorder->isRecording()) {
        startElapsedTimer();
    }
}

void RecordingBarScene::reminderTokenChanged() {
    // The count goes back to 0 when the microphone stops: that is no silence to remind of.
    if (m_recorder->inactivityReminderToken() <= 0) {
        return;
    }
    // A new reminder window each time, so it comes with a new prompt.
    m_router.dismissWindow(kReminderWindow);
    QTimer::singleShot(kHandOverDelay, this, [this] {
        if (!m_hasEnded) {
            m_router.openWindow(kReminderWindow);
        }
    });
}

void RecordingBarScene::updateMicrophoneIcon() {
    const QString name = session::microphoneIconName(*m_recorder);
    if (!platform::assignIfChanged(m_microphoneIconName, name)) {
        return;
    }
    emit microphoneIconNameChanged();
}

void RecordingBarScene::setElapsedSeconds(int seconds) {
    if (!platform::assignIfChanged(m_elapsedSeconds, seconds)) {
        return;
    }
    emit elapsedSecondsChanged();
}

void RecordingBarScene::setCursorShape(Qt::CursorShape shape) {
    if (!platform::assignIfChanged(m_cursorShape, shape)) {
        return;
    }
    emit cursorShapeChanged();
}

void RecordingBarScene::post(void (RecordingBarScene::*member)()) {
    platform::MainQueue::post([self = QPointer<RecordingBarScene>(this), member] {
        if (self) {
            (self.data()->*member)();
        }
    });
}

}  // namespace session
