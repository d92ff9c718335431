#pragma once

#include <atomic>
#include <functional>

namespace recording {

// The silence clock of the narration: when speech was last heard, and what counts as speech.
class SilentDetector {
  public:
    using Clock = std::function<double()>;  // absolute time in seconds

    explicit SilentDetector(Clock clock);

    const double silenceDuration = 300.0;
    const float rmsThreshold = 0.03f;
    const float frequencyThresholdHz = 60.0f;

    double lastSpeechTime() const { return m_lastSpeechTime.load(); }
    void setLastSpeechTime(double time) { m_lastSpeechTime.store(time); }
    double now() const { return m_clock(); }

  private:
    Clock m_clock;
    // Written by the analysis queue and by the threads that start and stop the microphone.
    std::atomic<double> m_lastSpeechTime;
};

// The frequency in hertz of the strongest spectral component of up to 1024 samples, or 0 for
// too few samples (fewer than 32) or a near-silent block.
float dominantFrequency(const float* samples, int count, float sampleRate);

// Root mean square of the samples (0 for none).
float rootMeanSquare(const float* samples, int count);

// The current absolute time in seconds.
double absoluteTimeNow();

}  // namespace recording
