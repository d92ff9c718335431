#include "desktop/X11ThumbnailGrabber.h"

#include <gtest/gtest.h>

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <thread>

using desktop::X11ThumbnailGrabber;

namespace {

// A plain window placed exactly (override-redirect: no window manager in between).
xcb_window_t coloured(xcb_connection_t* x, const xcb_screen_t* screen, uint32_t rgb, int left) {
    const xcb_window_t window = xcb_generate_id(x);
    const uint32_t values[] = {rgb, 1};
    xcb_create_window(x, XCB_COPY_FROM_PARENT, window, screen->root, left, 400, 400, 300, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    return window;
}

QColor centreOf(const X11ThumbnailGrabber& grabber, xcb_window_t window, int left, QColor want) {
    QImage picture;
    for (int i = 0; i < 100 && (picture.isNull() || picture.pixelColor(120, 90) != want); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        picture = grabber.grab({window, {double(left), 400, 400, 300}}, 240);
    }
    EXPECT_EQ(picture.size(), QSize(240, 180));
    return picture.pixelColor(120, 90);
}

}  // namespace

TEST(X11ThumbnailGrabberTest, GrabsWindowsAndDisplaysSmall) {
    if (!std::getenv("DISPLAY")) {
        GTEST_SKIP() << "no DISPLAY: run under the virtual desktop (scripts/test.sh)";
    }
    auto grabber = X11ThumbnailGrabber::open();
    ASSERT_TRUE(grabber);
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(x));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;

    // Without a compositor: what the screen shows where the window is.
    const xcb_window_t red = coloured(x, screen, 0xFF0000, 100);
    xcb_map_window(x, red);
    xcb_flush(x);
    EXPECT_EQ(centreOf(*grabber, red, 100, Qt::red), QColor(Qt::red));

    // Redirected, as under a compositor: its own contents even while another window covers it.
    const xcb_window_t green = coloured(x, screen, 0x00FF00, 600);
    xcb_composite_redirect_window(x, green, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_map_window(x, green);
    xcb_map_window(x, coloured(x, screen, 0x0000FF, 600));
    xcb_flush(x);
    EXPECT_EQ(centreOf(*grabber, green, 600, Qt::green), QColor(Qt::green));

    const double width = screen->width_in_pixels;
    const double height = screen->height_in_pixels;
    EXPECT_EQ(grabber->grab({std::nullopt, {0, 0, width, height}}, 240).width(), 240);
    // Partly off the screen: only the visible part, and small enough to keep as it is.
    EXPECT_EQ(grabber->grab({std::nullopt, {width - 120, height - 80, 400, 300}}, 240).size(),
              QSize(120, 80));
    xcb_disconnect(x);
}
