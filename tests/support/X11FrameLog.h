#pragma once

// Every frame the X server gives the desktop's top-level windows, as a compositor would see them:
// read over a connection of the test's own from the root window's structure events, so nothing a
// window does before it is first shown can slip by.
#include "platform/ScreenContent.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace x11test {

class FrameLog {
  public:
    FrameLog() : m_c(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(m_c)) {
            return;
        }
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        // Checked: the frames recorded afterwards must be complete.
        std::free(xcb_request_check(
            m_c, xcb_change_window_attributes_checked(m_c, m_root, XCB_CW_EVENT_MASK, &mask)));
    }
    ~FrameLog() { xcb_disconnect(m_c); }
    FrameLog(const FrameLog&) = delete;
    FrameLog& operator=(const FrameLog&) = delete;

    // The rectangles a client window was shown at, in order, from its first mapping on: its own
    // while it is a child of the root, else those of the window manager's frame around it, turned
    // into the client's by the frame's border as it is now. Reads what the server sent so far.
    // With created, first the rectangle it was created at, before anything could show it.
    std::vector<platform::Rect> shownFrames(xcb_window_t client, bool created = false) {
        read();
        const auto frame = m_frameOf.find(client);
        const xcb_window_t outer = frame == m_frameOf.end() ? client : frame->second;
        const platform::Rect border = borderOf(client, outer);
        std::vector<platform::Rect> shown;
        if (const auto creation = m_created.find(client); created && creation != m_created.end()) {
            shown.push_back(creation->second);
        }
        for (const Entry& entry : m_history) {
            if (entry.mapped && (entry.window == client || entry.window == outer)) {
                platform::Rect r = entry.rect;
                if (entry.window == outer && outer != client) {
                    r = {r.x + border.x, r.y + border.y, r.width - border.width,
                         r.height - border.height};
                }
                if (shown.empty() || !(shown.back() == r)) {
                    shown.push_back(r);
                }
            }
        }
        return shown;
    }

    // Whether the window was unmapped, or withdrawn (the UnmapNotify a client sends the window
    // manager for that), at any time since the log started.
    bool everUnmapped(xcb_window_t client) {
        read();
        return m_unmapped.contains(client);
    }

  private:
    struct State {
        platform::Rect rect;
        bool mapped = false;
    };
    struct Entry {
        xcb_window_t window;
        platform::Rect rect;
        bool mapped;
    };

    void read() {
        // A round trip first: every event the server sent before it answers is then in hand.
        std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr));
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_c)) {
            handle(event);
            std::free(event);
        }
    }

    void handle(const xcb_generic_event_t* event) {
        switch (event->response_type & 0x7f) {
            case XCB_CREATE_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
                const platform::Rect rect{double(e->x), double(e->y), double(e->width),
                                          double(e->height)};
                m_created.emplace(e->window, rect);
                record(e->window, rect, false);
                break;
            }
            case XCB_CONFIGURE_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
                record(
                    e->window,
                    platform::Rect{double(e->x), double(e->y), double(e->width), double(e->height)},
                    m_state[e->window].mapped);
                break;
            }
            case XCB_MAP_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
                record(e->window, m_state[e->window].rect, true);
                break;
            }
            case XCB_UNMAP_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
                m_unmapped.insert(e->window);
                record(e->window, m_state[e->window].rect, false);
                break;
            }
            case XCB_REPARENT_NOTIFY: {
                const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
                if (e->parent != m_root) {
                    m_frameOf[e->window] = e->parent;
                }
                break;
            }
            default:
                break;
        }
    }

    void record(xcb_window_t window, const platform::Rect& rect, bool mapped) {
        m_state[window] = {rect, mapped};
        m_history.push_back({window, rect, mapped});
    }

    // How far the client sits inside its frame, and how much larger the frame is.
    platform::Rect borderOf(xcb_window_t client, xcb_window_t outer) {
        if (client == outer) {
            return {};
        }
        auto* geometry = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, client), nullptr);
        auto* frame = xcb_get_geometry_reply(m_c, xcb_get_geometry(m_c, outer), nullptr);
        platform::Rect border;
        if (geometry && frame) {
            border = {double(geometry->x), double(geometry->y),
                      double(frame->width) - double(geometry->width),
                      double(frame->height) - double(geometry->height)};
        }
        std::free(geometry);
        std::free(frame);
        return border;
    }

    xcb_connection_t* m_c;
    xcb_window_t m_root = 0;
    std::map<xcb_window_t, State> m_state;
    std::map<xcb_window_t, xcb_window_t> m_frameOf;
    std::map<xcb_window_t, platform::Rect> m_created;
    std::vector<Entry> m_history;
    std::set<xcb_window_t> m_unmapped;
};

}  // namespace x11test
