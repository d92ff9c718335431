#include "x11/X11WindowServer.h"
#include "x11/X11Support.h"

#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace platform {

namespace {

// Longest property read, in 32-bit units: titles beyond 4 KiB are cut.
constexpr std::uint32_t kMaxPropertyLength = 1024;

std::string_view propertyBytes(const xcb_get_property_reply_t* property) {
    if (!property || property->format != 8) {
        return {};
    }
    return {static_cast<const char*>(xcb_get_property_value(property)),
            static_cast<std::size_t>(xcb_get_property_value_length(property))};
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return out;
}

// Atoms are interned once; the server never forgets them, so they stay valid for the connection.
struct Atoms {
    xcb_atom_t clientListStacking;
    xcb_atom_t clientList;
    xcb_atom_t netWmName;
    xcb_atom_t utf8String;
    xcb_atom_t netWmPid;
    xcb_atom_t windowType;
    xcb_atom_t typeDock;
    xcb_atom_t typeDesktop;
};

// xcb connections are thread-safe and nothing here changes after construction, so every
// query may run on any thread.
class X11WindowServer final : public WindowServer {
  public:
    explicit X11WindowServer(x11::Display display);

    std::vector<ShareableDisplay> displays() const override {
        return x11::queryDisplays(m_display);
    }
    std::vector<ShareableWindow> windows() const override;
    std::optional<Rect> windowBounds(std::uint32_t windowID) const override;
    std::optional<Rect> displayBounds(std::uint32_t displayID) const override;
    std::vector<Rect> screenFrames() const override;

  private:
    xcb_connection_t* connection() const { return m_display.connection.get(); }
    xcb_window_t root() const { return m_display.screen->root; }
    std::vector<xcb_window_t> clientsBackToFront() const;

    x11::Display m_display;
    Atoms m_atoms{};
    std::uint32_t m_ownPid = static_cast<std::uint32_t>(getpid());
};

X11WindowServer::X11WindowServer(x11::Display display) : m_display(std::move(display)) {
    xcb_connection_t* c = connection();
    m_atoms = {x11::internAtom(c, "_NET_CLIENT_LIST_STACKING"),
               x11::internAtom(c, "_NET_CLIENT_LIST"),
               x11::internAtom(c, "_NET_WM_NAME"),
               x11::internAtom(c, "UTF8_STRING"),
               x11::internAtom(c, "_NET_WM_PID"),
               x11::internAtom(c, "_NET_WM_WINDOW_TYPE"),
               x11::internAtom(c, "_NET_WM_WINDOW_TYPE_DOCK"),
               x11::internAtom(c, "_NET_WM_WINDOW_TYPE_DESKTOP")};
}

std::vector<xcb_window_t> X11WindowServer::clientsBackToFront() const {
    xcb_connection_t* c = connection();
    // A window manager without the stacking list still names its clients, in mapping order.
    for (const xcb_atom_t list : {m_atoms.clientListStacking, m_atoms.clientList}) {
        auto property =
            x11::reply(xcb_get_property_reply, c,
                       xcb_get_property(c, 0, root(), list, XCB_ATOM_WINDOW, 0, UINT32_MAX / 4));
        if (property && property->format == 32 && property->type == XCB_ATOM_WINDOW) {
            const auto* ids =
                static_cast<const xcb_window_t*>(xcb_get_property_value(property.get()));
            return {ids, ids + xcb_get_property_value_length(property.get()) / 4};
        }
    }
    return {};
}

namespace {

// Whether the window's _NET_WM_PID names this process.
bool belongsTo(const xcb_get_property_reply_t* pid, std::uint32_t process) {
    return pid && pid->format == 32 && xcb_get_property_value_length(pid) >= 4 &&
           *static_cast<const std::uint32_t*>(xcb_get_property_value(pid)) == process;
}

// Whether the window's _NET_WM_WINDOW_TYPE names one of the types.
bool hasType(const xcb_get_property_reply_t* type, std::initializer_list<xcb_atom_t> types) {
    if (!type || type->format != 32) {
        return false;
    }
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(type));
    const auto* end = atoms + xcb_get_property_value_length(type) / 4;
    return std::find_first_of(atoms, end, types.begin(), types.end()) != end;
}

// The UTF-8 _NET_WM_NAME, else WM_NAME (Latin-1 when typed STRING).
std::string windowTitle(const xcb_get_property_reply_t* netName,
                        const xcb_get_property_reply_t* name) {
    if (const auto utf8 = propertyBytes(netName); !utf8.empty()) {
        return std::string(utf8);
    }
    if (name && name->format == 8) {
        const auto text = propertyBytes(name);
        return name->type == XCB_ATOM_STRING ? latin1ToUtf8(text) : std::string(text);
    }
    return {};
}

// The class part of WM_CLASS, which holds "instance\0class\0".
std::string className(const xcb_get_property_reply_t* windowClass) {
    const auto classes = propertyBytes(windowClass);
    const auto split = classes.find('\0');
    if (split == std::string_view::npos) {
        return {};
    }
    const auto name = classes.substr(split + 1);
    return std::string(name.substr(0, name.find('\0')));
}

}  // namespace

