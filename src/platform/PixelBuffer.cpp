#include "PixelBuffer.h"

#include <algorithm>

namespace platform {

std::shared_ptr<PixelBuffer> PixelBuffer::make(int width, int height) {
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->width = std::max(width, 0);
    buffer->height = std::max(height, 0);
    buffer->bytesPerRow = buffer->width * 4;
    buffer->bytes.assign(static_cast<std::size_t>(buffer->bytesPerRow) * buffer->height, 0);
    return buffer;
}

}  // namespace platform
