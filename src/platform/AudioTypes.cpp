#include "AudioTypes.h"

namespace platform {

int AudioFormat::bytesPerFrame() const {
    switch (sampleType) {
        case SampleType::int16:
            return 2 * channels;
        case SampleType::float32:
        case SampleType::int32:
            return 4 * channels;
        case SampleType::other:
            break;
    }
    return 0;
}

PcmBuffer::PcmBuffer(const AudioFormat& f, int capacity)
    : format(f),
      frameCapacity(capacity),
      data(static_cast<std::size_t>(capacity) * f.bytesPerFrame()) {}

}  // namespace platform
