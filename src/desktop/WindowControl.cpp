#include "desktop/WindowControl.h"

#include "desktop/WindowPlacement.h"

#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>

#include <xcb/xcb.h>

#include <vector>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace desktop {

namespace {

constexpr const char* kLevelProperty = "korvaneWindowLevel";

xcb_connection_t* x11Connection() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    auto cookie = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    auto* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return atom;
}

xcb_window_t rootOf(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

std::vector<xcb_atom_t> propertyAtoms(xcb_connection_t* connection, xcb_window_t window,
                                      xcb_atom_t property) {
    std::vector<xcb_atom_t> atoms;
    auto* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, XCB_ATOM_ATOM, 0, 64),
        nullptr);
    if (reply) {
        const auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        atoms.assign(data, data + xcb_get_property_value_length(reply) / 4);
        free(reply);
    }
    return atoms;
}

uint32_t currentDesktop(xcb_connection_t* connection, xcb_window_t root) {
    uint32_t desktop = 0;
    const xcb_atom_t current = internAtom(connection, "_NET_CURRENT_DESKTOP");
    auto* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, current, XCB_ATOM_CARDINAL, 0, 1),
        nullptr);
    if (reply && xcb_get_property_value_length(reply) == 4) {
        desktop = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
    }
    free(reply);
    return desktop;
}

// Sticky on every workspace and left out of taskbars and pagers. Before the window is mapped the
// states go into its _NET_WM_STATE (Qt merges its own into what it finds there); once mapped,
// the window manager has to be asked.
void applySessionStates(QWindow& window, bool on) {
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return;
    }
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t wmState = internAtom(connection, "_NET_WM_STATE");
    const xcb_atom_t wmDesktop = internAtom(connection, "_NET_WM_DESKTOP");
    const xcb_atom_t states[] = {internAtom(connection, "_NET_WM_STATE_STICKY"),
                                 internAtom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                 internAtom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    const uint32_t allDesktops = 0xFFFFFFFF;
    if (!window.isVisible()) {
        if (on) {
            xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, wmState, XCB_ATOM_ATOM, 32, 3,
                                states);
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, wmDesktop, XCB_ATOM_CARDINAL,
                                32, 1, &allDesktops);
        } else {
            std::vector<xcb_atom_t> kept = propertyAtoms(connection, id, wmState);
            std::erase_if(kept, [&](xcb_atom_t atom) {
                return std::ranges::find(states, atom) != std::end(states);
            });
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, wmState, XCB_ATOM_ATOM, 32,
                                static_cast<uint32_t>(kept.size()), kept.data());
            xcb_delete_property(connection, id, wmDesktop);
        }
        xcb_flush(connection);
        return;
    }
    const xcb_window_t root = rootOf(connection);
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    auto send = [&](xcb_atom_t type, uint32_t d0, uint32_t d1, uint32_t d2) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = type;
        event.data.data32[0] = d0;
        event.data.data32[1] = d1;
        event.data.data32[2] = d2;
        event.data.data32[3] = 1;  // from an application
        xcb_send_event(connection, 0, root, mask, reinterpret_cast<const char*>(&event));
    };
    const uint32_t action = on ? 1 : 0;  // _NET_WM_STATE_ADD / _REMOVE
    send(wmState, action, states[0], 0);
    send(wmState, action, states[1], states[2]);
    // Window managers without the sticky state (openbox) go by the desktop alone; back from all
    // desktops, the window stays on the one in front.
    send(wmDesktop, on ? allDesktops : currentDesktop(connection, root), 0, 0);
    xcb_flush(connection);
}

double clampedAlpha(double alpha) {
    return std::isfinite(alpha) ? std::clamp(alpha, 0.0, 1.0) : 1.0;
}

}  // namespace

void setWindowLevel(QWindow& window, WindowLevel level) {
    const WindowLevel previous = windowLevel(window);
    window.setFlag(Qt::WindowStaysOnTopHint, level != WindowLevel::normal);
    window.setProperty(kLevelProperty, static_cast<int>(level));
    if (level == WindowLevel::sessionFloating || previous == WindowLevel::sessionFloating) {
        applySessionStates(window, level == WindowLevel::sessionFloating);
    }
}

WindowLevel windowLevel(const QWindow& window) {
    const QVariant stored = window.property(kLevelProperty);
    if (!stored.isValid()) {
        return window.flags().testFlag(Qt::WindowStaysOnTopHint) ? WindowLevel::floating
                                                                 : WindowLevel::normal;
    }
    return static_cast<WindowLevel>(stored.toInt());
}

void setTitled(QWindow& window, bool titled) {
    window.setFlag(Qt::FramelessWindowHint, !titled);
}

platform::Rect windowFrame(const QWindow& window) {
    const QRect frame = window.frameGeometry();
    return {double(frame.x()), double(frame.y()), double(frame.width()), double(frame.height())};
}

void setWindowFrame(QWindow& window, const platform::Rect& frame) {
    // Qt places the client area; the window manager's frame, when there is one, goes around it.
    const QMargins margins = window.frameMargins();
    const QRect outer(int(std::lround(frame.x)), int(std::lround(frame.y)),
                      int(std::lround(frame.width)), int(std::lround(frame.height)));
    window.setGeometry(outer.marginsRemoved(margins));
}

