#include "media/BgraToI420.h"
#include "media/FfmpegAssetWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// Limited-range black.
constexpr std::uint8_t kBlackLuma = 16;
constexpr std::uint8_t kNeutralChroma = 128;

using Rect = PixelArea;

// Fills a plane with value everywhere outside r.
void fillOutside(std::uint8_t* plane, int stride, int width, int height, Rect r,
                 std::uint8_t value) {
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = plane + static_cast<std::ptrdiff_t>(y) * stride;
        if (y < r.y || y >= r.y + r.height) {
            std::memset(row, value, static_cast<std::size_t>(width));
            continue;
        }
        std::memset(row, value, static_cast<std::size_t>(r.x));
        std::memset(row + r.x + r.width, value, static_cast<std::size_t>(width - r.x - r.width));
    }
}

void fillOutside(AVFrame& frame, Rect r) {
    fillOutside(frame.data[0], frame.linesize[0], frame.width, frame.height, r, kBlackLuma);
    const Rect half{r.x / 2, r.y / 2, r.width / 2, r.height / 2};
    const int chromaWidth = (frame.width + 1) / 2;
    const int chromaHeight = (frame.height + 1) / 2;
    fillOutside(frame.data[1], frame.linesize[1], chromaWidth, chromaHeight, half, kNeutralChroma);
    fillOutside(frame.data[2], frame.linesize[2], chromaWidth, chromaHeight, half, kNeutralChroma);
}

// The largest aspect-kept rectangle centred in the target. Offsets and sizes are even so the
// picture edges fall on 4:2:0 chroma sample boundaries.
Rect fitRect(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight) {
    const double scale = std::min(static_cast<double>(targetWidth) / sourceWidth,
                                  static_cast<double>(targetHeight) / sourceHeight);
    const auto even = [](double v, int limit) {
        return std::clamp(static_cast<int>(std::lround(v)) & ~1, 2, limit & ~1);
    };
    const int width = even(sourceWidth * scale, targetWidth);
    const int height = even(sourceHeight * scale, targetHeight);
    return {((targetWidth - width) / 2) & ~1, ((targetHeight - height) / 2) & ~1, width, height};
}

// Converts captured pictures into encoder frames. Shared by the compositor and the work it
// leaves on frames for the encoder's thread, and locked, since both may convert.
class Conversion {
  public:
    Conversion() = default;
    ~Conversion() { sws_freeContext(m_scaler); }
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    bool convert(const PixelBuffer& source, AVFrame& frame);

  private:
    // Which picture of which capture a picture buffer holds. The writer hands the same few
    // buffers out again and again, so most ticks find the picture already there, or a few
    // small areas away from it.
    struct Held {
        const std::uint8_t* buffer = nullptr;
        std::uint64_t history = 0;
        std::uint64_t serial = 0;
    };
    Held& heldBy(const std::uint8_t* buffer);
    bool prepareScaler(int sourceWidth, int sourceHeight, Rect rect);

    std::mutex m_mutex;
    std::vector<Held> m_held;
    SwsContext* m_scaler = nullptr;
    int m_sourceWidth = 0;
    int m_sourceHeight = 0;
    Rect m_rect;
};

bool Conversion::prepareScaler(int sourceWidth, int sourceHeight, Rect rect) {
    if (m_scaler && sourceWidth == m_sourceWidth && sourceHeight == m_sourceHeight &&
        rect == m_rect) {
        return true;
    }
    sws_freeContext(m_scaler);
    m_scaler = sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGRA, rect.width, rect.height,
                              AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!m_scaler) {
        return false;
    }
    // BT.709 limited range, as the encoder tags the stream.
    const int* rgb = sws_getCoefficients(SWS_CS_DEFAULT);
    const int* yuv = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(m_scaler, rgb, 1, yuv, 0, 0, 1 << 16, 1 << 16);
    m_sourceWidth = sourceWidth;
    m_sourceHeight = sourceHeight;
    m_rect = rect;
    return true;
}

