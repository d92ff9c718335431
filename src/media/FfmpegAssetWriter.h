#pragma once

#include "platform/AssetWriter.h"

#include <expected>
#include <memory>
#include <string>

struct AVFrame;

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

// A yuv420p (limited range) picture owned by the writer's frame pool.
class FfmpegEncoderFrame final : public EncoderFrame {
  public:
    // Null when the picture cannot be allocated; the new picture is black.
    static std::unique_ptr<FfmpegEncoderFrame> create(int width, int height);
    ~FfmpegEncoderFrame() override;
    FfmpegEncoderFrame(const FfmpegEncoderFrame&) = delete;
    FfmpegEncoderFrame& operator=(const FfmpegEncoderFrame&) = delete;

    int width() const override;
    int height() const override;
    AVFrame* avFrame() const { return m_frame; }

  private:
    explicit FfmpegEncoderFrame(AVFrame* frame) : m_frame(frame) {}
    AVFrame* m_frame;
};

std::unique_ptr<FrameCompositor> makeFfmpegFrameCompositor();

}  // namespace platform
