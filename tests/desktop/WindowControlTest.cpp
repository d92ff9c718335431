// Window levels, frames and grouped animations on the real X server and window manager.
#include "desktop/WindowControl.h"
#include "desktop/WindowPlacement.h"

#include "Pump.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPointer>
#include <QRasterWindow>
#include <QScreen>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using desktop::WindowLevel;

namespace {

#define SKIP_WITHOUT_GUI()                                                               \
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {                 \
        GTEST_SKIP() << "no X display: run under the virtual desktop (scripts/test.sh)"; \
    }

class PlainWindow : public QRasterWindow {
  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(QRect(QPoint(), size()), QColor(20, 22, 26));
    }
};

// The window manager's view of a window's states, read over a connection of the test's own.
class StateReader {
  public:
    StateReader() : m_c(xcb_connect(nullptr, nullptr)) {}
    ~StateReader() { xcb_disconnect(m_c); }

    std::vector<std::string> states(const QWindow& window) {
        std::vector<std::string> names;
        auto cookie = xcb_get_property(m_c, 0, static_cast<xcb_window_t>(window.winId()),
                                       atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 0, 64);
        auto* reply = xcb_get_property_reply(m_c, cookie, nullptr);
        if (!reply) {
            return names;
        }
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i) {
            auto* name = xcb_get_atom_name_reply(m_c, xcb_get_atom_name(m_c, atoms[i]), nullptr);
            if (name) {
                names.emplace_back(xcb_get_atom_name_name(name),
                                   xcb_get_atom_name_name_length(name));
                free(name);
            }
        }
        free(reply);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::optional<uint32_t> desktop(const QWindow& window) {
        auto cookie = xcb_get_property(m_c, 0, static_cast<xcb_window_t>(window.winId()),
                                       atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 0, 1);
        auto* reply = xcb_get_property_reply(m_c, cookie, nullptr);
        std::optional<uint32_t> value;
        if (reply && xcb_get_property_value_length(reply) == 4) {
            value = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
        }
        free(reply);
        return value;
    }

    bool has(const QWindow& window, const std::string& state) {
        const auto all = states(window);
        return std::find(all.begin(), all.end(), state) != all.end();
    }

  private:
    xcb_atom_t atom(const char* name) {
        auto* reply =
            xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return value;
    }

    xcb_connection_t* m_c;
};

std::unique_ptr<PlainWindow> makeWindow(QRect geometry) {
    auto window = std::make_unique<PlainWindow>();
    desktop::setTitled(*window, false);
    window->setGeometry(geometry);
    return window;
}

}  // namespace

TEST(WindowControlTest, SessionWindowsFloatOnEveryWorkspaceAndStayOutOfTheTaskbar) {
    SKIP_WITHOUT_GUI();
    StateReader reader;
    // Set before the window is shown, then taken back while it is shown.
    auto early = makeWindow({1500, 60, 120, 40});
    desktop::setWindowLevel(*early, WindowLevel::sessionFloating);
    early->show();
    // Every workspace is _NET_WM_DESKTOP 0xFFFFFFFF; openbox has no sticky state besides it.
    const std::vector<std::string> session{"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_PAGER",
                                           "_NET_WM_STATE_SKIP_TASKBAR"};
    ASSERT_TRUE(pumpUntil([&] { return reader.states(*early) == session; }))
        << "now: " << ::testing::PrintToString(reader.states(*early));
    EXPECT_EQ(reader.desktop(*early), 0xFFFFFFFFu);
    EXPECT_EQ(desktop::windowLevel(*early), WindowLevel::sessionFloating);

    desktop::setWindowLevel(*early, WindowLevel::floating);
    EXPECT_TRUE(pumpUntil([&] {
        return reader.states(*early) == std::vector<std::string>{"_NET_WM_STATE_ABOVE"};
    })) << "now: "
        << ::testing::PrintToString(reader.states(*early));
    EXPECT_TRUE(pumpUntil([&] { return reader.desktop(*early) == 0u; }));

    // Set on a window that is already shown: the window manager is asked.
    auto late = makeWindow({1500, 120, 120, 40});
    late->show();
    ASSERT_TRUE(pumpUntil([&] { return late->isExposed(); }));
    EXPECT_FALSE(reader.has(*late, "_NET_WM_STATE_ABOVE"));
    desktop::setWindowLevel(*late, WindowLevel::sessionFloating);
    EXPECT_TRUE(pumpUntil([&] {
        return reader.states(*late) == session && reader.desktop(*late) == 0xFFFFFFFFu;
    })) << "now: "
        << ::testing::PrintToString(reader.states(*late));
}

TEST(WindowControlTest, AGroupedAnimationEndsWhereAskedAndCompletesOnce) {
    SKIP_WITHOUT_GUI();
    auto moving = makeWindow({1500, 200, 100, 50});
    auto fading = makeWindow({1500, 300, 100, 50});
    auto leaving = makeWindow({1500, 400, 100, 50});
    for (auto* window : {moving.get(), fading.get(), leaving.get()}) {
        window->show();
    }
    ASSERT_TRUE(pumpUntil(
        [&] { return moving->isExposed() && fading->isExposed() && leaving->isExposed(); }));

    int completions = 0;
    const platform::Rect target{1600, 250, 200, 80};
    desktop::animateWindows({{moving.get(), target, 0.5},
                             {fading.get(), std::nullopt, -3.0},
                             {leaving.get(), target, 0.0}},
                            120ms, desktop::AnimationCurve::easeOut, [&] { ++completions; });
    pumpFor(30);
    leaving.reset();  // gone half way: the others still finish
    ASSERT_TRUE(pumpUntil([&] { return completions > 0; }, 2000));
    pumpFor(50);
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(*moving) == target; }, 2000))
        << desktop::windowFrame(*moving).x << "," << desktop::windowFrame(*moving).y;
    EXPECT_DOUBLE_EQ(moving->opacity(), 0.5);
    EXPECT_DOUBLE_EQ(fading->opacity(), 0.0) << "alpha is kept between 0 and 1";
    EXPECT_EQ(desktop::windowFrame(*fading), (platform::Rect{1500, 300, 100, 50}))
        << "its frame was not asked for";

    // Without a duration the end state is there at once; the completion still comes later.
    int immediate = 0;
    desktop::animateWindows({{fading.get(), std::nullopt, 1.0}}, 0ms,
                            desktop::AnimationCurve::easeInOut, [&] { ++immediate; });
    ASSERT_TRUE(pumpUntil([&] { return immediate == 1; }));
    EXPECT_DOUBLE_EQ(fading->opacity(), 1.0);
}

TEST(WindowControlTest, BottomRightPlacementUsesTheWindowsScreen) {
    SKIP_WITHOUT_GUI();
    auto window = makeWindow({100, 100, 50, 50});
    window->show();
    ASSERT_TRUE(pumpUntil([&] { return window->isExposed(); }));
    desktop::placeBottomRight(*window, 300, 120, false);
    const auto visible = desktop::visibleFrame(window->screen());
    ASSERT_TRUE(visible.has_value());
    const platform::Rect expected = desktop::bottomRightFrame(*visible, 300, 120);
    EXPECT_TRUE(pumpUntil([&] { return desktop::windowFrame(*window) == expected; }, 2000));
    EXPECT_EQ(expected.x + expected.width, visible->x + visible->width - 10);
    EXPECT_EQ(expected.y + expected.height, visible->y + visible->height - 10);
}