Conversion::Held& Conversion::heldBy(const std::uint8_t* buffer) {
    for (Held& held : m_held) {
        if (held.buffer == buffer) {
            return held;
        }
    }
    return m_held.emplace_back(Held{buffer});
}

// Converts the areas (widened to whole 2x2 chroma blocks) of a frame-sized picture.
void convertAreas(const PixelBuffer& source, const std::vector<PixelArea>& areas, AVFrame& frame) {
    for (const PixelArea& area : areas) {
        const int left = area.x & ~1;
        const int top = area.y & ~1;
        const int right = std::min((area.x + area.width + 1) & ~1, frame.width);
        const int bottom = std::min((area.y + area.height + 1) & ~1, frame.height);
        if (right <= left || bottom <= top) {
            continue;
        }
        const auto at = [&](int plane, int x, int y) {
            return frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane] + x;
        };
        convertBgraToI420(source.row(top) + 4 * left, source.bytesPerRow, right - left,
                          bottom - top, at(0, left, top), frame.linesize[0],
                          at(1, left / 2, top / 2), frame.linesize[1], at(2, left / 2, top / 2),
                          frame.linesize[2]);
    }
}

bool Conversion::convert(const PixelBuffer& source, AVFrame& frame) {
    std::lock_guard lock(m_mutex);
    Held& held = heldBy(frame.data[0]);
    if (source.width == frame.width && source.height == frame.height && frame.width % 2 == 0 &&
        frame.height % 2 == 0) {
        // The usual case: the capture already delivers the video's size.
        const std::uint64_t history = source.changes ? source.changes->id() : 0;
        if (history != 0 && held.history == history && held.serial <= source.serial) {
            if (held.serial == source.serial) {
                return true;  // a still screen: the frame already holds this picture
            }
            if (auto areas = source.changes->changedBetween(held.serial, source.serial)) {
                convertAreas(source, *areas, frame);
                held.serial = source.serial;
                return true;
            }
        }
        convertBgraToI420(source.bytes.data(), source.bytesPerRow, frame.width, frame.height,
                          frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1],
                          frame.data[2], frame.linesize[2]);
        held.history = history;
        held.serial = source.serial;
        return true;
    }
    held = Held{frame.data[0]};
    const Rect rect = fitRect(source.width, source.height, frame.width, frame.height);
    if (!prepareScaler(source.width, source.height, rect)) {
        return false;
    }
    fillOutside(frame, rect);
    const std::uint8_t* const sourcePlanes[] = {source.bytes.data()};
    const int sourceStrides[] = {source.bytesPerRow};
    std::uint8_t* const targetPlanes[] = {
        frame.data[0] + static_cast<std::ptrdiff_t>(rect.y) * frame.linesize[0] + rect.x,
        frame.data[1] + static_cast<std::ptrdiff_t>(rect.y / 2) * frame.linesize[1] + rect.x / 2,
        frame.data[2] + static_cast<std::ptrdiff_t>(rect.y / 2) * frame.linesize[2] + rect.x / 2,
    };
    return sws_scale(m_scaler, sourcePlanes, sourceStrides, 0, source.height, targetPlanes,
                     frame.linesize) > 0;
}

class FfmpegFrameCompositor final : public FrameCompositor {
  public:
    bool render(const PixelBuffer& source, EncoderFrame& target) override;

  private:
    const std::shared_ptr<Conversion> m_conversion = std::make_shared<Conversion>();
};

bool FfmpegFrameCompositor::render(const PixelBuffer& source, EncoderFrame& target) {
    auto* encoderFrame = dynamic_cast<FfmpegEncoderFrame*>(&target);
    if (!encoderFrame || source.width <= 0 || source.height <= 0 ||
        source.bytesPerRow < source.width * 4 ||
        source.bytes.size() < static_cast<std::size_t>(source.bytesPerRow) * source.height) {
        return false;
    }
    // A shared picture is converted by the writer's encoder thread when it takes the frame:
    // the caller (the recorder's tick) then hands a slot over without the cost of a picture.
    // The work holds the picture, so its owner cannot refill it meanwhile.
    if (auto shared = source.weak_from_this().lock()) {
        encoderFrame->setPendingPicture(
            [conversion = m_conversion, picture = std::move(shared)](AVFrame& frame) {
                return conversion->convert(*picture, frame);
            });
        return true;
    }
    encoderFrame->dropPendingPicture();
    return encoderFrame->ensurePicture() && m_conversion->convert(source, *encoderFrame->avFrame());
}

}  // namespace