std::vector<ShareableWindow> X11WindowServer::windows() const {
    xcb_connection_t* c = connection();
    std::vector<xcb_window_t> ids = clientsBackToFront();
    std::reverse(ids.begin(), ids.end());

    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t netName, name, windowClass, pid, type;
    };
    // All requests first, then all replies: one round trip for the whole list.
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    for (const xcb_window_t id : ids) {
        const auto property = [&](xcb_atom_t atom, xcb_atom_t type) {
            return xcb_get_property(c, 0, id, atom, type, 0, kMaxPropertyLength);
        };
        pending.push_back({xcb_get_window_attributes(c, id), xcb_get_geometry(c, id),
                           xcb_translate_coordinates(c, id, root(), 0, 0),
                           property(m_atoms.netWmName, m_atoms.utf8String),
                           property(XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY),
                           property(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
                           property(m_atoms.netWmPid, XCB_ATOM_CARDINAL),
                           property(m_atoms.windowType, XCB_ATOM_ATOM)});
    }

    std::vector<ShareableWindow> result;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        // Every reply is taken, even of a window that is skipped, so none is left queued.
        const Pending& p = pending[i];
        auto attributes = x11::reply(xcb_get_window_attributes_reply, c, p.attributes);
        auto geometry = x11::reply(xcb_get_geometry_reply, c, p.geometry);
        auto origin = x11::reply(xcb_translate_coordinates_reply, c, p.origin);
        auto netName = x11::reply(xcb_get_property_reply, c, p.netName);
        auto name = x11::reply(xcb_get_property_reply, c, p.name);
        auto windowClass = x11::reply(xcb_get_property_reply, c, p.windowClass);
        auto pid = x11::reply(xcb_get_property_reply, c, p.pid);
        auto type = x11::reply(xcb_get_property_reply, c, p.type);
        if (!attributes || !geometry || !origin ||
            attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            continue;
        }
        if (belongsTo(pid.get(), m_ownPid) ||
            hasType(type.get(), {m_atoms.typeDock, m_atoms.typeDesktop})) {
            continue;
        }

        ShareableWindow window;
        window.windowID = ids[i];
        window.title = windowTitle(netName.get(), name.get());
        window.applicationID = className(windowClass.get());
        window.frame =
            Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                 static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
        result.push_back(std::move(window));
    }
    return result;
}

std::optional<Rect> X11WindowServer::windowBounds(std::uint32_t windowID) const {
    return x11::queryWindowRect(connection(), root(), windowID);
}

std::optional<Rect> X11WindowServer::displayBounds(std::uint32_t displayID) const {
    for (const auto& display : displays()) {
        if (display.displayID == displayID) {
            return display.frame;
        }
    }
    return std::nullopt;
}

std::vector<Rect> X11WindowServer::screenFrames() const {
    std::vector<Rect> frames;
    for (const auto& display : displays()) {
        frames.push_back(display.frame);
    }
    return frames;
}

}  // namespace

std::unique_ptr<WindowServer> makeX11WindowServer() {
    auto display = x11::connect();
    if (!display) {
        return nullptr;
    }
    return std::make_unique<X11WindowServer>(std::move(*display));
}

}  // namespace platform
