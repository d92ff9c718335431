#include "X11ThumbnailGrabber.h"

#include <QSysInfo>

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace desktop {

std::unique_ptr<X11ThumbnailGrabber> X11ThumbnailGrabber::open() {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return nullptr;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (; screenNumber > 0 && screens.rem; --screenNumber) {
        xcb_screen_next(&screens);
    }
    bool hasComposite = false;
    const auto* extension = xcb_get_extension_data(connection, &xcb_composite_id);
    if (extension && extension->present) {
        // NameWindowPixmap needs 0.2; the version must be asked before any other request.
        auto* version = xcb_composite_query_version_reply(
            connection, xcb_composite_query_version(connection, 0, 4), nullptr);
        hasComposite = version && (version->major_version > 0 || version->minor_version >= 2);
        std::free(version);
    }
    return std::unique_ptr<X11ThumbnailGrabber>(
        new X11ThumbnailGrabber(connection, screens.data->root, hasComposite));
}

X11ThumbnailGrabber::X11ThumbnailGrabber(xcb_connection_t* connection, std::uint32_t root,
                                         bool hasComposite)
    : m_connection(connection), m_root(root), m_hasComposite(hasComposite) {}

X11ThumbnailGrabber::~X11ThumbnailGrabber() {
    xcb_disconnect(m_connection);
}

QImage X11ThumbnailGrabber::grab(const ThumbnailSource& source, int maxWidth) const {
    QImage picture;
    if (source.windowID && m_hasComposite) {
        picture = windowPixmap(*source.windowID);
    }
    // Unredirected (no compositor running): what the screen shows there, other windows included.
    if (picture.isNull()) {
        picture = rootArea(source.area);
    }
    if (picture.isNull() || (picture.width() <= maxWidth && picture.height() <= maxWidth)) {
        return picture;
    }
    return picture.scaled(maxWidth, maxWidth, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// The window's own contents even where it is covered; only while a compositor redirects it.
QImage X11ThumbnailGrabber::windowPixmap(std::uint32_t window) const {
    const xcb_pixmap_t pixmap = xcb_generate_id(m_connection);
    auto* error = xcb_request_check(
        m_connection, xcb_composite_name_window_pixmap_checked(m_connection, window, pixmap));
    if (error) {
        std::free(error);
        return {};
    }
    QImage picture;
    if (auto* geometry =
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, pixmap), nullptr)) {
        picture = image(pixmap, 0, 0, geometry->width, geometry->height);
        std::free(geometry);
    }
    xcb_free_pixmap(m_connection, pixmap);
    xcb_flush(m_connection);
    return picture;
}

QImage X11ThumbnailGrabber::rootArea(const platform::Rect& area) const {
    auto* root =
        xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, m_root), nullptr);
    if (!root) {
        return {};
    }
    const int left = std::max(0, static_cast<int>(std::lround(area.x)));
    const int top = std::max(0, static_cast<int>(std::lround(area.y)));
    const int right =
        std::min<int>(root->width, static_cast<int>(std::lround(area.x + area.width)));
    const int bottom =
        std::min<int>(root->height, static_cast<int>(std::lround(area.y + area.height)));
    std::free(root);
    if (right <= left || bottom <= top) {
        return {};
    }
    return image(m_root, left, top, right - left, bottom - top);
}

QImage X11ThumbnailGrabber::image(std::uint32_t drawable, int x, int y, int width,
                                  int height) const {
    auto* reply = xcb_get_image_reply(
        m_connection,
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), ~0u),
        nullptr);
    if (!reply) {
        return {};
    }
    // Only the 32-bit little-endian layout every current server uses for depth 24 and 32.
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    int bitsPerPixel = 0;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
         xcb_format_next(&formats)) {
        if (formats.data->depth == reply->depth) {
            bitsPerPixel = formats.data->bits_per_pixel;
        }
    }
    const bool readable = bitsPerPixel == 32 &&
                          setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST &&
                          QSysInfo::ByteOrder == QSysInfo::LittleEndian &&
                          (reply->depth == 24 || reply->depth == 32) &&
                          xcb_get_image_data_length(reply) >= width * height * 4;
    QImage picture;
    if (readable) {
        const auto format =
            reply->depth == 32 ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
        picture = QImage(xcb_get_image_data(reply), width, height, width * 4, format).copy();
    }
    std::free(reply);
    return picture;
}

}  // namespace desktop
