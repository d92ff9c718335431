#pragma once

#include <vector>

namespace platform {

// Magnitudes of the first n/2 bins of the forward real FFT of n samples (n a power of two);
// empty when the transform cannot be planned.
std::vector<float> realFftMagnitudes(const float* samples, int n);

}  // namespace platform
