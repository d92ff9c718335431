#include "x11/X11CaptureStream.h"
#include "x11/X11Support.h"

#include <pthread.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

namespace {

// Pixels are handled as 32-bit words whose top byte is the fourth byte in memory (B, G, R, A).
static_assert(std::endian::native == std::endian::little);

using Clock = std::chrono::steady_clock;

constexpr const char* kDomain = "X11CaptureStream";

enum ErrorCode {
    kNoDisplay = 1,
    kExtensionMissing,
    kContentGone,
    kUnsupportedFormat,
    kSetupFailed,
    kAlreadyRunning,
    kNotRunning,
    kStoppedBeforeStart,
    kNothingToCapture,
};

CaptureError makeError(ErrorCode code, std::string description) {
    return {kDomain, code, std::move(description)};
}

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

void store32(std::uint8_t* p, std::uint32_t value) {
    std::memcpy(p, &value, 4);
}

constexpr std::uint32_t kOpaque = 0xFF000000u;

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where the source lands in the frame: scaled to fit with its aspect kept and centred, or
// unscaled at the top-left and cropped.
Area placement(int sourceWidth, int sourceHeight, int width, int height, bool scalesToFit) {
    if (!scalesToFit) {
        return {0, 0, std::min(sourceWidth, width), std::min(sourceHeight, height)};
    }
    const double scale = std::min(static_cast<double>(width) / sourceWidth,
                                  static_cast<double>(height) / sourceHeight);
    const int w = std::clamp(static_cast<int>(std::lround(sourceWidth * scale)), 1, width);
    const int h = std::clamp(static_cast<int>(std::lround(sourceHeight * scale)), 1, height);
    return {(width - w) / 2, (height - h) / 2, w, h};
}

// Bilinear BGRX -> BGRA. Two channels per multiply (0x00RR00BB and 0x00XX00GG words), which
// beats libswscale's RGB path here by 2-3x since that one goes through YUV.
class BilinearScaler {
  public:
    void scale(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
               std::uint8_t* target, int targetStride, int targetWidth, int targetHeight);

  private:
    struct Tap {
        int index;             // first of the two source samples
        std::uint32_t weight;  // of the second one, out of 256
    };
    static void makeTaps(std::vector<Tap>& taps, int source, int target);
    static std::uint32_t mix(std::uint32_t a, std::uint32_t b, std::uint32_t weight) {
        const std::uint32_t keep = 256 - weight;
        const std::uint32_t rb =
            (((a & 0xFF00FF) * keep + (b & 0xFF00FF) * weight + 0x800080) >> 8) & 0xFF00FF;
        const std::uint32_t xg =
            (((a >> 8) & 0xFF00FF) * keep + ((b >> 8) & 0xFF00FF) * weight + 0x800080) & 0xFF00FF00;
        return rb | xg;
    }

    std::vector<Tap> m_columns;
    std::vector<Tap> m_rows;
    std::vector<std::uint32_t> m_blended;  // one source row blended vertically, plus one pad
    int m_sourceWidth = 0, m_sourceHeight = 0, m_targetWidth = 0, m_targetHeight = 0;
};

void BilinearScaler::makeTaps(std::vector<Tap>& taps, int source, int target) {
    taps.resize(static_cast<std::size_t>(target));
    const int lastPair = std::max(source - 2, 0);
    for (int i = 0; i < target; ++i) {
        // Pixel centres line up: sample i covers source [i, i+1) * source / target.
        const double position = std::clamp((i + 0.5) * source / target - 0.5, 0.0, source - 1.0);
        const int index = std::min(static_cast<int>(position), lastPair);
        const auto weight = static_cast<std::uint32_t>(
            std::clamp(static_cast<int>(std::lround((position - index) * 256)), 0, 256));
        taps[static_cast<std::size_t>(i)] = {index, weight};
    }
}

void BilinearScaler::scale(const std::uint8_t* source, int sourceStride, int sourceWidth,
                           int sourceHeight, std::uint8_t* target, int targetStride,
                           int targetWidth, int targetHeight) {
    if (sourceWidth != m_sourceWidth || targetWidth != m_targetWidth) {
        makeTaps(m_columns, sourceWidth, targetWidth);
        m_blended.assign(static_cast<std::size_t>(sourceWidth) + 1, 0);
    }
    if (sourceHeight != m_sourceHeight || targetHeight != m_targetHeight) {
        makeTaps(m_rows, sourceHeight, targetHeight);
    }
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_targetWidth = targetWidth;
    m_targetHeight = targetHeight;

    std::uint32_t* blended = m_blended.data();
    for (int y = 0; y < targetHeight; ++y) {
        const Tap row = m_rows[static_cast<std::size_t>(y)];
        const std::uint8_t* a = source + static_cast<std::ptrdiff_t>(row.index) * sourceStride;
        const std::uint8_t* b = a + (row.index + 1 < sourceHeight ? sourceStride : 0);
        for (int x = 0; x < sourceWidth; ++x) {
            blended[x] = mix(load32(a + 4 * x), load32(b + 4 * x), row.weight);
        }
        blended[sourceWidth] = blended[sourceWidth - 1];
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(y) * targetStride;
        for (int x = 0; x < targetWidth; ++x) {
            const Tap column = m_columns[static_cast<std::size_t>(x)];
            store32(out + 4 * x,
                    mix(blended[column.index], blended[column.index + 1], column.weight) | kOpaque);
        }
    }
}

// Recycles frames: a frame returns here when its last holder lets go. Holders beyond the limit
// make the stream skip a grab rather than allocate without bound.
class FramePool : public std::enable_shared_from_this<FramePool> {
  public:
    static constexpr int kMaxFramesOut = 8;

