#pragma once

// The capture stream's side that talks to the X server; private to src/x11.

#include "platform/CaptureStream.h"
#include "x11/X11Support.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::x11capture {

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

inline CaptureError makeError(ErrorCode code, std::string description) {
    return {kDomain, code, std::move(description)};
}

using Area = PixelArea;

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

// A System V segment shared with the X server, grown on demand.
class ShmSegment {
  public:
    bool reserve(xcb_connection_t* c, std::size_t bytes);
    void release(xcb_connection_t* c);
    xcb_shm_seg_t id() const { return m_id; }
    std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }

  private:
    xcb_shm_seg_t m_id = 0;
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

// Frame memory shared with the X server: a frame whose memory is such a segment is grabbed
// into directly, without a copy. The memory goes back (detached from the server, unmapped) when
// the frame's last holder lets go, on whatever thread; once the grabber has closed its
// connection the server has let go of it already.
class SegmentLender : public std::enable_shared_from_this<SegmentLender> {
  public:
    explicit SegmentLender(xcb_connection_t* c) : m_c(c) {}
    // nullptr when no segment can be made.
    std::shared_ptr<std::uint8_t> lend(std::size_t bytes);
    // The segment the bytes are, when this lender lent them.
    std::optional<xcb_shm_seg_t> segmentOf(const PixelBytes& bytes) const;
    // The connection is about to close.
    void close();

  private:
    struct GiveBack {
        std::shared_ptr<SegmentLender> lender;
        xcb_shm_seg_t id;
        void operator()(std::uint8_t* data) const;
    };
    std::mutex m_mutex;
    xcb_connection_t* m_c;
};

int bitsPerPixel(const xcb_setup_t* setup, std::uint8_t depth);

// Premultiplied ARGB over the image, clipped to it. origin: the image's top-left on the root.
void blendCursor(const xcb_xfixes_get_cursor_image_reply_t& cursor, int originX, int originY,
                 std::uint8_t* image, int width, int height);

// frame: the frame holds a new picture; skipped: nothing to deliver (nothing changed, or the
// content cannot be read right now); gone: the captured content no longer exists.
enum class GrabResult { frame, skipped, gone };

// Everything that talks to the X server during one capture session, on the capture thread.
class Grabber {
  public:
    Grabber(const ContentFilter& filter, const StreamConfiguration& config);
    ~Grabber();
    Grabber(const Grabber&) = delete;
    Grabber& operator=(const Grabber&) = delete;

    std::optional<CaptureError> open();
    // Lends memory the frames can be grabbed into; null before open().
    const std::shared_ptr<SegmentLender>& lender() const { return m_lender; }
    // Brings the frame up to date with the content. A frame that has been filled before is only
    // patched where the content changed since; when nothing changed since the last grab, nothing
    // is read and the result is skipped: the last frame delivered still holds.
    GrabResult grab(PixelBuffer& frame);

  private:
    // The pixels grabbed: a rectangle of a drawable, and where its top-left is in the
    // coordinates of the damage reports and on the root window (for the pointer).
    struct Source {
        xcb_drawable_t drawable;
        int x;
        int y;
        int width;
        int height;
        int damageX;
        int damageY;
        int rootX;
        int rootY;
    };
    std::optional<CaptureError> checkExtensions();
    std::optional<CaptureError> openDisplay();
    std::optional<CaptureError> openWindow();
    bool refreshDisplayArea();
    bool nameWindowPixmap();
    void drainEvents();
    GrabResult grabDisplay(PixelBuffer& frame);
    GrabResult grabWindow(PixelBuffer& frame);
    void openDamage(xcb_drawable_t drawable);
    // frame or skipped (nothing changed); nullopt when the source could not be read.
    std::optional<GrabResult> grabSource(
        const Source& source, PixelBuffer& frame,
        std::optional<xcb_translate_coordinates_cookie_t> originCookie);
    // Reads the pieces into the frame; false when one could not be read. drawnWhileRead gets
    // the damage reported up to the end of the reads.
    bool grabPieces(const Source& source, const std::vector<PixelArea>& pieces, PixelBuffer& frame,
                    std::vector<PixelArea>& drawnWhileRead);
    // Empties the damage region and asks for what it held.
    std::optional<xcb_xfixes_fetch_region_cookie_t> takeDamage();
    void takeDamageReply(std::optional<xcb_xfixes_fetch_region_cookie_t> cookie,
                         const Source& source, std::vector<PixelArea>& areas);
    static void appendDamage(const xcb_xfixes_fetch_region_reply_t* region, const Source& source,
                             std::vector<PixelArea>& areas);
    void compose(const std::uint8_t* image, int width, int height, PixelBuffer& frame);

    const bool m_capturesWindow;
    const std::uint32_t m_targetID;
    const StreamConfiguration m_config;
    std::optional<x11::Display> m_display;
    xcb_connection_t* m_c = nullptr;
    ShmSegment m_segment;  // pieces, and whole frames not lent by m_lender
    std::shared_ptr<SegmentLender> m_lender;
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
    // What changed since the last grab: the server's damage reports, and the pointer. Without
    // the Damage extension every grab reads everything.
    xcb_damage_damage_t m_damage = XCB_NONE;
    xcb_xfixes_region_t m_parts = XCB_NONE;
    std::uint8_t m_damageEvent = 0;
    bool m_damaged = true;
    bool m_wholeChanged = true;  // the next frame is read whole (first one, new geometry)
    std::optional<PixelArea> m_cursorArea;  // where the pointer was drawn, in source pixels
    std::uint32_t m_cursorSerial = 0;
    // Damage reported by the end of the last reads: drawn before, during or just after them,
    // it may show in that frame in part, so the next grab reads it again.
    std::vector<PixelArea> m_drawnWhileRead;
    const std::shared_ptr<FrameChanges> m_changes;
    std::uint64_t m_serial = 0;  // the last frame recorded in m_changes
};

}  // namespace platform::x11capture
