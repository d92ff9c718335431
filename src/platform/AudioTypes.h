#pragma once

#include "MediaTime.h"

#include <cstdint>
#include <vector>

namespace platform {

enum class SampleType { float32, int16, int32, other };

struct AudioFormat {
    SampleType sampleType = SampleType::float32;
    double sampleRate = 48'000.0;
    int channels = 1;
    bool interleaved = true;

    int bytesPerFrame() const;
    bool operator==(const AudioFormat&) const = default;
};

// A block of interleaved PCM frames in its format.
struct PcmBuffer {
    AudioFormat format;
    int frameCapacity = 0;
    int frameLength = 0;
    std::vector<std::uint8_t> data;  // frameCapacity x bytesPerFrame bytes
    // When the device heard the first frame, on the steady clock the screen capture stamps its
    // frames with (nanoseconds); invalid when the device cannot tell.
    MediaTime captureTime;

    PcmBuffer() = default;
    PcmBuffer(const AudioFormat& format, int frameCapacity);
    float* floatData() { return reinterpret_cast<float*>(data.data()); }
    const float* floatData() const { return reinterpret_cast<const float*>(data.data()); }
    bool hasFloatData() const { return format.sampleType == SampleType::float32 && !data.empty(); }
};

}  // namespace platform
