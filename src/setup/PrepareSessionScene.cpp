#include "PrepareSessionScene.h"

#include "platform/AssignIfChanged.h"

#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"

#include <QPointer>
#include <QQuickWindow>
#include <QTimer>

#include <chrono>

namespace setup {

namespace {

using namespace std::chrono_literals;
namespace notifications = desktop::notifications;

const QString kMainWindow = QStringLiteral("KVWindowGroup");
const QString kSourcePicker = QStringLiteral("SourcePickerWindow");
const QString kMicrophonePicker = QStringLiteral("MicrophoneWindow");

constexpr double kPageWidth = 405;
constexpr double kPageHeight = 390;
constexpr double kPickerGap = 12;

QString notificationName(const char* notification) {
    return QString::fromLatin1(notification);
}

std::optional<QString> stringValue(const QVariantMap& userInfo, const QString& key) {
    const QVariant value = userInfo.value(key);
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

bool presentAndNotEmpty(const std::optional<QString>& text) {
    return text && !text->isEmpty();
}

}  // namespace

platform::Rect microphonePickerFrame(const platform::Rect& anchor, double width, double height,
                                     const std::optional<platform::Rect>& visibleFrame) {
    double x = anchor.x + anchor.width + kPickerGap;
    double y = anchor.y + anchor.height - height;
    if (visibleFrame) {
        const double right = visibleFrame->x + visibleFrame->width;
        const double bottom = visibleFrame->y + visibleFrame->height;
        if (right < x + width) {
            x = anchor.x - kPickerGap - width;
        }
        if (y + height > bottom) {
            y = bottom - height;
        }
        if (y < visibleFrame->y) {
            y = visibleFrame->y;
        }
    }
    return {x, y, width, height};
}

QUrl webApplicationRootURL(const QString& webBaseURL) {
    QString base = webBaseURL.trimmed();
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    const QUrl url(base + QLatin1Char('/'), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        return {};
    }
    return url;
}

PrepareSessionScene::PrepareSessionScene(desktop::Router& router,
                                         std::shared_ptr<recording::ScreenRecorder> recorder,
                                         platform::DefaultsStore& defaults, QString webBaseURL,
                                         QObject* parent)
    : QObject(parent),
      m_router(router),
      m_recorder(std::move(recorder)),
      m_defaults(defaults),
      m_webBaseURL(std::move(webBaseURL)) {
    connect(m_recorder.get(), &recording::ScreenRecorder::selectedContentInfoChanged, this, [this] {
        emit selectionChanged();
        emit startBorderWidthChanged();
    });
    connect(m_recorder.get(), &recording::ScreenRecorder::selectedMicrophoneNameChanged, this,
            &PrepareSessionScene::microphoneTitleChanged);
}

PrepareSessionScene::~PrepareSessionScene() = default;

// --- derived values ---

bool PrepareSessionScene::hasValidSelection() const {
    const auto& info = m_recorder->selectedContentInfo();
    return info && (info->kind == recording::SelectedContentInfo::Kind::window ||
                    info->kind == recording::SelectedContentInfo::Kind::display);
}

QString PrepareSessionScene::sourceTitle() const {
    const auto& info = m_recorder->selectedContentInfo();
    if (!info) {
        return QStringLiteral("Screen");
    }
    switch (info->kind) {
        case recording::SelectedContentInfo::Kind::display:
            return QStringLiteral("Full screen");
        case recording::SelectedContentInfo::Kind::window:
            return QStringLiteral("Specific window");
        case recording::SelectedContentInfo::Kind::unknown:
            break;
    }
    return QStringLiteral("Selected source");
}

QString PrepareSessionScene::sourceIcon() const {
    const auto& info = m_recorder->selectedContentInfo();
    return info && info->kind == recording::SelectedContentInfo::Kind::window
               ? QStringLiteral("macwindow")
               : QStringLiteral("display");
}

QString PrepareSessionScene::sourceIconColor() const {
    return hasValidSelection() ? QStringLiteral("application_green")
                               : QStringLiteral("application_red");
}

QString PrepareSessionScene::startBorderColor() const {
    return hasValidSelection() ? QStringLiteral("application_green") : QStringLiteral("font_gray");
}

int PrepareSessionScene::startCursor() const {
    return m_isHoveringRecording ? Qt::PointingHandCursor : Qt::ArrowCursor;
}

QString PrepareSessionScene::microphoneTitle() const {
    const auto& name = m_recorder->selectedMicrophoneName();
    return m_isMicrophoneSelected && presentAndNotEmpty(name) ? *name
                                                              : QStringLiteral("Microphone");
}

QString PrepareSessionScene::microphoneIconColor() const {
    return m_isMicrophoneSelected ? QStringLiteral("application_green")
                                  : QStringLiteral("application_red");
}

QString PrepareSessionScene::toggleImage() const {
    return m_isMicrophoneSelected ? QStringLiteral("on_green") : QStringLiteral("off_red");
}

QString PrepareSessionScene::homeIcon() const {
    return m_showHomeActions ? QStringLiteral("x.circle") : QStringLiteral("home_img");
}

int PrepareSessionScene::cardCursor() const {
    return Qt::PointingHandCursor;
}

// --- appearing and disappearing ---

void PrepareSessionScene::onAppear() {
    m_isShown = true;
    platform::MainQueue::post([self = QPointer<PrepareSessionScene>(this)] {
        if (self && self->m_isShown) {
            self->enterWindow();
        }
    });
    QTimer::singleShot(100ms, this, [this] {
        if (m_isShown) {
            m_recorder->requestMicrophoneAccess();
        }
    });
    setIsMicrophoneSelected(presentAndNotEmpty(m_recorder->selectedMicrophoneName()));
    m_observers.remove(m_sourceSelectionObserver);
    // The choice itself reaches the page through the recorder's selectedContentInfo.
    m_sourceSelectionObserver = m_observers.add(
        notificationName(notifications::sourcePickerDidSelect), [](const QVariantMap&) {});
}

void PrepareSessionScene::onDisappear() {
    m_isShown = false;
    setIsMicrophoneWindowOpen(false);
    m_observers.remove(m_sourcePickerObserver);
    m_observers.remove(m_microphoneObserver);
    m_observers.remove(m_sourceSelectionObserver);
    m_observers.removeAll();
}

void PrepareSessionScene::enterWindow() {
    if (QQuickWindow* window = m_router.window(kMainWindow)) {
        desktop::slideIn(*window, kPageWidth, kPageHeight);
        window->requestActivate();
    }
}

// --- the cards ---

void PrepareSessionScene::sourceCardTapped() {
    if (m_isDisplayWindowOpen) {
        return;
    }
    if (m_isMicrophoneWindowOpen) {
        m_router.dismissWindow(kMicrophonePicker);
        setIsMicrophoneWindowOpen(false);
    }
    setIsDisplayWindowOpen(true);
    m_router.openWindow(kSourcePicker);
    // Any window closing, the picker's own close button included, gives the card back.
    m_observers.add(notificationName(notifications::windowWillClose),
                    [this](const QVariantMap&) { setIsDisplayWindowOpen(false); });
    m_observers.remove(m_sourcePickerObserver);
    m_sourcePickerObserver =
        m_observers.add(notificationName(notifications::sourcePickerWindowDidClose),
                        [this](const QVariantMap&) { sourcePickerWindowDidClose(); });
}

void PrepareSessionScene::sourcePickerWindowDidClose() {
    setIsDisplayWindowOpen(false);
    m_observers.remove(m_sourcePickerObserver);
}

void PrepareSessionScene::microphoneCardTapped() {
    if (m_isMicrophoneWindowOpen) {
        return;
    }
    if (m_isDisplayWindowOpen) {
        m_router.dismissWindow(kSourcePicker);
        setIsDisplayWindowOpen(false);
    }
    m_router.openWindow(kMicrophonePicker);
    setIsMicrophoneWindowOpen(true);
    m_observers.add(notificationName(notifications::windowWillClose),
                    [this](const QVariantMap&) { setIsMicrophoneWindowOpen(false); });
    m_observers.remove(m_microphoneObserver);
    m_microphoneObserver = m_observers.add(
        notificationName(notifications::microphoneWindowDidClose),
        [this](const QVariantMap& userInfo) { microphoneWindowDidClose(userInfo); });
    QTimer::singleShot(50ms, this, &PrepareSessionScene::placeMicrophonePicker);
}

void PrepareSessionScene::microphoneWindowDidClose(const QVariantMap& userInfo) {
    const auto selection = stringValue(userInfo, QStringLiteral("selection"));
    const auto name = stringValue(userInfo, QStringLiteral("name"));
    setIsMicrophoneSelected(presentAndNotEmpty(selection));
    setIsMicrophoneWindowOpen(false);
    // A device chosen without a name leaves the recorder's microphone as it was.
    if (presentAndNotEmpty(name)) {
        m_recorder->setSelectedMicrophoneName(*name);
    } else if (!presentAndNotEmpty(selection)) {
        m_recorder->setSelectedMicrophoneName(std::nullopt);
    }
    m_observers.remove(m_microphoneObserver);
}

void PrepareSessionScene::microphoneToggleTapped() {
    if (!m_isMicrophoneSelected) {
        microphoneCardTapped();
        return;
    }
    setIsMicrophoneSelected(false);
    m_recorder->setSelectedMicrophoneName(std::nullopt);
}

void PrepareSessionScene::placeMicrophonePicker() {
    QQuickWindow* anchor = m_router.window(kMainWindow);
    QQuickWindow* picker = m_router.window(kMicrophonePicker);
    if (!anchor || !picker || anchor == picker) {
        return;
    }
    const platform::Rect own = desktop::windowFrame(*picker);
    const platform::Rect frame =
        microphonePickerFrame(desktop::windowFrame(*anchor), own.width, own.height,
                              desktop::visibleFrame(anchor->screen()));
    desktop::animateWindows({{picker, frame, std::nullopt}}, 200ms,
                            desktop::AnimationCurve::easeInOut);
    picker->raise();
    picker->requestActivate();
}

// --- leaving the page ---

void PrepareSessionScene::dismissOpenPickers() {
    // The content picker the source picker opened would otherwise stay up over the countdown.
    m_recorder->dismissContentPicker();
    if (m_isDisplayWindowOpen || m_router.window(kSourcePicker)) {
        m_router.dismissWindow(kSourcePicker);
        setIsDisplayWindowOpen(false);
    }
    if (m_isMicrophoneWindowOpen || m_router.window(kMicrophonePicker)) {
        m_router.dismissWindow(kMicrophonePicker);
        setIsMicrophoneWindowOpen(false);
    }
}

void PrepareSessionScene::startTapped() {
    if (!hasValidSelection()) {
        return;
    }
    dismissOpenPickers();
    m_recorder->setSuppressRecordingBar(false);
    // No microphone needed: the countdown finds its screen from the recorder's content choice.
    m_router.dismissWindow(kMainWindow);
    m_router.openWindow(QStringLiteral("Countdown"));
}

void PrepareSessionScene::signOutTapped() {
    dismissOpenPickers();
    // The recorder and its choices stay: only the session is forgotten.
    m_defaults.remove(QStringLiteral("cookie"));
    m_defaults.remove(QStringLiteral("userID"));
    m_router.setPage(desktop::PagesEnum::logout);
    m_router.dismissWindow(kMainWindow);
    m_router.openWindow(QStringLiteral("LoginWindowGroup"));
}

void PrepareSessionScene::closeAppTapped() {
    dismissOpenPickers();
    m_router.quit();
}

// --- header and window ---

void PrepareSessionScene::logoTapped() {
    const QUrl url = webApplicationRootURL(m_webBaseURL);
    if (url.isValid()) {
        m_router.openURL(url);
    }
}

void PrepareSessionScene::homeTapped() {
    setShowHomeActions(!m_showHomeActions);
}

void PrepareSessionScene::dragStarted() {
    if (QQuickWindow* window = m_router.window(kMainWindow)) {
        desktop::startWindowDrag(*window);
    }
}

// --- hover ---

void PrepareSessionScene::sourceCardHovered(bool hovering) {
    setIsHoveringDisplay(hovering);
}
void PrepareSessionScene::microphoneCardHovered(bool hovering) {
    setIsHoveringMicrophone(hovering);
}
void PrepareSessionScene::signOutHovered(bool hovering) {
    setIsHoveringSignOut(hovering);
}
void PrepareSessionScene::closeAppHovered(bool hovering) {
    setIsHoveringCloseApp(hovering);
}

void PrepareSessionScene::startHovered(bool hovering) {
    setIsHoveringRecording(hovering && hasValidSelection());
}

// --- setters ---

void PrepareSessionScene::setIsHoveringRecording(bool value) {
    if (!platform::assignIfChanged(m_isHoveringRecording, value)) {
        return;
    }
    emit isHoveringRecordingChanged();
    emit startBorderWidthChanged();
}

void PrepareSessionScene::setIsHoveringDisplay(bool value) {
    if (!platform::assignIfChanged(m_isHoveringDisplay, value)) {
        return;
    }
    emit isHoveringDisplayChanged();
    emit sourceCardHighlightedChanged();
}

void PrepareSessionScene::setIsHoveringMicrophone(bool value) {
    if (!platform::assignIfChanged(m_isHoveringMicrophone, value)) {
        return;
    }
    emit isHoveringMicrophoneChanged();
    emit microphoneCardHighlightedChanged();
}

void PrepareSessionScene::setIsDisplayWindowOpen(bool value) {
    if (!platform::assignIfChanged(m_isDisplayWindowOpen, value)) {
        return;
    }
    emit isDisplayWindowOpenChanged();
    emit sourceCardHighlightedChanged();
}

void PrepareSessionScene::setIsMicrophoneSelected(bool value) {
    if (!platform::assignIfChanged(m_isMicrophoneSelected, value)) {
        return;
    }
    emit isMicrophoneSelectedChanged();
    emit microphoneTitleChanged();
}

void PrepareSessionScene::setIsMicrophoneWindowOpen(bool value) {
    if (!platform::assignIfChanged(m_isMicrophoneWindowOpen, value)) {
        return;
    }
    emit isMicrophoneWindowOpenChanged();
    emit microphoneCardHighlightedChanged();
}

void PrepareSessionScene::setShowHomeActions(bool value) {
    if (!platform::assignIfChanged(m_showHomeActions, value)) {
        return;
    }
    emit showHomeActionsChanged();
}

void PrepareSessionScene::setIsHoveringSignOut(bool value) {
    if (!platform::assignIfChanged(m_isHoveringSignOut, value)) {
        return;
    }
    emit isHoveringSignOutChanged();
}

void PrepareSessionScene::setIsHoveringCloseApp(bool value) {
    if (!platform::assignIfChanged(m_isHoveringCloseApp, value)) {
        return;
    }
    emit isHoveringCloseAppChanged();
}

}  // namespace setup