    FramePool(int width, int height) : m_width(width), m_height(height) {}

    std::shared_ptr<PixelBuffer> acquire() {
        std::unique_ptr<PixelBuffer> frame;
        {
            std::lock_guard lock(m_mutex);
            if (m_framesOut >= kMaxFramesOut) {
                return nullptr;
            }
            ++m_framesOut;
            if (!m_free.empty()) {
                frame = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        if (!frame) {
            frame = std::make_unique<PixelBuffer>();
            frame->width = m_width;
            frame->height = m_height;
            frame->bytesPerRow = m_width * 4;
            frame->bytes.resize(static_cast<std::size_t>(frame->bytesPerRow) * m_height);
        }
        return {frame.release(), [pool = shared_from_this()](PixelBuffer* p) { pool->recycle(p); }};
    }

  private:
    void recycle(PixelBuffer* frame) {
        std::lock_guard lock(m_mutex);
        --m_framesOut;
        m_free.emplace_back(frame);
    }

    const int m_width;
    const int m_height;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<PixelBuffer>> m_free;
    int m_framesOut = 0;
};

// A System V segment shared with the X server, grown on demand.
class ShmSegment {
  public:
    bool reserve(xcb_connection_t* c, std::size_t bytes);
    void release(xcb_connection_t* c);
    xcb_shm_seg_t id() const { return m_id; }
    std::uint8_t* data() const { return m_data; }

  private:
    xcb_shm_seg_t m_id = 0;
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

bool ShmSegment::reserve(xcb_connection_t* c, std::size_t bytes) {
    if (m_data && bytes <= m_size) {
        return true;
    }
    release(c);
    const int shmID = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmID < 0) {
        return false;
    }
    void* address = shmat(shmID, nullptr, 0);
    const xcb_shm_seg_t id = xcb_generate_id(c);
    xcb_generic_error_t* error =
        address == reinterpret_cast<void*>(-1)
            ? nullptr
            : xcb_request_check(c, xcb_shm_attach_checked(c, id, shmID, 0));
    // Marked for removal once both sides are attached: it goes away with us even after a crash.
    shmctl(shmID, IPC_RMID, nullptr);
    if (address == reinterpret_cast<void*>(-1)) {
        return false;
    }
    if (error) {
        std::free(error);
        shmdt(address);
        return false;
    }
    m_id = id;
    m_data = static_cast<std::uint8_t*>(address);
    m_size = bytes;
    return true;
}

void ShmSegment::release(xcb_connection_t* c) {
    if (!m_data) {
        return;
    }
    xcb_shm_detach(c, m_id);
    xcb_flush(c);
    shmdt(m_data);
    m_data = nullptr;
    m_size = 0;
}

int bitsPerPixel(const xcb_setup_t* setup, std::uint8_t depth) {
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
         xcb_format_next(&formats)) {
        if (formats.data->depth == depth) {
            return formats.data->bits_per_pixel;
        }
    }
    return 0;
}

// Premultiplied ARGB over the image, clipped to it. origin: the image's top-left on the root.
void blendCursor(const xcb_xfixes_get_cursor_image_reply_t& cursor, int originX, int originY,
                 std::uint8_t* image, int width, int height) {
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
    const int left = cursor.x - cursor.xhot - originX;
    const int top = cursor.y - cursor.yhot - originY;
    for (int cy = std::max(0, -top); cy < cursor.height && top + cy < height; ++cy) {
        for (int cx = std::max(0, -left); cx < cursor.width && left + cx < width; ++cx) {
            const std::uint32_t c = pixels[cy * cursor.width + cx];
            const std::uint32_t alpha = c >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* p =
                image + 4 * (static_cast<std::ptrdiff_t>(top + cy) * width + left + cx);
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t over = (c >> (8 * k)) & 0xFF;
                p[k] = static_cast<std::uint8_t>(
                    std::min<std::uint32_t>(255, over + (p[k] * (255 - alpha) + 127) / 255));
            }
        }
    }
}

enum class GrabResult { frame, skipped, gone };

// Everything that talks to the X server during one capture session, on the capture thread.
class Grabber {
  public:
    Grabber(const ContentFilter& filter, const StreamConfiguration& config);
    ~Grabber();
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    std::optional<CaptureError> open();
    GrabResult grab(PixelBuffer& frame);

