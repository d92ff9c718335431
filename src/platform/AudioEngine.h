#pragma once

#include "AudioTypes.h"

#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Captures one input device. The tap receives buffers of the requested size in the device's
// own format, on the engine's thread; the buffer is only valid during the call.
class AudioEngine {
  public:
    using TapBlock = std::function<void(const PcmBuffer&)>;
    // Why the capture ended by itself.
    using LossHandler = std::function<void(const std::string& reason)>;
    virtual ~AudioEngine() = default;

    // The device's format (what the tap delivers).
    virtual AudioFormat inputFormat() const = 0;
    virtual void installTap(int bufferFrames, TapBlock block) = 0;
    virtual void removeTap() = 0;
    virtual std::expected<void, std::string> start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    // Whether the tap's buffers say when they were heard once the device is running (the first
    // ones may still come without).
    virtual bool stampsCaptureTime() const { return false; }
    // Called once, on the engine's thread, when a started capture ends without stop(): the
    // device was unplugged or the sound server went away. Set it before start().
    virtual void setLossHandler(LossHandler handler) = 0;
};

// Makes an engine for a device id (a PulseAudio source name); empty means the default source.
using AudioEngineFactory = std::function<std::unique_ptr<AudioEngine>(const std::string& deviceId)>;

// Converts between formats (sample type, rate, channel count), keeping the samples it could not
// deliver yet between calls.
class AudioConverter {
  public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    // Called when the converter wants input: hand over a buffer (haveData) or say there is none.
    using InputBlock = std::function<InputStatus(const PcmBuffer** buffer)>;

    virtual ~AudioConverter() = default;
    // Fills output (up to its capacity) and sets its frameLength; an error text on failure.
    virtual std::expected<void, std::string> convert(PcmBuffer& output,
                                                     const InputBlock& input) = 0;
};

}  // namespace platform
