#include "x11/X11Grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

namespace platform::x11capture {

namespace {

// Pixels are handled as 32-bit words whose top byte is the fourth byte in memory (B, G, R, A).
static_assert(std::endian::native == std::endian::little);

std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

void store32(std::uint8_t* p, std::uint32_t value) {
    std::memcpy(p, &value, 4);
}

constexpr std::uint32_t kOpaque = 0xFF000000u;

// A row of pixels with the padding byte made opaque. Sixteen bytes at a time: every frame goes
// through here whole when the screen moves everywhere.
void copyOpaque(const std::uint8_t* in, std::uint8_t* out, int pixels) {
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(kOpaque));
    int x = 0;
    for (; x + 4 <= pixels; x += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * x), _mm_or_si128(p, opaque));
    }
    for (; x < pixels; ++x) {
        store32(out + 4 * x, load32(in + 4 * x) | kOpaque);
    }
}

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

}  // namespace

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

namespace {

// A new segment of the given size, attached on both sides.
std::optional<std::pair<xcb_shm_seg_t, std::uint8_t*>> attachSegment(xcb_connection_t* c,
                                                                     std::size_t bytes) {
    const int shmID = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmID < 0) {
        return std::nullopt;
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
        return std::nullopt;
    }
    if (error) {
        std::free(error);
        shmdt(address);
        return std::nullopt;
    }
    return std::pair{id, static_cast<std::uint8_t*>(address)};
}

}  // namespace

bool ShmSegment::reserve(xcb_connection_t* c, std::size_t bytes) {
    if (m_data && bytes <= m_size) {
        return true;
    }
    release(c);
    const auto segment = attachSegment(c, bytes);
    if (!segment) {
        return false;
    }
    std::tie(m_id, m_data) = *segment;
    m_size = bytes;
    return true;
}

std::shared_ptr<std::uint8_t> SegmentLender::lend(std::size_t bytes) {
    std::lock_guard lock(m_mutex);
    const auto segment = m_c ? attachSegment(m_c, bytes) : std::nullopt;
    if (!segment) {
        return nullptr;
    }
    return {segment->second, GiveBack{shared_from_this(), segment->first}};
}

std::optional<xcb_shm_seg_t> SegmentLender::segmentOf(const PixelBytes& bytes) const {
    const auto* giveBack = std::get_deleter<GiveBack>(bytes.memory());
    if (!giveBack || giveBack->lender.get() != this) {
        return std::nullopt;
    }
    return giveBack->id;
}

void SegmentLender::close() {
    std::lock_guard lock(m_mutex);
    m_c = nullptr;
}

