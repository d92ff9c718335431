#pragma once

#include "MediaTime.h"
#include "PixelBuffer.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class AssetWriterStatus { unknown, writing, completed, failed, cancelled };

// H.264 output: High profile, automatic level, no B-frames, CABAC, the given rate control.
struct VideoOutputSettings {
    int width = 0;
    int height = 0;
    std::int64_t averageBitRate = 6'000'000;
    int maxKeyFrameInterval = 60;
    int mediaTimeScale = 30;
    bool expectsMediaDataInRealTime = true;
};

// AAC-LC output.
struct AudioOutputSettings {
    int sampleRate = 48'000;
    int channels = 1;
    std::int64_t bitRate = 128'000;
    bool expectsMediaDataInRealTime = true;
};

// A frame in the encoder's own pixel format, taken from the writer's pool and handed back to
// it by appendVideo. Opaque to callers: FrameCompositor fills it.
class EncoderFrame {
  public:
    virtual ~EncoderFrame() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

// Renders a BGRA frame into an encoder frame: scaled to fit (aspect kept), centred on opaque
// black. Keeps its scaler between calls; one compositor per producing thread.
class FrameCompositor {
  public:
    virtual ~FrameCompositor() = default;
    virtual bool render(const PixelBuffer& source, EncoderFrame& target) = 0;
};

// The MP4 writer: one video input and at most one audio input. Appends may come from two
// threads (video and audio); the writer interleaves them safely.
class AssetWriter {
  public:
    virtual ~AssetWriter() = default;

    virtual const std::string& path() const = 0;
    virtual bool canAddVideoInput() const = 0;
    virtual bool addVideoInput(const VideoOutputSettings& settings) = 0;
    virtual bool canAddAudioInput() const = 0;
    virtual bool addAudioInput(const AudioOutputSettings& settings) = 0;
    virtual bool hasVideoInput() const = 0;
    virtual bool hasAudioInput() const = 0;

    // Opens the file and the encoders; false (with error()) when that fails.
    virtual bool startWriting() = 0;
    // The source time that becomes the file's time zero.
    virtual void startSession(MediaTime sourceTime) = 0;
    virtual AssetWriterStatus status() const = 0;
    virtual std::optional<std::string> error() const = 0;

    virtual bool isVideoReadyForMoreMediaData() const = 0;
    virtual bool isAudioReadyForMoreMediaData() const = 0;

    // A pooled frame at the video input's size; null when none can be had.
    virtual std::shared_ptr<EncoderFrame> makePooledFrame() = 0;
    virtual std::unique_ptr<FrameCompositor> makeCompositor() = 0;
    virtual bool appendVideo(std::shared_ptr<EncoderFrame> frame, MediaTime presentationTime) = 0;
    // Mono (or input-channel) 32-bit float samples at the audio input's rate. Audio is laid
    // end to end; a presentation time ahead of the end so far is reached with silence.
    virtual bool appendAudio(const float* samples, int frameCount, MediaTime presentationTime) = 0;

    virtual void markVideoAsFinished() = 0;
    virtual void markAudioAsFinished() = 0;
    // Flushes the encoders and closes the file; the completion runs on a thread of the writer.
    virtual void finishWriting(std::function<void()> completion) = 0;
    // Stops and removes the partial file.
    virtual void cancelWriting() = 0;
};

// Creates writers; tests pass a factory of fakes.
using AssetWriterFactory = std::function<std::expected<std::unique_ptr<AssetWriter>, std::string>(
    const std::string& path)>;

}  // namespace platform
