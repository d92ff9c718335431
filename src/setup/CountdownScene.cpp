#include "CountdownScene.h"

#include "desktop/Notifications.h"
#include "desktop/WindowControl.h"
#include "platform/AssignIfChanged.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "x11/X11Support.h"

#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QQuickWindow>
#include <QScreen>
#include <QSurfaceFormat>

#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>

namespace setup {

namespace {

const QString kCountdown = QStringLiteral("Countdown");
const QString kMainWindow = QStringLiteral("KVWindowGroup");
const QString kRecordingBarGroup = QStringLiteral("RecordingBarGroup");
const QString kRecordingBarWindow = QStringLiteral("RecordingBarWindow");

// Small hand-overs between windows: the countdown is gone before the bar comes, and the bar's
// window exists before it is told to show itself.
constexpr std::chrono::milliseconds kBarAfterCountdown{50};
constexpr std::chrono::milliseconds kShowAfterBarOpened{100};
constexpr std::chrono::milliseconds kTickInterval{1000};
constexpr double kBackdropAlpha = 0.6;

bool isGuiApplication() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

std::optional<platform::Rect> mainScreenFrame() {
    const QScreen* screen = isGuiApplication() ? QGuiApplication::primaryScreen() : nullptr;
    if (!screen) {
        return std::nullopt;
    }
    const QRect frame = screen->geometry();
    return platform::Rect{double(frame.x()), double(frame.y()), double(frame.width()),
                          double(frame.height())};
}

// Windows of a recording bar that an earlier session left behind.
void closeStrayRecordingBarWindows() {
    if (!isGuiApplication()) {
        return;
    }
    QList<QPointer<QWindow>> stray;
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->title() == kRecordingBarWindow || window->objectName() == kRecordingBarWindow) {
            stray.append(window);
        }
    }
    // Collected first: closing one may take others with it.
    for (const QPointer<QWindow>& window : stray) {
        if (window) {
            window->close();
        }
    }
}

// What lies under the frame, darkened once. Taken before the countdown shows, so the picture is
// of the trader's content and not of the countdown itself.
QImage darkenedSnapshot(const platform::Rect& frame) {
    const QRect area(int(std::lround(frame.x)), int(std::lround(frame.y)),
                     int(std::lround(frame.width)), int(std::lround(frame.height)));
    QScreen* screen = QGuiApplication::screenAt(area.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen || area.isEmpty()) {
        return {};
    }
    // The root window holds every screen; the offsets are the screen's own.
    const QRect screenFrame = screen->geometry();
    QImage image = screen
                       ->grabWindow(0, area.x() - screenFrame.x(), area.y() - screenFrame.y(),
                                    area.width(), area.height())
                       .toImage()
                       .convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(0, 0, 0, int(std::lround(kBackdropAlpha * 255))));
    return image;
}

}  // namespace

std::optional<platform::Rect> countdownFrame(
    const std::optional<recording::SelectedContentInfo>& content,
    const std::optional<platform::Rect>& contentFrame,
    const std::optional<platform::Rect>& mainScreenFrame) {
    if (!content || content->kind == recording::SelectedContentInfo::Kind::unknown) {
        return std::nullopt;
    }
    if (contentFrame) {
        return contentFrame;
    }
    // Closed, minimised or unplugged since it was chosen: the trader still gets the count.
    return mainScreenFrame;
}

CountdownBackdrop countdownBackdropFor(std::optional<bool> compositing) {
    return compositing == false ? CountdownBackdrop::snapshot : CountdownBackdrop::translucent;
}

std::optional<bool> hasCompositingManager() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return std::nullopt;
    }
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        return std::nullopt;
    }
    // The screen $DISPLAY names, as Qt's own connection chose it.
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) == 0) {
        screen = 0;
    }
    std::free(host);
    const std::string selection = "_NET_WM_CM_S" + std::to_string(screen);
    const xcb_atom_t atom = platform::x11::internAtom(connection, selection.c_str());
    if (atom == XCB_ATOM_NONE) {
        return false;
    }
    const auto owner = platform::x11::reply(xcb_get_selection_owner_reply, connection,
                                            xcb_get_selection_owner(connection, atom));
    return owner && owner->owner != XCB_NONE;
}

