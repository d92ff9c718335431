#pragma once

// Windows of a test's own on the virtual desktop, made over a connection of their own as any
// other application would make them.
#include "platform/ScreenContent.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace x11test {

using platform::Rect;

// Waits (bounded) until the predicate holds.
template <class F>
bool eventuallyTrue(F predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

#define SKIP_WITHOUT_DISPLAY()                                                      \
    if (!std::getenv("DISPLAY")) {                                                  \
        GTEST_SKIP() << "DISPLAY is not set: run under scripts/virtual-desktop.sh"; \
    }

// Windows made over a connection of the test's own, as any other application would.
class TestDesktop {
  public:
    struct Window {
        int width = 400;
        int height = 200;
        const char* netName = nullptr;  // _NET_WM_NAME
        const char* name = nullptr;     // WM_NAME
        const char* className = nullptr;
        std::uint32_t pid = 0;
        const char* type = nullptr;  // a _NET_WM_WINDOW_TYPE_* atom
        std::uint32_t solid = 0;     // a plain 0xRRGGBB background instead of red | blue halves
        bool overrideRedirect = false;
        // Each test keeps to its own corner: the tests of other binaries share the desktop.
        int x = 0;
        int y = 0;
    };

    TestDesktop() : m_c(xcb_connect(nullptr, nullptr)) {
        m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
    }
    ~TestDesktop() { xcb_disconnect(m_c); }

    xcb_window_t root() const { return m_screen->root; }

    xcb_window_t make(const Window& w) {
        // A background pixmap: the server repaints it on every exposure, no event loop needed.
        const xcb_pixmap_t pixmap = xcb_generate_id(m_c);
        xcb_create_pixmap(m_c, m_screen->root_depth, pixmap, root(), w.width, w.height);
        const xcb_gcontext_t gc = xcb_generate_id(m_c);
        const std::uint32_t left = w.solid ? w.solid : 0xFF0000;
        const std::uint32_t right = w.solid ? w.solid : 0x0000FF;
        xcb_create_gc(m_c, gc, pixmap, XCB_GC_FOREGROUND, &left);
        const auto half = static_cast<std::uint16_t>(w.width / 2);
        const xcb_rectangle_t leftHalf{0, 0, half, static_cast<std::uint16_t>(w.height)};
        xcb_poly_fill_rectangle(m_c, pixmap, gc, 1, &leftHalf);
        xcb_change_gc(m_c, gc, XCB_GC_FOREGROUND, &right);
        const xcb_rectangle_t rightHalf{static_cast<std::int16_t>(half), 0,
                                        static_cast<std::uint16_t>(w.width - half),
                                        static_cast<std::uint16_t>(w.height)};
        xcb_poly_fill_rectangle(m_c, pixmap, gc, 1, &rightHalf);

        const xcb_window_t window = xcb_generate_id(m_c);
        const std::uint32_t values[] = {pixmap, w.overrideRedirect ? 1u : 0u};
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, window, root(), static_cast<std::int16_t>(w.x),
                          static_cast<std::int16_t>(w.y), static_cast<std::uint16_t>(w.width),
                          static_cast<std::uint16_t>(w.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          m_screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT,
                          values);
        xcb_free_gc(m_c, gc);
        xcb_free_pixmap(m_c, pixmap);
        if (!w.overrideRedirect) {
            // USPosition: the window manager keeps it where asked.
            std::uint32_t hints[18] = {1, std::uint32_t(w.x), std::uint32_t(w.y)};
            setProperty(window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, hints, 18);
        }
        if (w.netName) {
            setProperty(window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, w.netName,
                        std::strlen(w.netName));
        }
        if (w.name) {
            setProperty(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, w.name, std::strlen(w.name));
        }
        if (w.className) {
            const std::string classes = std::string("instance") + '\0' + w.className + '\0';
            setProperty(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, classes.data(),
                        classes.size());
        }
        if (w.pid) {
            setProperty(window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, &w.pid, 1);
        }
        if (w.type) {
            const xcb_atom_t type = atom(w.type);
            setProperty(window, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, &type, 1);
        }
        xcb_map_window(m_c, window);
        xcb_flush(m_c);
        return window;
    }

    // Root-coordinate rectangle, as this connection sees it; nullopt until it is viewable.
    std::optional<Rect> rootRect(xcb_window_t window) {
        auto* attributes =
            xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, window), nullptr);
        auto* geometry = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, window), nullptr);
        auto* origin = xcb_translate_coordinates_reply(
            m_c, xcb_translate_coordinates(m_c, window, root(), 0, 0), nullptr);
        std::optional<Rect> rect;
        if (attributes && geometry && origin && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
            rect = Rect{double(origin->dst_x), double(origin->dst_y), double(geometry->width),
                        double(geometry->height)};
        }
        std::free(attributes);
        std::free(geometry);
        std::free(origin);
        return rect;
    }

    Rect waitUntilViewable(xcb_window_t window) {
        std::optional<Rect> rect;
        EXPECT_TRUE(eventuallyTrue([&] { return (rect = rootRect(window)).has_value(); }));
        return rect.value_or(Rect{});
    }

    // The window manager's word on the window (WM_STATE): 1 normal, 3 iconic; 0 while it has not
    // taken the window, or once it withdrew it.
    std::uint32_t wmState(xcb_window_t window) {
        const xcb_atom_t state = atom("WM_STATE");
        auto* property = xcb_get_property_reply(
            m_c, xcb_get_property(m_c, 0, window, state, state, 0, 2), nullptr);
        std::uint32_t value = 0;
        if (property && xcb_get_property_value_length(property) >= 4) {
            value = *static_cast<const std::uint32_t*>(xcb_get_property_value(property));
        }
        std::free(property);
        return value;
    }

    bool inClientList(xcb_window_t window) {
        auto* property = xcb_get_property_reply(
            m_c,
            xcb_get_property(m_c, 0, root(), atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 0,
                             4096),
            nullptr);
        bool found = false;
        if (property) {
            const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(property));
            const auto* end = ids + xcb_get_property_value_length(property) / 4;
            found = std::find(ids, end, window) != end;
        }
        std::free(property);
        return found;
    }

    void configure(xcb_window_t window, std::uint16_t mask,
                   std::initializer_list<std::uint32_t> values) {
        xcb_configure_window(m_c, window, mask, std::data(values));
        xcb_flush(m_c);
    }

    void warpPointer(int x, int y) {
        xcb_warp_pointer(m_c, XCB_NONE, root(), 0, 0, 0, 0, static_cast<std::int16_t>(x),
                         static_cast<std::int16_t>(y));
        xcb_flush(m_c);
    }

    // Has the server paint the window's background again: a change of its content, as a
    // redraw by the application would be.
    void repaint(xcb_window_t window) {
        xcb_clear_area(m_c, 0, window, 0, 0, 0, 0);
        xcb_flush(m_c);
    }

    // Paints the whole window in one colour (0xRRGGBB); returns once the server has painted it
    // (a busy server may take a while to get to the request).
    void fill(xcb_window_t window, std::uint32_t colour) {
        xcb_change_window_attributes(m_c, window, XCB_CW_BACK_PIXEL, &colour);
        repaint(window);
        std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr));
    }

    void destroy(xcb_window_t window) {
        xcb_destroy_window(m_c, window);
        xcb_flush(m_c);
    }

  private:
    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            m_c, xcb_intern_atom(m_c, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return result;
    }

    void setProperty(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::uint8_t format,
                     const void* data, std::size_t count) {
        xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, window, property, type, format,
                            static_cast<std::uint32_t>(count), data);
    }

    xcb_connection_t* m_c;
    xcb_screen_t* m_screen;
};

}  // namespace x11test
