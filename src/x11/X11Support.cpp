#include "x11/X11Support.h"

#include <xcb/randr.h>

#include <cstring>
#include <string>

namespace platform::x11 {

std::optional<Display> connect() {
    int screenNumber = 0;
    Connection connection(xcb_connect(nullptr, &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get())) {
        return std::nullopt;
    }
    Display display;
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; screens.rem > 0; ++i, xcb_screen_next(&screens)) {
        if (i == screenNumber) {
            display.screen = screens.data;
            break;
        }
    }
    if (!display.screen) {
        return std::nullopt;
    }
    // The server answers RandR 1.2+ requests only once the client has announced its version.
    const auto* randr = xcb_get_extension_data(connection.get(), &xcb_randr_id);
    if (randr && randr->present) {
        auto version = reply(xcb_randr_query_version_reply, connection.get(),
                             xcb_randr_query_version(connection.get(), 1, 5));
        display.hasRandr = version && (version->major_version > 1 || (version->major_version == 1 &&
                                                                      version->minor_version >= 3));
    }
    display.connection = std::move(connection);
    return display;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    auto answer =
        reply(xcb_intern_atom_reply, connection,
              xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name));
    return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
}

namespace {

std::vector<ShareableDisplay> randrDisplays(xcb_connection_t* c, xcb_window_t root) {
    std::vector<ShareableDisplay> displays;
    auto resources = reply(xcb_randr_get_screen_resources_current_reply, c,
                           xcb_randr_get_screen_resources_current(c, root));
    if (!resources) {
        return displays;
    }
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    // Every request goes out before the first reply is read: one round trip per stage.
    std::vector<xcb_randr_get_output_info_cookie_t> outputCookies;
    outputCookies.reserve(static_cast<std::size_t>(outputCount));
    for (int i = 0; i < outputCount; ++i) {
        outputCookies.push_back(
            xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp));
    }
    struct Pending {
        xcb_randr_output_t output;
        std::string name;
        xcb_randr_get_crtc_info_cookie_t crtc;
    };
    std::vector<Pending> pending;
    for (int i = 0; i < outputCount; ++i) {
        auto info =
            reply(xcb_randr_get_output_info_reply, c, outputCookies[static_cast<std::size_t>(i)]);
        if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED || info->crtc == XCB_NONE) {
            continue;
        }
        const auto* name =
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
        pending.push_back(
            {outputs[i],
             std::string(
                 name, static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get()))),
             xcb_randr_get_crtc_info(c, info->crtc, resources->config_timestamp)});
    }
    for (auto& p : pending) {
        auto crtc = reply(xcb_randr_get_crtc_info_reply, c, p.crtc);
        if (!crtc || crtc->width == 0 || crtc->height == 0) {
            continue;
        }
        displays.push_back(
            {p.output, std::move(p.name),
             Rect{static_cast<double>(crtc->x), static_cast<double>(crtc->y),
                  static_cast<double>(crtc->width), static_cast<double>(crtc->height)}});
    }
    return displays;
}

}  // namespace

std::vector<ShareableDisplay> queryDisplays(const Display& display) {
    xcb_connection_t* c = display.connection.get();
    std::vector<ShareableDisplay> displays;
    if (display.hasRandr) {
        displays = randrDisplays(c, display.screen->root);
    }
    if (displays.empty()) {
        // The root window's size may have changed since the connection's setup was read.
        auto geometry = reply(xcb_get_geometry_reply, c, xcb_get_geometry(c, display.screen->root));
        const double width = geometry ? geometry->width : display.screen->width_in_pixels;
        const double height = geometry ? geometry->height : display.screen->height_in_pixels;
        displays.push_back({kRootDisplayID, "screen", Rect{0, 0, width, height}});
    }
    return displays;
}

std::optional<Rect> queryWindowRect(xcb_connection_t* c, xcb_window_t root, xcb_window_t window) {
    auto attributesCookie = xcb_get_window_attributes(c, window);
    auto geometryCookie = xcb_get_geometry(c, window);
    auto originCookie = xcb_translate_coordinates(c, window, root, 0, 0);
    auto attributes = reply(xcb_get_window_attributes_reply, c, attributesCookie);
    auto geometry = reply(xcb_get_geometry_reply, c, geometryCookie);
    auto origin = reply(xcb_translate_coordinates_reply, c, originCookie);
    if (!attributes || !geometry || !origin || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        return std::nullopt;
    }
    return Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
}

}  // namespace platform::x11
