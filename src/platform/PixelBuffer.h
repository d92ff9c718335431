#pragma once

#include "MediaTime.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// One captured screen frame: 32-bit BGRA, rows of bytesPerRow bytes.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    std::vector<std::uint8_t> bytes;

    static std::shared_ptr<PixelBuffer> make(int width, int height);
    std::uint8_t* row(int y) { return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    const std::uint8_t* row(int y) const {
        return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow;
    }
};

enum class MediaType { video, audio, other };

// Which output of a capture stream a sample is for.
enum class StreamOutputType { screen, audio, microphone };

// What the capture stream hands to its outputs for every frame.
struct VideoSample {
    bool isValid = true;
    bool dataIsReady = true;
    MediaType mediaType = MediaType::video;
    std::shared_ptr<const PixelBuffer> imageBuffer;
    MediaTime presentationTime;
};

}  // namespace platform
