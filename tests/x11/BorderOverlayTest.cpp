#include "x11/X11BorderOverlay.h"

#include <gtest/gtest.h>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T>
Reply<T> reply(T* raw) {
    return {raw, &std::free};
}

// True as soon as the predicate holds once: asking again could see a later state (another
// program's window activated since).
template <class F>
bool eventually(F predicate) {
    for (int i = 0; i < 300; ++i) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Looks at the overlay from a second client, as the window manager and other programs see it.
class BorderOverlayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            GTEST_SKIP() << "no DISPLAY: run under the virtual desktop (scripts/test.sh)";
        }
        m_x = xcb_connect(nullptr, nullptr);
        ASSERT_FALSE(xcb_connection_has_error(m_x));
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_x)).data->root;
    }
    void TearDown() override { xcb_disconnect(m_x); }

    std::string property(xcb_window_t window, const char* name) {
        auto atom = reply(xcb_intern_atom_reply(
            m_x, xcb_intern_atom(m_x, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
        auto value = reply(xcb_get_property_reply(
            m_x, xcb_get_property(m_x, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 64),
            nullptr));
        return value ? std::string(static_cast<const char*>(xcb_get_property_value(value.get())),
                                   xcb_get_property_value_length(value.get()))
                     : std::string();
    }

    std::vector<xcb_window_t> stack() {  // bottom to top
        auto tree = reply(xcb_query_tree_reply(m_x, xcb_query_tree(m_x, m_root), nullptr));
        auto* first = xcb_query_tree_children(tree.get());
        return {first, first + xcb_query_tree_children_length(tree.get())};
    }

    // Found the way the window server leaves our own windows out: by _NET_WM_PID.
    xcb_window_t overlay() {
        const auto pid = static_cast<uint32_t>(::getpid());
        const std::string ourPid(reinterpret_cast<const char*>(&pid), 4);
        for (xcb_window_t w : stack()) {
            if (property(w, "WM_CLASS") == std::string("korvane-border\0Korvane\0", 23) &&
                property(w, "_NET_WM_PID") == ourPid) {
                return w;
            }
        }
        return XCB_WINDOW_NONE;
    }

    std::vector<int> geometry(xcb_window_t w) {
        auto g = reply(xcb_get_geometry_reply(m_x, xcb_get_geometry(m_x, w), nullptr));
        return g ? std::vector<int>{g->x, g->y, g->width, g->height} : std::vector<int>{};
    }

    xcb_window_t parent(xcb_window_t w) {
        auto tree = reply(xcb_query_tree_reply(m_x, xcb_query_tree(m_x, w), nullptr));
        return tree ? tree->parent : xcb_window_t{XCB_WINDOW_NONE};
    }

    bool viewable(xcb_window_t w) {
        auto a =
            reply(xcb_get_window_attributes_reply(m_x, xcb_get_window_attributes(m_x, w), nullptr));
        return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    std::vector<xcb_rectangle_t> shape(xcb_window_t w, xcb_shape_kind_t kind) {
        auto r = reply(
            xcb_shape_get_rectangles_reply(m_x, xcb_shape_get_rectangles(m_x, w, kind), nullptr));
        auto* first = xcb_shape_get_rectangles_rectangles(r.get());
        return {first, first + xcb_shape_get_rectangles_rectangles_length(r.get())};
    }

    uint32_t rootPixel(int x, int y) {
        auto image = reply(xcb_get_image_reply(
            m_x, xcb_get_image(m_x, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, x, y, 1, 1, ~0u), nullptr));
        uint32_t pixel = 0;
        std::memcpy(&pixel, xcb_get_image_data(image.get()), 4);
        return pixel & 0x00FFFFFF;
    }

    xcb_connection_t* m_x = nullptr;
    xcb_window_t m_root = XCB_WINDOW_NONE;
};

bool contains(const std::vector<xcb_rectangle_t>& region, int x, int y) {
    return std::ranges::any_of(region, [&](const xcb_rectangle_t& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
    });
}

TEST_F(BorderOverlayTest, IsAClickThroughRoundedRingThatFollowsItsFrame) {
    auto border = platform::makeX11BorderOverlay({40, 60, 400, 300}, {});
    ASSERT_TRUE(border);
    border->orderFront();
    xcb_window_t w = XCB_WINDOW_NONE;
    ASSERT_TRUE(eventually([&] { return (w = overlay()) != XCB_WINDOW_NONE && viewable(w); }));
    EXPECT_EQ(geometry(w), (std::vector{40, 60, 400, 300}));

    auto ring = shape(w, XCB_SHAPE_SK_BOUNDING);
    EXPECT_TRUE(contains(ring, 200, 0) && contains(ring, 200, 1) && !contains(ring, 200, 2))
        << "a 2 px top edge";
    EXPECT_TRUE(contains(ring, 0, 150) && contains(ring, 399, 150) && contains(ring, 200, 299));
    EXPECT_FALSE(contains(ring, 2, 150) || contains(ring, 397, 150));
    EXPECT_FALSE(contains(ring, 200, 150)) << "the centre must show what lies below";
    EXPECT_FALSE(contains(ring, 0, 0) || contains(ring, 399, 299)) << "rounded corners";
    EXPECT_TRUE(contains(ring, 3, 3)) << "the corner still joins the edges";
    EXPECT_TRUE(shape(w, XCB_SHAPE_SK_INPUT).empty()) << "every click goes to the windows below";
    // What the screen shows is settled once the server has run the overlay's map and raise, not
    // at the first reply that calls it viewable.
    EXPECT_TRUE(eventually([&] { return rootPixel(40 + 200, 60) == 0x2FBF71u; }))
        << std::hex << rootPixel(40 + 200, 60);

    border->setFrame({300, 200, 640, 480});
    EXPECT_EQ(border->frame(), (platform::Rect{300, 200, 640, 480}));
    ASSERT_TRUE(eventually([&] { return geometry(w) == std::vector{300, 200, 640, 480}; }));
    ring = shape(w, XCB_SHAPE_SK_BOUNDING);
    EXPECT_TRUE(contains(ring, 320, 479) && contains(ring, 639, 240) && !contains(ring, 320, 240))
        << "the ring is rebuilt for the new size";
    EXPECT_TRUE(shape(w, XCB_SHAPE_SK_INPUT).empty());

    border->orderOut();
    EXPECT_TRUE(eventually([&] { return !viewable(w); }));
    border->orderFront();
    EXPECT_TRUE(eventually([&] { return viewable(w); }));
    border.reset();
    EXPECT_TRUE(eventually([&] { return overlay() == XCB_WINDOW_NONE; }));
}

TEST_F(BorderOverlayTest, StaysAboveAWindowActivatedAfterIt) {
    // A corner of its own, away from the other test's ring: the tests of this program run at the
    // same time on one desktop.
    auto border = platform::makeX11BorderOverlay({1000, 300, 400, 300}, {});
    ASSERT_TRUE(border);
    border->orderFront();
    xcb_window_t w = XCB_WINDOW_NONE;
    ASSERT_TRUE(eventually([&] { return (w = overlay()) != XCB_WINDOW_NONE; }));

    // An ordinary managed window under the ring, kept where asked (USPosition).
    const xcb_window_t client = xcb_generate_id(m_x);
    xcb_create_window(m_x, XCB_COPY_FROM_PARENT, client, m_root, 1020, 320, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    const uint32_t hints[18] = {1, 1020, 320};
    xcb_change_property(m_x, XCB_PROP_MODE_REPLACE, client, XCB_ATOM_WM_NORMAL_HINTS,
                        XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
    xcb_map_window(m_x, client);
    xcb_flush(m_x);
    // Mapped only once the window manager has framed and stacked it; it ignores a request to
    // activate a window it does not manage yet.
    ASSERT_TRUE(eventually([&] { return viewable(client); }))
        << "the window manager did not map the window";

    // Then activated, as a pager would. Another program's window that the manager activates
    // meanwhile takes the active state away again: the request is repeated until ours is seen.
    xcb_client_message_event_t activate{};
    activate.response_type = XCB_CLIENT_MESSAGE;
    activate.format = 32;
    activate.window = client;
    activate.type = reply(xcb_intern_atom_reply(
                              m_x, xcb_intern_atom(m_x, 0, 18, "_NET_ACTIVE_WINDOW"), nullptr))
                        ->atom;
    activate.data.data32[0] = 2;
    const std::string active(reinterpret_cast<const char*>(&client), 4);
    int polls = 0;
    ASSERT_TRUE(eventually([&] {
        if (polls++ % 10 == 0) {
            xcb_send_event(
                m_x, 0, m_root,
                XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                reinterpret_cast<const char*>(&activate));
            xcb_flush(m_x);
        }
        return property(m_root, "_NET_ACTIVE_WINDOW") == active;
    })) << "the window manager did not activate the window";

    // The frame openbox put around the client is the root's child that holds it.
    xcb_window_t frame = client;
    while (parent(frame) != m_root && parent(frame) != XCB_WINDOW_NONE) {
        frame = parent(frame);
    }
    const auto order = stack();
    EXPECT_GT(std::ranges::find(order, w), std::ranges::find(order, frame));

    // Withdrawn, and destroyed only once the window manager has let go of it. The server gives a
    // closed connection's window ids to the next client that connects, and requests the manager
    // still sends for this window (move it back where it was, unmap it) would land on whatever
    // window takes its id next: another test's ring, moved away and hidden.
    xcb_unmap_window(m_x, client);
    xcb_flush(m_x);
    EXPECT_TRUE(eventually([&] {
        return parent(client) == m_root && property(client, "WM_STATE").empty();
    })) << "the window manager did not give the window up";
    xcb_destroy_window(m_x, client);
    xcb_flush(m_x);
}

}  // namespace
