#include "media/BgraToI420.h"
#include "media/FfmpegAssetWriter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform {

namespace {

// Limited-range black.
constexpr std::uint8_t kBlackLuma = 16;
constexpr std::uint8_t kNeutralChroma = 128;

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

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

class FfmpegFrameCompositor final : public FrameCompositor {
  public:
    FfmpegFrameCompositor() = default;
    ~FfmpegFrameCompositor() override { sws_freeContext(m_scaler); }
    FfmpegFrameCompositor(const FfmpegFrameCompositor&) = delete;
    FfmpegFrameCompositor& operator=(const FfmpegFrameCompositor&) = delete;

    bool render(const PixelBuffer& source, EncoderFrame& target) override;

  private:
    bool prepareScaler(int sourceWidth, int sourceHeight, Rect rect);

    SwsContext* m_scaler = nullptr;
    int m_sourceWidth = 0;
    int m_sourceHeight = 0;
    Rect m_rect;
};

bool FfmpegFrameCompositor::prepareScaler(int sourceWidth, int sourceHeight, Rect rect) {
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

bool FfmpegFrameCompositor::render(const PixelBuffer& source, EncoderFrame& target) {
    auto* encoderFrame = dynamic_cast<FfmpegEncoderFrame*>(&target);
    if (!encoderFrame || source.width <= 0 || source.height <= 0 ||
        source.bytesPerRow < source.width * 4 ||
        source.bytes.size() < static_cast<std::size_t>(source.bytesPerRow) * source.height) {
        return false;
    }
    AVFrame& frame = *encoderFrame->avFrame();
    if (source.width == frame.width && source.height == frame.height && frame.width % 2 == 0 &&
        frame.height % 2 == 0) {
        // The usual case: the capture already delivers the video's size.
        convertBgraToI420(source.bytes.data(), source.bytesPerRow, frame.width, frame.height,
                          frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1],
                          frame.data[2], frame.linesize[2]);
        return true;
    }
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

}  // namespace

std::unique_ptr<FfmpegEncoderFrame> FfmpegEncoderFrame::create(int width, int height) {
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        return nullptr;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
        return nullptr;
    }
    fillOutside(*frame, Rect{});
    return std::unique_ptr<FfmpegEncoderFrame>(new FfmpegEncoderFrame(frame));
}

FfmpegEncoderFrame::~FfmpegEncoderFrame() {
    av_frame_free(&m_frame);
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
