#pragma once

#include "platform/AssetWriter.h"

#include <expected>
#include <functional>
#include <memory>
#include <string>

struct AVFrame;
struct AVBufferPool;

namespace platform {

// The writer over libavformat/libavcodec (mp4, libx264, native aac).
std::expected<std::unique_ptr<AssetWriter>, std::string> makeFfmpegAssetWriter(
    const std::string& path);

// The x264 preset writers use by default: KORVANE_X264_PRESET when set, else "veryfast".
std::string defaultX264Preset();

// makeFfmpegAssetWriter with a chosen x264 preset. A separate name, not an overload, so
// &makeFfmpegAssetWriter still fits an AssetWriterFactory.
std::expected<std::unique_ptr<AssetWriter>, std::string> makeFfmpegAssetWriterWithPreset(
    const std::string& path, const std::string& x264Preset);

// Picture buffers for the writer's frames, reused: a frame holds one only from the moment its
// picture is made until it is encoded, so a few buffers serve however many frames wait. A new
// buffer is black; a reused one holds the picture it was last given.
class PictureBuffers {
  public:
    PictureBuffers(int width, int height);
    ~PictureBuffers();
    PictureBuffers(const PictureBuffers&) = delete;
    PictureBuffers& operator=(const PictureBuffers&) = delete;

    // Gives the frame (yuv420p, of this size) planes; false when out of memory.
    bool attach(AVFrame& frame);

  private:
    int m_height;
    int m_lumaStride;
    int m_chromaStride;
    AVBufferPool* m_pool;
};

// A yuv420p (limited range) picture of the writer's frame pool.
class FfmpegEncoderFrame final : public EncoderFrame {
  public:
    // Null when the frame cannot be allocated.
    static std::unique_ptr<FfmpegEncoderFrame> create(int width, int height,
                                                      std::shared_ptr<PictureBuffers> buffers);
    ~FfmpegEncoderFrame() override;
    FfmpegEncoderFrame(const FfmpegEncoderFrame&) = delete;
    FfmpegEncoderFrame& operator=(const FfmpegEncoderFrame&) = delete;

    int width() const override;
    int height() const override;
    // The frame with planes (false when none can be had).
    bool ensurePicture();
    AVFrame* avFrame() const { return m_frame; }
    // Gives the planes back once the encoder has taken the picture.
    void releasePicture();

    // The picture can be made later, by the thread that encodes it: the compositor leaves the
    // work here and the encoder does it first. False when the work failed.
    void setPendingPicture(std::function<bool(AVFrame&)> work) { m_pending = std::move(work); }
    bool completePicture();
    void dropPendingPicture() { m_pending = nullptr; }

  private:
    FfmpegEncoderFrame(AVFrame* frame, std::shared_ptr<PictureBuffers> buffers)
        : m_frame(frame), m_buffers(std::move(buffers)) {}
    AVFrame* m_frame;
    const std::shared_ptr<PictureBuffers> m_buffers;
    std::function<bool(AVFrame&)> m_pending;
};

std::unique_ptr<FrameCompositor> makeFfmpegFrameCompositor();

}  // namespace platform
