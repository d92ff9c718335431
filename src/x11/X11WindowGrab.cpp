#include "x11/X11Grabber.h"

#include <xcb/composite.h>

#include <cstdlib>

namespace platform::x11capture {

std::optional<CaptureError> Grabber::openWindow() {
    // Selected first, so that no destruction can slip between the checks below and the events.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (auto* error = xcb_request_check(
            m_c, xcb_change_window_attributes_checked(m_c, m_targetID, XCB_CW_EVENT_MASK, &mask))) {
        std::free(error);
        return makeError(kContentGone, "The window is gone");
    }
    auto attributes = x11::reply(xcb_get_window_attributes_reply, m_c,
                                 xcb_get_window_attributes(m_c, m_targetID));
    auto geometry = x11::reply(xcb_get_geometry_reply, m_c, xcb_get_geometry(m_c, m_targetID));
    if (!attributes || !geometry) {
        return makeError(kContentGone, "The window is gone");
    }
    if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        return makeError(kContentGone, "The window is not on screen");
    }
    if (bitsPerPixel(xcb_get_setup(m_c), geometry->depth) != 32) {
        return makeError(kUnsupportedFormat, "The window's pixel format is not supported");
    }
    if (auto* error =
            xcb_request_check(m_c, xcb_composite_redirect_window_checked(
                                       m_c, m_targetID, XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
        std::free(error);
        return makeError(kSetupFailed, "Cannot redirect the window");
    }
    m_redirected = true;
    if (!nameWindowPixmap()) {
        return makeError(kContentGone, "The window is gone");
    }
    openDamage(m_targetID);
    return std::nullopt;
}

// The server allocates a new pixmap whenever the window is mapped or resized.
bool Grabber::nameWindowPixmap() {
    if (m_pixmap != XCB_NONE) {
        xcb_free_pixmap(m_c, m_pixmap);
        m_pixmap = XCB_NONE;
    }
    const xcb_pixmap_t pixmap = xcb_generate_id(m_c);
    if (auto* error = xcb_request_check(
            m_c, xcb_composite_name_window_pixmap_checked(m_c, m_targetID, pixmap))) {
        std::free(error);
        return false;
    }
    m_pixmap = pixmap;
    auto geometry = x11::reply(xcb_get_geometry_reply, m_c, xcb_get_geometry(m_c, m_targetID));
    if (!geometry || geometry->width == 0 || geometry->height == 0 ||
        !m_segment.reserve(m_c, static_cast<std::size_t>(geometry->width) * geometry->height * 4)) {
        return false;
    }
    // The pixmap holds the border too; the picture starts inside it.
    m_border = geometry->border_width;
    m_width = geometry->width;
    m_height = geometry->height;
    m_pixmapStale = false;
    m_wholeChanged = true;
    return true;
}

void Grabber::drainEvents() {
    while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(m_c)}) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (m_damageEvent != 0 && type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
            m_damaged = true;
            continue;
        }
        switch (type) {
            case XCB_CONFIGURE_NOTIFY: {
                const auto* configure =
                    reinterpret_cast<const xcb_configure_notify_event_t*>(event.get());
                if (configure->window == m_targetID &&
                    (configure->width != m_width || configure->height != m_height ||
                     configure->border_width != m_border)) {
                    m_pixmapStale = true;
                }
                break;
            }
            case XCB_MAP_NOTIFY:
                m_mapped = true;
                m_pixmapStale = true;
                break;
            case XCB_UNMAP_NOTIFY:
                m_mapped = false;
                break;
            case XCB_DESTROY_NOTIFY:
                m_destroyed = true;
                break;
            default:
                break;  // errors of requests nobody waits for, and events of no interest
        }
    }
}

GrabResult Grabber::grabWindow(PixelBuffer& frame) {
    drainEvents();
    if (m_destroyed) {
        return GrabResult::gone;
    }
    if (!m_mapped || (m_pixmapStale && !nameWindowPixmap())) {
        return GrabResult::skipped;
    }
    // The pixmap holds the border too; the picture and the damage reports start inside it.
    const Source source{m_pixmap, m_border, m_border, m_width, m_height, 0, 0, 0, 0};
    std::optional<xcb_translate_coordinates_cookie_t> originCookie;
    if (m_config.showsCursor) {
        originCookie = xcb_translate_coordinates(m_c, m_targetID, m_display->screen->root, 0, 0);
    }
    if (const auto result = grabSource(source, frame, originCookie)) {
        return *result;
    }
    m_pixmapStale = true;
    return GrabResult::skipped;
}

}  // namespace platform::x11capture
