#pragma once

#include "platform/ScreenContent.h"

#include <QEasingCurve>
#include <QPointer>
#include <QWindow>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QAbstractAnimation;
class QScreen;

namespace desktop {

// How a window stacks against the others.
enum class WindowLevel {
    normal,
    floating,         // above ordinary windows
    sessionFloating,  // above ordinary windows, on every workspace, not in the taskbar or pager
};

// Window level and decoration. Untitled windows have no frame from the window manager.
void setWindowLevel(QWindow& window, WindowLevel level);
WindowLevel windowLevel(const QWindow& window);
void setTitled(QWindow& window, bool titled);

// Frames are the window's outer rectangle in the desktop's coordinates (y down).
platform::Rect windowFrame(const QWindow& window);
void setWindowFrame(QWindow& window, const platform::Rect& frame);
void setWindowAlpha(QWindow& window, double alpha);

// The screen without panels and docks; the primary screen's when the window has none.
std::optional<platform::Rect> visibleFrame(const QScreen* screen);
std::optional<platform::Rect> mainScreenVisibleFrame();
std::optional<platform::Rect> visibleFrameOf(const QWindow& window);

enum class AnimationCurve { linear, easeOut, easeInOut };
QEasingCurve easingCurve(AnimationCurve curve);

// One window's part of a grouped animation: where it ends up and how opaque.
struct WindowAnimation {
    QPointer<QWindow> window;
    std::optional<platform::Rect> frame;
    std::optional<double> alpha;
};

// Runs the frame and alpha changes of several windows together, like one animation context.
// The completion runs on the main thread once everything reached its end, also when a window
// went away on the way. A zero duration applies the end state at once (the completion still
// runs from the event loop).
QAbstractAnimation* animateWindows(std::vector<WindowAnimation> animations,
                                   std::chrono::milliseconds duration, AnimationCurve curve,
                                   std::function<void()> completion = {});

// A fixed size in the bottom-right corner of the window's screen, 10 points in from its visible
// frame's right and bottom edges.
void placeBottomRight(QWindow& window, double width, double height, bool animated,
                      std::chrono::milliseconds duration = std::chrono::milliseconds(250));

// The entrance of the main window's pages and the small session windows: the window at the given
// size slides up from 20 below its screen's visible frame into the bottom-right corner while it
// fades in (0.28 s, ease-out). Nothing happens without a screen. The window is shown.
QAbstractAnimation* slideIn(QWindow& window, double width, double height,
                            std::function<void()> completion = {});
// The slide's first frame, given before the window is first shown: transparent, at the size,
// 20 below its screen's visible frame. Without a compositor transparency hides nothing, so the
// window must not first appear anywhere else. False without a screen.
bool placeForSlideIn(QWindow& window, double width, double height);

// Centred in the main screen's visible frame at the given size.
void centerInMainScreen(QWindow& window, double width, double height);

// Moves the window with the pointer until the button is released (press-and-drag on a
// borderless window's background).
bool startWindowDrag(QWindow& window);

}  // namespace desktop
