#include "x11/X11Grabber.h"

#include <algorithm>

namespace platform::x11capture {

std::optional<CaptureError> Grabber::openDisplay() {
    if (bitsPerPixel(xcb_get_setup(m_c), m_display->screen->root_depth) != 32) {
        return makeError(kUnsupportedFormat, "The screen's pixel format is not supported");
    }
    if (!refreshDisplayArea()) {
        return makeError(kContentGone, "The display is gone");
    }
    if (!m_segment.reserve(m_c, static_cast<std::size_t>(m_area.width) * m_area.height * 4)) {
        return makeError(kSetupFailed, "Cannot share memory with the X server");
    }
    openDamage(m_display->screen->root);
    return std::nullopt;
}

bool Grabber::refreshDisplayArea() {
    const xcb_window_t root = m_display->screen->root;
    auto rootGeometry = x11::reply(xcb_get_geometry_reply, m_c, xcb_get_geometry(m_c, root));
    if (!rootGeometry) {
        return false;
    }
    for (const auto& display : x11::queryDisplays(*m_display)) {
        if (display.displayID != m_targetID) {
            continue;
        }
        // A CRTC can reach past the root window while modes change; grab only what exists.
        const int x = std::clamp(static_cast<int>(display.frame.x), 0, int{rootGeometry->width});
        const int y = std::clamp(static_cast<int>(display.frame.y), 0, int{rootGeometry->height});
        const int right = std::min(static_cast<int>(display.frame.x + display.frame.width),
                                   int{rootGeometry->width});
        const int bottom = std::min(static_cast<int>(display.frame.y + display.frame.height),
                                    int{rootGeometry->height});
        if (right <= x || bottom <= y) {
            return false;
        }
        m_area = {x, y, right - x, bottom - y};
        return true;
    }
    return false;
}

GrabResult Grabber::grabDisplay(PixelBuffer& frame) {
    drainEvents();
    const Area area = m_area;
    const Source source{m_display->screen->root,
                        area.x,
                        area.y,
                        area.width,
                        area.height,
                        area.x,
                        area.y,
                        area.x,
                        area.y};
    if (const auto result = grabSource(source, frame, std::nullopt)) {
        return *result;
    }
    // The display was resized or unplugged: follow it, or stop when it is gone.
    if (!refreshDisplayArea()) {
        return GrabResult::gone;
    }
    if (!m_segment.reserve(m_c, static_cast<std::size_t>(m_area.width) * m_area.height * 4)) {
        return GrabResult::gone;
    }
    return GrabResult::skipped;
}

}  // namespace platform::x11capture