void SegmentLender::GiveBack::operator()(std::uint8_t* data) const {
    {
        std::lock_guard lock(lender->m_mutex);
        if (lender->m_c) {
            xcb_shm_detach(lender->m_c, id);
            xcb_flush(lender->m_c);
        }
    }
    shmdt(data);
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

Grabber::Grabber(const ContentFilter& filter, const StreamConfiguration& config)
    : m_capturesWindow(!filter.includedWindows.empty()),
      m_targetID(m_capturesWindow                  ? filter.includedWindows.front().windowID
                 : filter.includedDisplays.empty() ? 0
                                                   : filter.includedDisplays.front().displayID),
      m_config(config),
      m_changes(std::make_shared<FrameChanges>(config.width, config.height)) {}

Grabber::~Grabber() {
    if (!m_c) {
        return;
    }
    m_lender->close();
    m_segment.release(m_c);
    if (m_damage != XCB_NONE) {
        xcb_damage_destroy(m_c, m_damage);
    }
    if (m_parts != XCB_NONE) {
        xcb_xfixes_destroy_region(m_c, m_parts);
    }
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
    m_lender = std::make_shared<SegmentLender>(m_c);
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
    // XFixes serves nothing until the client has announced its version.
    const bool fixes = present(&xcb_xfixes_id) && x11::reply(xcb_xfixes_query_version_reply, m_c,
                                                             xcb_xfixes_query_version(m_c, 4, 0));
    if (m_config.showsCursor && !fixes) {
        return makeError(kExtensionMissing, "XFIXES extension missing");
    }
    // Damage tells what changed; without it (or the regions of XFixes) every grab reads all.
    if (fixes && present(&xcb_damage_id) &&
        x11::reply(xcb_damage_query_version_reply, m_c, xcb_damage_query_version(m_c, 1, 1))) {
        m_damageEvent = xcb_get_extension_data(m_c, &xcb_damage_id)->first_event;
    }
    return std::nullopt;
}

void Grabber::openDamage(xcb_drawable_t drawable) {
    if (m_damageEvent == 0) {
        return;
    }
    const xcb_damage_damage_t damage = xcb_generate_id(m_c);
    const xcb_xfixes_region_t parts = xcb_generate_id(m_c);
    xcb_xfixes_create_region(m_c, parts, 0, nullptr);
    // Non-empty level: one event when damage appears after a subtract, not one per drawing.
    if (auto* error = xcb_request_check(
            m_c,
            xcb_damage_create_checked(m_c, damage, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY))) {
        std::free(error);
        xcb_xfixes_destroy_region(m_c, parts);
        return;
    }
    m_damage = damage;
    m_parts = parts;
    m_damaged = true;
    m_wholeChanged = true;
}

std::optional<GrabResult> Grabber::grabSource(
    const Source& source, PixelBuffer& frame,
    std::optional<xcb_translate_coordinates_cookie_t> originCookie) {
    // One round trip for what changed since the last grab: the pointer and the damage.
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    if (m_config.showsCursor) {
        cursorCookie = xcb_xfixes_get_cursor_image(m_c);
    }
    const bool tracked = m_damage != XCB_NONE;
    std::optional<xcb_xfixes_fetch_region_cookie_t> regionCookie;
    if (tracked && m_damaged) {
        // Drawing after this subtract is reported by a new event; what of it lands before the
        // reads is taken again after them.
        m_damaged = false;
        regionCookie = takeDamage();
    }
    auto cursor =
        cursorCookie ? x11::reply(xcb_xfixes_get_cursor_image_reply, m_c, *cursorCookie) : nullptr;
    auto origin =
        originCookie ? x11::reply(xcb_translate_coordinates_reply, m_c, *originCookie) : nullptr;
    auto region =
        regionCookie ? x11::reply(xcb_xfixes_fetch_region_reply, m_c, *regionCookie) : nullptr;

    const int rootX = origin ? origin->dst_x : source.rootX;
    const int rootY = origin ? origin->dst_y : source.rootY;
    const bool drawsCursor = cursor && (origin || !originCookie);
    std::optional<PixelArea> cursorArea;
    if (drawsCursor) {
        cursorArea = PixelArea{cursor->x - cursor->xhot - rootX, cursor->y - cursor->yhot - rootY,
                               cursor->width, cursor->height};
    }
    // What was drawn while the last frame was read may show in it only in part: read it again.
    std::vector<PixelArea> changed = std::exchange(m_drawnWhileRead, {});
    appendDamage(region.get(), source, changed);
    if (cursorArea != m_cursorArea || (cursor && cursor->cursor_serial != m_cursorSerial)) {
        // The old picture of the pointer is taken away, the new one drawn; a pointer moving
        // outside a captured window changes nothing in it.
        for (const auto& area : {m_cursorArea, cursorArea}) {
            if (area && area->x < source.width && area->x + area->width > 0 &&
                area->y < source.height && area->y + area->height > 0) {
                changed.push_back(*area);
            }
        }
    }
    if (tracked && !m_wholeChanged && changed.empty()) {
        return GrabResult::skipped;
    }
    // Patching needs the frame and the source pixel for pixel; scaled frames are made whole.
    const bool patchable =
        tracked && !m_wholeChanged && source.width == frame.width && source.height == frame.height;
    m_wholeChanged = false;
    m_cursorArea = cursorArea;
    m_cursorSerial = cursor ? cursor->cursor_serial : 0;

    std::optional<std::vector<PixelArea>> pieces;
    if (patchable && frame.changes == m_changes && frame.serial != 0) {
        pieces = m_changes->changedBetween(frame.serial, m_serial);
    }
    std::vector<PixelArea> drawnWhileRead;
    if (pieces) {
        for (const PixelArea& area : changed) {
            if (std::find(pieces->begin(), pieces->end(), area) == pieces->end()) {
                pieces->push_back(area);
            }
        }
        // The pointer is drawn over freshly read pixels only, never over its own old picture.
        if (cursorArea) {
            pieces->push_back(*cursorArea);
        }
        if (!grabPieces(source, *pieces, frame, drawnWhileRead)) {
            m_drawnWhileRead = std::move(drawnWhileRead);
            m_wholeChanged = true;
            return std::nullopt;
        }
        if (drawsCursor) {
            blendCursor(*cursor, rootX, rootY, frame.bytes.data(), frame.width, frame.height);
        }
    } else {
        // A frame of the source's size whose memory the server shares takes the pixels as they
        // come; any other is composed from the grab.
        const auto direct = source.width == frame.width && source.height == frame.height &&
                                    frame.bytesPerRow == frame.width * 4
                                ? m_lender->segmentOf(frame.bytes)
                                : std::nullopt;
        const auto imageCookie = xcb_shm_get_image(
            m_c, source.drawable, static_cast<std::int16_t>(source.x),
            static_cast<std::int16_t>(source.y), static_cast<std::uint16_t>(source.width),
            static_cast<std::uint16_t>(source.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
            direct.value_or(m_segment.id()), 0);
        const auto lateCookie = tracked ? takeDamage() : std::nullopt;
        const bool read = x11::reply(xcb_shm_get_image_reply, m_c, imageCookie) != nullptr;
        takeDamageReply(lateCookie, source, drawnWhileRead);
        if (!read) {
            m_drawnWhileRead = std::move(drawnWhileRead);
            m_wholeChanged = true;
            if (direct) {
                frame.serial = 0;  // the failed read may have reached it in part
            }
            return std::nullopt;
        }
        std::uint8_t* image = direct ? frame.bytes.data() : m_segment.data();
        if (drawsCursor) {
            blendCursor(*cursor, rootX, rootY, image, source.width, source.height);
        }
        if (!direct) {
            compose(image, source.width, source.height, frame);
        }
    }
    // The frame may hold that drawing already: it counts as changed by this frame too, or a
    // consumer bringing an earlier copy up to this one would keep the old pixels there.
    changed.insert(changed.end(), drawnWhileRead.begin(), drawnWhileRead.end());
    m_drawnWhileRead = std::move(drawnWhileRead);
    m_serial = patchable ? m_changes->record(changed) : m_changes->recordWhole();
    frame.changes = m_changes;
    frame.serial = m_serial;
    return GrabResult::frame;
}

std::optional<xcb_xfixes_fetch_region_cookie_t> Grabber::takeDamage() {
    xcb_damage_subtract(m_c, m_damage, XCB_NONE, m_parts);
    return xcb_xfixes_fetch_region(m_c, m_parts);
}

void Grabber::takeDamageReply(std::optional<xcb_xfixes_fetch_region_cookie_t> cookie,
                              const Source& source, std::vector<PixelArea>& areas) {
    if (cookie) {
        auto region = x11::reply(xcb_xfixes_fetch_region_reply, m_c, *cookie);
        appendDamage(region.get(), source, areas);
    }
}

void Grabber::appendDamage(const xcb_xfixes_fetch_region_reply_t* region, const Source& source,
                           std::vector<PixelArea>& areas) {
    if (!region) {
        return;
    }
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region);
    const int count = xcb_xfixes_fetch_region_rectangles_length(region);
    for (int i = 0; i < count; ++i) {
        areas.push_back({rects[i].x - source.damageX, rects[i].y - source.damageY, rects[i].width,
                         rects[i].height});
    }
}

bool Grabber::grabPieces(const Source& source, const std::vector<PixelArea>& pieces,
                         PixelBuffer& frame, std::vector<PixelArea>& drawnWhileRead) {
    struct Piece {
        PixelArea area;
        std::size_t offset;
        xcb_shm_get_image_cookie_t cookie;
    };
    std::vector<Piece> requests;
    std::size_t offset = 0;
    bool fits = true;
    // All requests first, then the replies: one round trip however many pieces.
    for (const PixelArea& piece : pieces) {
        const int left = std::max(piece.x, 0);
        const int top = std::max(piece.y, 0);
        const int right = std::min(piece.x + piece.width, source.width);
        const int bottom = std::min(piece.y + piece.height, source.height);
        if (right <= left || bottom <= top) {
            continue;
        }
        const PixelArea area{left, top, right - left, bottom - top};
        const std::size_t bytes = static_cast<std::size_t>(area.width) * area.height * 4;
        if (offset + bytes > m_segment.size()) {
            fits = false;  // overlapping pieces: the whole grab that a failure brings is cheaper
            break;
        }
        requests.push_back(
            {area, offset,
             xcb_shm_get_image(
                 m_c, source.drawable, static_cast<std::int16_t>(source.x + left),
                 static_cast<std::int16_t>(source.y + top), static_cast<std::uint16_t>(area.width),
                 static_cast<std::uint16_t>(area.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                 m_segment.id(), static_cast<std::uint32_t>(offset))});
        offset += bytes;
    }
    // Taken after the reads, in the same round trip: drawing the reads may have caught.
    const auto lateCookie =
        m_damage != XCB_NONE ? takeDamage() : std::optional<xcb_xfixes_fetch_region_cookie_t>();
    bool complete = fits;
    for (const Piece& piece : requests) {
        complete = x11::reply(xcb_shm_get_image_reply, m_c, piece.cookie) != nullptr && complete;
    }
    takeDamageReply(lateCookie, source, drawnWhileRead);
    if (!complete) {
        return false;
    }
    for (const Piece& piece : requests) {
        const std::uint8_t* in = m_segment.data() + piece.offset;
        for (int y = 0; y < piece.area.height; ++y) {
            copyOpaque(in, frame.row(piece.area.y + y) + 4 * piece.area.x, piece.area.width);
            in += 4 * piece.area.width;
        }
    }
    return true;
}

GrabResult Grabber::grab(PixelBuffer& frame) {
    if (xcb_connection_has_error(m_c)) {
        return GrabResult::gone;
    }
    return m_capturesWindow ? grabWindow(frame) : grabDisplay(frame);
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
        copyOpaque(image + static_cast<std::ptrdiff_t>(y) * stride,
                   target + static_cast<std::ptrdiff_t>(y) * frame.bytesPerRow, area.width);
    }
}

}  // namespace platform::x11capture
