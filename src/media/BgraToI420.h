#pragma once

#include <cstdint>

namespace platform {

// BGRA (alpha ignored) to 4:2:0 planar YUV, BT.709 limited range, at the same size; width and
// height even. Chroma is taken from the average of each 2x2 block. Several times faster than
// the general scaler, for the usual case of a capture already at the video's size.
void convertBgraToI420(const std::uint8_t* bgra, int bgraStride, int width, int height,
                       std::uint8_t* y, int yStride, std::uint8_t* u, int uStride, std::uint8_t* v,
                       int vStride);

}  // namespace platform
