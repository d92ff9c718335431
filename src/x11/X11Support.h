#pragma once

// Internal helpers shared by the X11 window server and capture stream.

#include "platform/ScreenContent.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

namespace platform::x11 {

// xcb hands out replies and errors allocated with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The reply to a request, null on error. Errors are dropped: a window that vanished between
// two requests is an ordinary answer, not a fault.
template <class Function, class Cookie>
auto reply(Function function, xcb_connection_t* connection, Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    auto* answer = function(connection, cookie, &error);
    std::free(error);
    return Reply<std::remove_pointer_t<decltype(answer)>>(answer);
}

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

struct Display {
    Connection connection;
    xcb_screen_t* screen = nullptr;  // owned by the connection's setup
    bool hasRandr = false;           // version 1.3 or later, announced on this connection
};

// The X server named by $DISPLAY, or nullopt when it cannot be reached.
std::optional<Display> connect();

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name);

// The display id standing for the whole root window when RandR names no usable output.
// XID 0 is None, so it never collides with an output id.
inline constexpr std::uint32_t kRootDisplayID = 0;

// Connected outputs driven by a CRTC, in RandR's order; the whole root window when none.
std::vector<ShareableDisplay> queryDisplays(const Display& display);

// The window's rectangle in root coordinates; nullopt when it is gone or not viewable.
std::optional<Rect> queryWindowRect(xcb_connection_t* connection, xcb_window_t root,
                                    xcb_window_t window);

}  // namespace platform::x11
