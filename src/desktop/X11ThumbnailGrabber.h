#pragma once

#include "platform/ScreenContent.h"

#include <QImage>

#include <cstdint>
#include <memory>
#include <optional>

struct xcb_connection_t;

namespace desktop {

struct ThumbnailSource {
    std::optional<std::uint32_t> windowID;  // none: the area of the root window
    platform::Rect area;                    // in root coordinates
};

// Small pictures of displays and windows over a private X connection; meant for a worker thread.
class X11ThumbnailGrabber {
  public:
    // Null without an X display.
    static std::unique_ptr<X11ThumbnailGrabber> open();
    ~X11ThumbnailGrabber();
    X11ThumbnailGrabber(const X11ThumbnailGrabber&) = delete;
    X11ThumbnailGrabber& operator=(const X11ThumbnailGrabber&) = delete;

    // At most maxWidth pixels wide (and as tall), aspect kept; null when nothing could be read.
    QImage grab(const ThumbnailSource& source, int maxWidth) const;

  private:
    X11ThumbnailGrabber(xcb_connection_t* connection, std::uint32_t root, bool hasComposite);
    QImage windowPixmap(std::uint32_t window) const;
    QImage rootArea(const platform::Rect& area) const;
    QImage image(std::uint32_t drawable, int x, int y, int width, int height) const;

    xcb_connection_t* m_connection;
    std::uint32_t m_root;
    bool m_hasComposite;
};

}  // namespace desktop