PictureBuffers::PictureBuffers(int width, int height)
    : m_height(height),
      m_lumaStride((width + 63) & ~63),
      m_chromaStride(((width + 1) / 2 + 63) & ~63),
      m_pool(nullptr) {
    const std::size_t chromaBytes = static_cast<std::size_t>(m_chromaStride) * ((height + 1) / 2);
    const std::size_t bytes = static_cast<std::size_t>(m_lumaStride) * height + 2 * chromaBytes;
    m_pool = av_buffer_pool_init2(
        bytes + AV_INPUT_BUFFER_PADDING_SIZE, this,
        [](void* opaque, std::size_t size) {
            AVBufferRef* buffer = av_buffer_alloc(size);
            if (buffer) {
                const auto& self = *static_cast<PictureBuffers*>(opaque);
                const std::size_t luma =
                    static_cast<std::size_t>(self.m_lumaStride) * self.m_height;
                std::memset(buffer->data, kBlackLuma, luma);
                std::memset(buffer->data + luma, kNeutralChroma, size - luma);
            }
            return buffer;
        },
        nullptr);
}

PictureBuffers::~PictureBuffers() {
    // Buffers still out free themselves when they come back.
    av_buffer_pool_uninit(&m_pool);
}

bool PictureBuffers::attach(AVFrame& frame) {
    AVBufferRef* buffer = m_pool ? av_buffer_pool_get(m_pool) : nullptr;
    if (!buffer) {
        return false;
    }
    frame.buf[0] = buffer;
    frame.data[0] = buffer->data;
    frame.data[1] = frame.data[0] + static_cast<std::ptrdiff_t>(m_lumaStride) * m_height;
    frame.data[2] =
        frame.data[1] + static_cast<std::ptrdiff_t>(m_chromaStride) * ((m_height + 1) / 2);
    frame.extended_data = frame.data;
    frame.linesize[0] = m_lumaStride;
    frame.linesize[1] = frame.linesize[2] = m_chromaStride;
    return true;
}

std::unique_ptr<FfmpegEncoderFrame> FfmpegEncoderFrame::create(
    int width, int height, std::shared_ptr<PictureBuffers> buffers) {
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        return nullptr;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_MPEG;
    return std::unique_ptr<FfmpegEncoderFrame>(new FfmpegEncoderFrame(frame, std::move(buffers)));
}

FfmpegEncoderFrame::~FfmpegEncoderFrame() {
    av_frame_free(&m_frame);
}

bool FfmpegEncoderFrame::ensurePicture() {
    return m_frame->buf[0] || m_buffers->attach(*m_frame);
}

void FfmpegEncoderFrame::releasePicture() {
    // Not av_frame_unref: the frame keeps its size, format and colour range.
    av_buffer_unref(&m_frame->buf[0]);
    for (auto& plane : m_frame->data) {
        plane = nullptr;
    }
    m_frame->extended_data = nullptr;
}

bool FfmpegEncoderFrame::completePicture() {
    if (!ensurePicture()) {
        m_pending = nullptr;
        return false;
    }
    if (!m_pending) {
        return true;
    }
    const bool made = m_pending(*m_frame);
    m_pending = nullptr;  // lets the picture go back to its owner
    return made;
}

int FfmpegEncoderFrame::width() const {
    return m_frame->width;
}

int FfmpegEncoderFrame::height() const {
    return m_frame->height;
}

std::unique_ptr<FrameCompositor> makeFfmpegFrameCompositor() {
    return std::make_unique<FfmpegFrameCompositor>();
}

}  // namespace platform
