#include "SilentDetector.h"

#include "media/Fft.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

namespace recording {

SilentDetector::SilentDetector(Clock clock)
    : m_clock(std::move(clock)), m_lastSpeechTime(m_clock()) {}

double absoluteTimeNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

float rootMeanSquare(const float* samples, int count) {
    if (count <= 0) {
        return 0.0f;
    }
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return static_cast<float>(std::sqrt(sum / count));
}

float dominantFrequency(const float* samples, int count, float sampleRate) {
    const int n = std::max(count, 1);
    int size = 1;
    while (size * 2 <= n) {
        size *= 2;
    }
    if (size < 32) {
        return 0.0f;
    }
    size = std::min(size, 1024);

    std::vector<float> work(samples, samples + size);
    if (rootMeanSquare(work.data(), size) < 0.0001f) {
        return 0.0f;
    }
    double mean = 0.0;
    for (float v : work) {
        mean += v;
    }
    mean /= size;
    // Normalised Hann window (the denormalised form of length N, 0.5 - 0.5 cos(2 pi k / N)).
    for (int k = 0; k < size; ++k) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * k / size);
        work[static_cast<std::size_t>(k)] =
            static_cast<float>((work[static_cast<std::size_t>(k)] - mean) * window);
    }
    auto magnitudes = platform::realFftMagnitudes(work.data(), size);
    if (magnitudes.size() < 3) {
        return 0.0f;
    }
    // The first bin carries the mean and the last the edge of the band: neither is a voice.
    magnitudes.front() = 0.0f;
    magnitudes.back() = 0.0f;
    const auto peak = std::max_element(magnitudes.begin(), magnitudes.end()) - magnitudes.begin();
    return sampleRate / static_cast<float>(size) * static_cast<float>(peak);
}

}  // namespace recording
