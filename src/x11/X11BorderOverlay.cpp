#include "x11/X11BorderOverlay.h"

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

namespace {

struct Span {
    int x0 = 0;  // first pixel
    int x1 = 0;  // one past the last pixel
    bool operator==(const Span&) const = default;
};

// The pixels of row y whose centres lie inside a rounded rectangle.
std::optional<Span> roundedRowSpan(double left, double top, double width, double height,
                                   double radius, int y) {
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    radius = std::clamp(radius, 0.0, std::min(width, height) / 2);
    const double py = y + 0.5;
    if (py < top || py > top + height) {
        return std::nullopt;
    }
    double dy = 0;
    if (py < top + radius) {
        dy = top + radius - py;
    } else if (py > top + height - radius) {
        dy = py - (top + height - radius);
    }
    const double dx = radius - std::sqrt(std::max(0.0, radius * radius - dy * dy));
    const int x0 = static_cast<int>(std::ceil(left + dx - 0.5));
    const int x1 = static_cast<int>(std::floor(left + width - dx - 0.5)) + 1;
    if (x1 <= x0) {
        return std::nullopt;
    }
    return Span{x0, x1};
}

// The stroke of a rounded rectangle inset by half the line width, as YX-banded rectangles:
// rows with the same spans are merged into one band so a tall ring stays a handful of boxes.
std::vector<xcb_rectangle_t> ringRectangles(int width, int height, const BorderStyle& style) {
    const double line = std::max(1.0, style.lineWidth);
    const double radius = std::max(0.0, style.cornerRadius);
    const double outerRadius = radius + line / 2;
    const double innerRadius = std::max(0.0, radius - line / 2);

    std::vector<xcb_rectangle_t> result;
    std::vector<Span> band;
    int bandTop = 0;
    auto closeBand = [&](int bottom) {
        for (const Span& s : band) {
            result.push_back({static_cast<int16_t>(s.x0), static_cast<int16_t>(bandTop),
                              static_cast<uint16_t>(s.x1 - s.x0),
                              static_cast<uint16_t>(bottom - bandTop)});
        }
    };
    for (int y = 0; y < height; ++y) {
        std::vector<Span> row;
        const auto outer = roundedRowSpan(0, 0, width, height, outerRadius, y);
        const auto inner =
            roundedRowSpan(line, line, width - 2 * line, height - 2 * line, innerRadius, y);
        if (outer) {
            if (!inner || inner->x0 >= outer->x1 || inner->x1 <= outer->x0) {
                row.push_back(*outer);
            } else {
                if (inner->x0 > outer->x0) {
                    row.push_back({outer->x0, inner->x0});
                }
                if (outer->x1 > inner->x1) {
                    row.push_back({inner->x1, outer->x1});
                }
            }
        }
        if (y == 0 || row != band) {
            closeBand(y);
            band = std::move(row);
            bandTop = y;
        }
    }
    closeBand(height);
    return result;
}

// A TrueColor pixel for an ARGB colour, whatever the visual's channel masks.
uint32_t pixelFor(const xcb_visualtype_t* visual, uint32_t argb) {
    if (!visual || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR) {
        return argb & 0x00FFFFFF;
    }
    auto channel = [](uint32_t value8, uint32_t mask) -> uint32_t {
        if (mask == 0) {
            return 0;
        }
        int shift = 0;
        while (!((mask >> shift) & 1u)) {
            ++shift;
        }
        const uint32_t max = mask >> shift;
        return ((value8 * max + 127) / 255) << shift;
    };
    return channel((argb >> 16) & 0xFF, visual->red_mask) |
           channel((argb >> 8) & 0xFF, visual->green_mask) |
           channel(argb & 0xFF, visual->blue_mask);
}

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem;
         xcb_depth_next(&depths)) {
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
             xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == id) {
                return visuals.data;
            }
        }
    }
    return nullptr;
}

xcb_screen_t* screenAt(xcb_connection_t* connection, int number) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (; it.rem; --number, xcb_screen_next(&it)) {
        if (number == 0) {
            return it.data;
        }
    }
    return nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name) {
    auto* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()),
        nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

struct PixelFrame {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 1;
    uint16_t height = 1;
};

PixelFrame toPixels(const Rect& frame) {
    auto coordinate = [](double v) {
        return static_cast<int16_t>(std::clamp<long>(std::lround(v), INT16_MIN, INT16_MAX));
    };
    auto extent = [](double v) {
        return static_cast<uint16_t>(std::clamp<long>(std::lround(v), 1, UINT16_MAX));
    };
    return {coordinate(frame.x), coordinate(frame.y), extent(frame.width), extent(frame.height)};
}