  private:
    std::optional<CaptureError> checkExtensions();
    std::optional<CaptureError> openDisplay();
    std::optional<CaptureError> openWindow();
    bool refreshDisplayArea();
    bool nameWindowPixmap();
    void drainEvents();
    GrabResult grabDisplay(PixelBuffer& frame);
    GrabResult grabWindow(PixelBuffer& frame);
    void compose(const std::uint8_t* image, int width, int height, PixelBuffer& frame);

    const bool m_capturesWindow;
    const std::uint32_t m_targetID;
    const StreamConfiguration m_config;
    std::optional<x11::Display> m_display;
    xcb_connection_t* m_c = nullptr;
    ShmSegment m_segment;
    BilinearScaler m_scaler;
    // Display capture: the display's rectangle on the root window.
    Area m_area;
    // Window capture: the window's size inside its border, and what the events told about it.
    bool m_redirected = false;
    xcb_pixmap_t m_pixmap = XCB_NONE;
    int m_border = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_mapped = true;
    bool m_destroyed = false;
    bool m_pixmapStale = false;
};

Grabber::Grabber(const ContentFilter& filter, const StreamConfiguration& config)
    : m_capturesWindow(!filter.includedWindows.empty()),
      m_targetID(m_capturesWindow                  ? filter.includedWindows.front().windowID
                 : filter.includedDisplays.empty() ? 0
                                                   : filter.includedDisplays.front().displayID),
      m_config(config) {}

Grabber::~Grabber() {
    if (!m_c) {
        return;
    }
    m_segment.release(m_c);
    if (m_pixmap != XCB_NONE) {
        xcb_free_pixmap(m_c, m_pixmap);
    }
    if (m_redirected) {
        xcb_composite_unredirect_window(m_c, m_targetID, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
    xcb_flush(m_c);
}

std::optional<CaptureError> Grabber::open() {
    m_display = x11::connect();
    if (!m_display) {
        return makeError(kNoDisplay, "No X display");
    }
    m_c = m_display->connection.get();
    if (xcb_get_setup(m_c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return makeError(kUnsupportedFormat, "The X server's image byte order is not supported");
    }
    if (auto error = checkExtensions()) {
        return error;
    }
    return m_capturesWindow ? openWindow() : openDisplay();
}

std::optional<CaptureError> Grabber::checkExtensions() {
    const auto present = [&](xcb_extension_t* extension) {
        const auto* data = xcb_get_extension_data(m_c, extension);
        return data && data->present;
    };
    if (!present(&xcb_shm_id) ||
        !x11::reply(xcb_shm_query_version_reply, m_c, xcb_shm_query_version(m_c))) {
        return makeError(kExtensionMissing, "MIT-SHM extension missing");
    }
    if (m_capturesWindow) {
        // Naming a window's pixmap needs Composite 0.2.
        auto version = present(&xcb_composite_id)
                           ? x11::reply(xcb_composite_query_version_reply, m_c,
                                        xcb_composite_query_version(m_c, 0, 4))
                           : nullptr;
        if (!version || (version->major_version == 0 && version->minor_version < 2)) {
            return makeError(kExtensionMissing, "Composite extension missing");
        }
    }
    if (m_config.showsCursor) {
        // XFixes serves nothing until the client has announced its version.
        if (!present(&xcb_xfixes_id) ||
            !x11::reply(xcb_xfixes_query_version_reply, m_c, xcb_xfixes_query_version(m_c, 4, 0))) {
            return makeError(kExtensionMissing, "XFIXES extension missing");
        }
    }
    return std::nullopt;
}

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
    return true;
}

void Grabber::drainEvents() {
    while (x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(m_c)}) {
        switch (event->response_type & 0x7F) {
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

GrabResult Grabber::grab(PixelBuffer& frame) {
    if (xcb_connection_has_error(m_c)) {
        return GrabResult::gone;
    }
    return m_capturesWindow ? grabWindow(frame) : grabDisplay(frame);
}

GrabResult Grabber::grabDisplay(PixelBuffer& frame) {
    drainEvents();
    const Area area = m_area;
    const auto imageCookie = xcb_shm_get_image(
        m_c, m_display->screen->root, static_cast<std::int16_t>(area.x),
        static_cast<std::int16_t>(area.y), static_cast<std::uint16_t>(area.width),
        static_cast<std::uint16_t>(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment.id(), 0);
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    if (m_config.showsCursor) {
        cursorCookie = xcb_xfixes_get_cursor_image(m_c);
    }
    auto image = x11::reply(xcb_shm_get_image_reply, m_c, imageCookie);
    auto cursor =
        cursorCookie ? x11::reply(xcb_xfixes_get_cursor_image_reply, m_c, *cursorCookie) : nullptr;
    if (!image) {
        // The display was resized or unplugged: follow it, or stop when it is gone.
        if (!refreshDisplayArea()) {
            return GrabResult::gone;
        }
        if (!m_segment.reserve(m_c, static_cast<std::size_t>(m_area.width) * m_area.height * 4)) {
            return GrabResult::gone;
        }
        return GrabResult::skipped;
    }
    if (cursor) {
        blendCursor(*cursor, area.x, area.y, m_segment.data(), area.width, area.height);
    }
    compose(m_segment.data(), area.width, area.height, frame);
    return GrabResult::frame;
}

GrabResult Grabber::grabWindow(PixelBuffer& frame) {
    drainEvents();
    if (m_destroyed) {
        return GrabResult::gone;
    }
    if (!m_mapped || (m_pixmapStale && !nameWindowPixmap())) {
        return GrabResult::skipped;
    }
    const int width = m_width;
    const int height = m_height;
    const auto imageCookie = xcb_shm_get_image(
        m_c, m_pixmap, static_cast<std::int16_t>(m_border), static_cast<std::int16_t>(m_border),
        static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u,
        XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment.id(), 0);
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    std::optional<xcb_translate_coordinates_cookie_t> originCookie;
    if (m_config.showsCursor) {
        cursorCookie = xcb_xfixes_get_cursor_image(m_c);
        originCookie = xcb_translate_coordinates(m_c, m_targetID, m_display->screen->root, 0, 0);
    }
    auto image = x11::reply(xcb_shm_get_image_reply, m_c, imageCookie);
    auto cursor =
        cursorCookie ? x11::reply(xcb_xfixes_get_cursor_image_reply, m_c, *cursorCookie) : nullptr;
    auto origin =
        originCookie ? x11::reply(xcb_translate_coordinates_reply, m_c, *originCookie) : nullptr;
    if (!image) {
        m_pixmapStale = true;
        return GrabResult::skipped;
    }
    if (cursor && origin) {
        blendCursor(*cursor, origin->dst_x, origin->dst_y, m_segment.data(), width, height);
    }
    compose(m_segment.data(), width, height, frame);
    return GrabResult::frame;
}

void Grabber::compose(const std::uint8_t* image, int width, int height, PixelBuffer& frame) {
    const Area area = placement(width, height, frame.width, frame.height, m_config.scalesToFit);
    const std::uint32_t background = m_config.backgroundColor;  // ARGB is BGRA in memory
    const auto fill = [&](std::uint8_t* p, int count) {
        for (int i = 0; i < count; ++i) {
            store32(p + 4 * i, background);
        }
    };
    for (int y = 0; y < frame.height; ++y) {
        std::uint8_t* row = frame.row(y);
        if (y < area.y || y >= area.y + area.height) {
            fill(row, frame.width);
        } else {
            fill(row, area.x);
            fill(row + 4 * (area.x + area.width), frame.width - area.x - area.width);
        }
    }
    const int stride = width * 4;
    std::uint8_t* target = frame.row(area.y) + 4 * area.x;
    if (m_config.scalesToFit && (area.width != width || area.height != height)) {
        m_scaler.scale(image, stride, width, height, target, frame.bytesPerRow, area.width,
                       area.height);
        return;
    }
    // Same size, or cropped: a copy that makes the padding byte opaque.
    for (int y = 0; y < area.height; ++y) {
        const std::uint8_t* in = image + static_cast<std::ptrdiff_t>(y) * stride;
        std::uint8_t* out = target + static_cast<std::ptrdiff_t>(y) * frame.bytesPerRow;
        for (int x = 0; x < area.width; ++x) {
            store32(out + 4 * x, load32(in + 4 * x) | kOpaque);
        }
    }
}

std::chrono::nanoseconds frameInterval(const MediaTime& interval) {
    if (!interval.isValid() || interval.value <= 0) {
        return std::chrono::nanoseconds(1'000'000'000 / 60);
    }
    return std::chrono::nanoseconds(interval.value * 1'000'000'000 / interval.timescale);
}

MediaTime now() {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
    return MediaTime(ns.count(), 1'000'000'000);
}

enum class State { idle, running, stopping };

// What the capture thread works with. The thread holds it too, so the stream may be destroyed
// from inside any completion, even the start completion while frames keep coming.
struct Session {
    struct Output {
        CaptureStream::SampleHandler handler;
        SerialQueue* queue;
    };

    Session(ContentFilter f, const StreamConfiguration& c)
        : filter(std::move(f)), config(c), pool(std::make_shared<FramePool>(c.width, c.height)) {}

    void run(CaptureStream::Completion started);
    std::optional<CaptureError> captureLoop(Grabber& grabber, CaptureStream::Completion& started);
    GrabResult grabAndDeliver(Grabber& grabber);

    const ContentFilter filter;
    const StreamConfiguration config;
    const std::shared_ptr<FramePool> pool;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Output> outputs;
    State state = State::idle;
    CaptureStream::Completion stopCompletion;
    CaptureStream::StopHandler didStopWithError;
};

void Session::run(CaptureStream::Completion started) {
    pthread_setname_np(pthread_self(), "x11-capture");
    std::optional<CaptureError> failure;
    {
        Grabber grabber(filter, config);
        failure = grabber.open();
        if (!failure) {
            failure = captureLoop(grabber, started);
        }
    }  // the X resources go here, before anyone hears of the end
    CaptureStream::Completion stopped;
    CaptureStream::StopHandler endedByItself;
    {
        std::lock_guard lock(mutex);
        // A capture that ends while nobody asked it to stop tells its owner why.
        if (failure && !started && state == State::running) {
            endedByItself = didStopWithError;
        }
        state = State::idle;
        stopped = std::move(stopCompletion);
    }
    if (started) {
        started(failure
                    ? failure
                    : makeError(kStoppedBeforeStart, "The capture was stopped before it started"));
    }
    if (stopped) {
        stopped(std::nullopt);
    }
    if (endedByItself) {
        endedByItself(*failure);
    }
}

std::optional<CaptureError> Session::captureLoop(Grabber& grabber,
                                                 CaptureStream::Completion& started) {
    const auto interval = frameInterval(config.minimumFrameInterval);
    auto deadline = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(mutex);
            const auto stopping = [&] { return state == State::stopping; };
            wake.wait_until(lock, deadline, stopping);
            if (stopping()) {
                return std::nullopt;
            }
        }
        const GrabResult result = grabAndDeliver(grabber);
        if (result == GrabResult::gone) {
            // Before the start this fails the start; after it, the capture ends by itself.
            return makeError(kContentGone, "The captured content is gone");
        }
        if (started) {
            std::exchange(started, nullptr)(std::nullopt);
        }
        // Absolute deadlines; intervals missed by a slow grab are skipped, not caught up.
        deadline += interval;
        if (const auto late = Clock::now() - deadline; late >= decltype(late)::zero()) {
            deadline += interval * (late / interval + 1);
        }
    }
}

GrabResult Session::grabAndDeliver(Grabber& grabber) {
    std::shared_ptr<PixelBuffer> frame = pool->acquire();
    if (!frame) {
        return GrabResult::skipped;  // every frame is still held downstream
    }
    // Stamped as the request leaves: the server copies the pixels when it serves it.
    const MediaTime capturedAt = now();
    const GrabResult result = grabber.grab(*frame);
    if (result != GrabResult::frame) {
        return result;
    }
    VideoSample sample;
    sample.imageBuffer = std::move(frame);
    sample.presentationTime = capturedAt;
    std::lock_guard lock(mutex);
    for (const auto& output : outputs) {
        output.queue->post(
            [handler = output.handler, sample] { handler(sample, StreamOutputType::screen); });
    }
    return result;
}

// Captures on a thread of its own. The start completion runs once the first grab is done
// (or failed); the stop completion once the X resources are released. Both run on the capture
// thread, or on the caller's when they fail at once. Stopping does not wait for the thread:
// it is joined by the next start or by the destructor.
class X11CaptureStream final : public CaptureStream {
  public:
    X11CaptureStream(ContentFilter filter, const StreamConfiguration& config)
        : m_session(std::make_shared<Session>(std::move(filter), config)) {}
    ~X11CaptureStream() override;

    std::optional<CaptureError> addStreamOutput(StreamOutputType type, SampleHandler handler,
                                                SerialQueue& queue) override;
    void startCapture(Completion completion) override;
    void stopCapture(Completion completion) override;
    void setDidStopWithError(StopHandler handler) override {
        std::lock_guard lock(m_session->mutex);
        m_session->didStopWithError = std::move(handler);
    }

  private:
    static void reapThread(std::thread& thread);

    const std::shared_ptr<Session> m_session;
    std::thread m_thread;
};

X11CaptureStream::~X11CaptureStream() {
    {
        std::lock_guard lock(m_session->mutex);
        if (m_session->state == State::running) {
            m_session->state = State::stopping;
        }
    }
    m_session->wake.notify_all();
    reapThread(m_thread);
}

void X11CaptureStream::reapThread(std::thread& thread) {
    if (!thread.joinable()) {
        return;
    }
    // From a completion on the capture thread itself: it ends on its own.
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

std::optional<CaptureError> X11CaptureStream::addStreamOutput(StreamOutputType type,
                                                              SampleHandler handler,
                                                              SerialQueue& queue) {
    if (type == StreamOutputType::screen) {
        std::lock_guard lock(m_session->mutex);
        m_session->outputs.push_back({std::move(handler), &queue});
    }
    return std::nullopt;
}

void X11CaptureStream::startCapture(Completion completion) {
    std::optional<CaptureError> refusal;
    std::thread previous;
    {
        Session& session = *m_session;
        std::lock_guard lock(session.mutex);
        if (session.state != State::idle) {
            refusal = makeError(kAlreadyRunning, "The capture is already running");
        } else if (session.filter.includedWindows.empty() &&
                   session.filter.includedDisplays.empty()) {
            refusal = makeError(kNothingToCapture, "Nothing to capture");
        } else if (session.config.width < 2 || session.config.height < 2) {
            refusal = makeError(kUnsupportedFormat, "The output size is too small");
        } else {
            previous = std::move(m_thread);
            session.state = State::running;
            m_thread =
                std::thread([session = m_session, completion = std::move(completion)]() mutable {
                    session->run(std::move(completion));
                });
        }
    }
    // The previous session's thread is past its last use of the shared state.
    reapThread(previous);
    if (refusal && completion) {
        completion(refusal);
    }
}

void X11CaptureStream::stopCapture(Completion completion) {
    {
        std::lock_guard lock(m_session->mutex);
        if (m_session->state == State::running) {
            m_session->state = State::stopping;
            m_session->stopCompletion = std::move(completion);
            m_session->wake.notify_all();
            return;
        }
    }
    if (completion) {
        completion(makeError(kNotRunning, "The capture is not running"));
    }
}

}  // namespace

std::unique_ptr<CaptureStream> makeX11CaptureStream(const ContentFilter& filter,
                                                    const StreamConfiguration& config) {
    return std::make_unique<X11CaptureStream>(filter, config);
}

}  // namespace platform