void setWindowAlpha(QWindow& window, double alpha) {
    window.setOpacity(clampedAlpha(alpha));
}

std::optional<platform::Rect> visibleFrame(const QScreen* screen) {
    if (!screen) {
        return std::nullopt;
    }
    const QRect available = screen->availableGeometry();
    return platform::Rect{double(available.x()), double(available.y()), double(available.width()),
                          double(available.height())};
}

std::optional<platform::Rect> mainScreenVisibleFrame() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        return std::nullopt;
    }
    return visibleFrame(QGuiApplication::primaryScreen());
}

std::optional<platform::Rect> visibleFrameOf(const QWindow& window) {
    if (auto frame = visibleFrame(window.screen())) {
        return frame;
    }
    return mainScreenVisibleFrame();
}

QEasingCurve easingCurve(AnimationCurve curve) {
    switch (curve) {
        case AnimationCurve::linear:
            return QEasingCurve(QEasingCurve::Linear);
        case AnimationCurve::easeOut:
            return QEasingCurve(QEasingCurve::OutQuad);
        case AnimationCurve::easeInOut:
            return QEasingCurve(QEasingCurve::InOutQuad);
    }
    return QEasingCurve(QEasingCurve::Linear);
}

QAbstractAnimation* animateWindows(std::vector<WindowAnimation> animations,
                                   std::chrono::milliseconds duration, AnimationCurve curve,
                                   std::function<void()> completion) {
    // Each window's step from where it is now (t = 0) to where it is asked to be (t = 1).
    std::vector<std::function<void(double)>> steps;
    for (const auto& item : animations) {
        if (!item.window) {
            continue;
        }
        const QPointer<QWindow> window = item.window;
        const platform::Rect fromFrame = windowFrame(*window);
        const double fromAlpha = window->opacity();
        const auto toFrame = item.frame;
        const auto toAlpha = item.alpha.transform(clampedAlpha);
        steps.push_back([=](double t) {
            if (!window) {
                return;
            }
            if (toFrame) {
                auto mix = [t](double a, double b) { return a + (b - a) * t; };
                setWindowFrame(*window, {mix(fromFrame.x, toFrame->x), mix(fromFrame.y, toFrame->y),
                                         mix(fromFrame.width, toFrame->width),
                                         mix(fromFrame.height, toFrame->height)});
            }
            if (toAlpha) {
                window->setOpacity(fromAlpha + (*toAlpha - fromAlpha) * t);
            }
        });
    }
    auto* animation = new QVariantAnimation;
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(int(std::max<std::int64_t>(duration.count(), 0)));
    animation->setEasingCurve(easingCurve(curve));
    QObject::connect(animation, &QVariantAnimation::valueChanged, [steps](const QVariant& value) {
        for (const auto& step : steps) {
            step(value.toDouble());
        }
    });
    // The end state exactly, whatever the last frame of the animation was.
    QObject::connect(animation, &QAbstractAnimation::finished,
                     [steps, completion = std::move(completion)] {
                         for (const auto& step : steps) {
                             step(1.0);
                         }
                         if (completion) {
                             completion();
                         }
                     });
    if (duration.count() <= 0) {
        for (const auto& step : steps) {
            step(1.0);
        }
    }
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    return animation;
}

void placeBottomRight(QWindow& window, double width, double height, bool animated,
                      std::chrono::milliseconds duration) {
    const auto visible = visibleFrameOf(window);
    if (!visible) {
        return;
    }
    const platform::Rect target = bottomRightFrame(*visible, width, height);
    if (!animated || !window.isVisible()) {
        setWindowFrame(window, target);
        return;
    }
    animateWindows({{&window, target, std::nullopt}}, duration, AnimationCurve::easeOut);
}

QAbstractAnimation* slideIn(QWindow& window, double width, double height,
                            std::function<void()> completion) {
    const auto visible = visibleFrameOf(window);
    if (!visible) {
        return nullptr;
    }
    const platform::Rect target = bottomRightFrame(*visible, width, height);
    placeForSlideIn(window, width, height);
    window.show();
    window.raise();
    return animateWindows({{&window, target, 1.0}}, std::chrono::milliseconds(280),
                          AnimationCurve::easeOut, std::move(completion));
}

bool placeForSlideIn(QWindow& window, double width, double height) {
    const auto visible = visibleFrameOf(window);
    if (!visible) {
        return false;
    }
    setWindowAlpha(window, 0);
    setWindowFrame(window, slideInStartFrame(*visible, bottomRightFrame(*visible, width, height)));
    return true;
}

void centerInMainScreen(QWindow& window, double width, double height) {
    const auto visible = mainScreenVisibleFrame();
    if (!visible) {
        window.resize(int(std::lround(width)), int(std::lround(height)));
        return;
    }
    setWindowFrame(window, centeredFrame(*visible, width, height));
}

bool startWindowDrag(QWindow& window) {
    return window.startSystemMove();
}

}  // namespace desktop