std::optional<platform::Rect> placeCountdownWindow(QWindow& window,
                                                   const recording::ScreenRecorder& recorder) {
    // The window server's rectangles are y-down like ours: they are used as they come.
    const auto frame =
        countdownFrame(recorder.selectedContentInfo(), recorder.borderFrame(), mainScreenFrame());
    if (frame) {
        desktop::setWindowFrame(window, *frame);
    }
    return frame;
}

void presentRecordingBar(desktop::Router& router, recording::ScreenRecorder& recorder) {
    if (recorder.suppressRecordingBar() || recorder.isRecordingBarPresented()) {
        if (!router.window(kRecordingBarGroup)) {
            router.openWindow(kMainWindow);
        }
        return;
    }
    recorder.setIsRecordingBarPresented(true);
    closeStrayRecordingBarWindows();
    router.dismissWindow(kRecordingBarGroup);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(QString::fromLatin1(desktop::notifications::recordingBarShouldClose));
    router.openWindow(kRecordingBarGroup);
    // No activation first: an X11 client cannot make itself the active application, and the bar
    // must not take the keyboard from the trading platform anyway.
    platform::MainQueue::postAfter(kShowAfterBarOpened, [] {
        platform::NotificationCenter::defaultCenter().post(
            QString::fromLatin1(desktop::notifications::recordingBarShouldShow));
    });
}

CountdownScene::CountdownScene(desktop::Router& router,
                               std::shared_ptr<recording::ScreenRecorder> recorder, QObject* parent)
    : QObject(parent), m_router(router), m_recorder(std::move(recorder)) {
    m_timer.setInterval(kTickInterval);
    connect(&m_timer, &QTimer::timeout, this, &CountdownScene::countdownTick);
}

void CountdownScene::configureWindow(QQuickWindow* window) {
    if (!window) {
        return;
    }
    m_window = window;
    // Past the window manager, like the capture border: no frame, no placement of its own, and
    // over panels and docks too, so the whole display is darkened.
    window->setFlags(window->flags() | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint |
                     Qt::WindowStaysOnTopHint);
    const auto placed = placeCountdownWindow(*window, *m_recorder);
    m_backdrop = countdownBackdropFor(hasCompositingManager());
    if (m_backdrop == CountdownBackdrop::translucent) {
        QSurfaceFormat format = window->format();
        format.setAlphaBufferSize(8);
        window->setFormat(format);
    } else {
        m_snapshot = darkenedSnapshot(placed.value_or(desktop::windowFrame(*window)));
    }
    emit backdropChanged();
}

void CountdownScene::onAppear() {
    if (m_window) {
        m_window->raise();
    }
    m_timer.stop();
    setValue(startValue);
    m_timer.start();
}

void CountdownScene::onDisappear() {
    m_timer.stop();
}

void CountdownScene::countdownTick() {
    if (m_value >= 2) {
        setValue(m_value - 1);
        return;
    }
    m_timer.stop();
    m_router.dismissWindow(kCountdown);
    // This scene goes with its window: the rest holds only what outlives both.
    platform::MainQueue::postAfter(
        kBarAfterCountdown,
        [router = &m_router, recorder = std::weak_ptr<recording::ScreenRecorder>(m_recorder)] {
            if (const auto shared = recorder.lock()) {
                presentRecordingBar(*router, *shared);
            }
        });
}

void CountdownScene::setValue(int value) {
    if (!platform::assignIfChanged(m_value, value)) {
        return;
    }
    emit valueChanged();
}

CountdownBackdropItem::CountdownBackdropItem(QQuickItem* parent) : QQuickPaintedItem(parent) {
    setOpaquePainting(true);
    setFillColor(Qt::black);
}

void CountdownBackdropItem::setImage(const QImage& image) {
    m_image = image;
    update();
    emit imageChanged();
}

void CountdownBackdropItem::paint(QPainter* painter) {
    if (!m_image.isNull()) {
        painter->drawImage(boundingRect(), m_image);
    }
}

}  // namespace setup