// Override-redirect rather than managed: the window manager never reparents, places, focuses or
// hides it on a workspace switch, and openbox restacks its own clients beneath its support
// window, which our raise has put us above, so activating another window leaves the ring on top.
class X11BorderOverlay final : public BorderOverlayWindow {
  public:
    X11BorderOverlay(xcb_connection_t* connection, xcb_screen_t* screen, const Rect& frame,
                     const BorderStyle& style)
        : m_connection(connection), m_style(style), m_frame(frame) {
        m_window = xcb_generate_id(m_connection);
        const PixelFrame px = toPixels(frame);
        const uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
        const uint32_t values[] = {pixelFor(findVisual(screen, screen->root_visual), style.color),
                                   0, 1};
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_window, screen->root, px.x, px.y,
                          px.width, px.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, mask, values);
        setProperties();
        applyShape(px.width, px.height);
        // Pointer events fall through to whatever lies below, ring included.
        xcb_shape_rectangles(m_connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT,
                             XCB_CLIP_ORDERING_UNSORTED, m_window, 0, 0, 0, nullptr);
        flush();
    }

    ~X11BorderOverlay() override {
        xcb_destroy_window(m_connection, m_window);
        xcb_flush(m_connection);
        xcb_disconnect(m_connection);
    }

    X11BorderOverlay(const X11BorderOverlay&) = delete;
    X11BorderOverlay& operator=(const X11BorderOverlay&) = delete;

    Rect frame() const override { return m_frame; }

    void setFrame(const Rect& frame) override {
        const PixelFrame before = toPixels(m_frame);
        const PixelFrame after = toPixels(frame);
        m_frame = frame;
        const uint32_t values[] = {static_cast<uint32_t>(static_cast<int32_t>(after.x)),
                                   static_cast<uint32_t>(static_cast<int32_t>(after.y)),
                                   after.width, after.height};
        // The new ring before the new size: whoever sees the new size sees its ring too, never
        // the old ring stretched over it (the server may serve another client between the two).
        if (after.width != before.width || after.height != before.height) {
            applyShape(after.width, after.height);
        }
        xcb_configure_window(m_connection, m_window,
                             XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                 XCB_CONFIG_WINDOW_HEIGHT,
                             values);
        flush();
    }

    void orderFront() override {
        xcb_map_window(m_connection, m_window);
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(m_connection, m_window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        flush();
    }

    void orderOut() override {
        xcb_unmap_window(m_connection, m_window);
        flush();
    }

  private:
    void setProperties() {
        const uint32_t pid = static_cast<uint32_t>(::getpid());
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window,
                            internAtom(m_connection, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        static constexpr char wmClass[] = "korvane-border\0Korvane";
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window, XCB_ATOM_WM_CLASS,
                            XCB_ATOM_STRING, 8, sizeof(wmClass), wmClass);
        static constexpr std::string_view name = "Korvane border";
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window, XCB_ATOM_WM_NAME,
                            XCB_ATOM_STRING, 8, name.size(), name.data());
        // A compositor reads the type to leave shadows and animations off the ring.
        const xcb_atom_t type = internAtom(m_connection, "_NET_WM_WINDOW_TYPE_NOTIFICATION");
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_window,
                            internAtom(m_connection, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                            &type);
    }

    void applyShape(int width, int height) {
        const auto rectangles = ringRectangles(width, height, m_style);
        xcb_shape_rectangles(m_connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING,
                             XCB_CLIP_ORDERING_YX_BANDED, m_window, 0, 0,
                             static_cast<uint32_t>(rectangles.size()), rectangles.data());
    }

    // Nothing reads this connection's events; drop stray errors so they do not pile up.
    void flush() {
        xcb_flush(m_connection);
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            std::free(event);
        }
    }

    xcb_connection_t* m_connection;
    xcb_window_t m_window = XCB_WINDOW_NONE;
    BorderStyle m_style;
    Rect m_frame;
};

}  // namespace

std::unique_ptr<BorderOverlayWindow> makeX11BorderOverlay(const Rect& frame,
                                                          const BorderStyle& style) {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    // Without SHAPE the window would be a filled rectangle over the content: no overlay at all.
    bool hasInputShapes = false;
    const auto* extension = xcb_get_extension_data(connection, &xcb_shape_id);
    if (extension && extension->present) {
        auto* version =
            xcb_shape_query_version_reply(connection, xcb_shape_query_version(connection), nullptr);
        hasInputShapes = version && (version->major_version > 1 ||
                                     (version->major_version == 1 && version->minor_version >= 1));
        std::free(version);
    }
    xcb_screen_t* screen = screenAt(connection, screenNumber);
    if (!hasInputShapes || !screen) {
        xcb_disconnect(connection);
        return nullptr;
    }
    return std::make_unique<X11BorderOverlay>(connection, screen, frame, style);
}

}  // namespace platform
