// The whole microphone path for real: PulseAudio's 440 Hz sine source through the engine, the
// sample-rate converter, gain and clip into the AAC track of a real MP4. Runs under the virtual
// desktop that scripts/test.sh starts.
#include "RecorderFakes.h"

#include "MediaFile.h"

#include "media/FfmpegAssetWriter.h"
#include "media/Fft.h"
#include "media/PulseAudioEngine.h"
#include "media/PulseDeviceDiscovery.h"
#include "media/SwrAudioConverter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>

using platform::MediaTime;

TEST(MicrophoneIntegrationTest, ASineMicrophoneBecomesA440HzAacTrack) {
    const char* sine = std::getenv("KORVANE_TEST_SINE_SOURCE");
    if (!sine || !std::getenv("PULSE_SERVER")) {
        GTEST_SKIP() << "needs the PulseAudio of scripts/virtual-desktop.sh";
    }
    fakes::Rig rig;
    auto environment = rig.environment();
    environment.writerFactory = &platform::makeFfmpegAssetWriter;
    environment.converterFactory = &platform::makeAudioConverter;
    environment.audioEngineFactory = &platform::makePulseAudioEngine;
    environment.deviceDiscovery = platform::makePulseDeviceDiscovery();
    rig.defaults->setString("SelectedMicrophoneKey", sine);
    rig.recorder = recording::ScreenRecorder::create(nullptr, environment);

    const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/sine.mp4";
    rig.beginRecording(path);
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Sine"));
    // Stamped like the screen capture's frames, on the clock the microphone's buffers carry.
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    rig.sendFrame(320, 240,
                  MediaTime(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                            1'000'000'000));
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->microphone().hasEngine(); }));
    // The virtual source hands its audio over in blocks of up to two seconds, and what it heard
    // before the picture began is left out however much of it was converted: wait until a second
    // and a half of the file's own track is written (never ahead of the picture).
    ASSERT_TRUE(pumpUntil(
        [&] { return rig.recorder->audio().stats().framePosition >= 3 * 48000 / 2; }, 15000));
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000));

    MediaFile file(path);
    const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->codecpar->sample_rate, 48000);
    EXPECT_EQ(audio->codecpar->ch_layout.nb_channels, 1);
    std::vector<float> samples;
    file.decode(AVMEDIA_TYPE_AUDIO, [&](const AVFrame& frame, double) {
        const auto* data = reinterpret_cast<const float*>(frame.data[0]);
        samples.insert(samples.end(), data, data + frame.nb_samples);
    });
    ASSERT_GT(samples.size(), 48000u);
    // Sound from before the picture is left out and the track ends with the picture, however
    // large the blocks the source delivers.
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_NEAR(audio->duration * av_q2d(audio->time_base),
                video->duration * av_q2d(video->time_base), 0.1);
    // The last half second is certainly narration (the start may be the gap before it).
    const std::size_t at = samples.size() - 24000;
    double sum = 0;
    float peak = 0;
    for (std::size_t i = at; i < at + 16384; ++i) {
        sum += samples[i] * samples[i];
        peak = std::max(peak, std::abs(samples[i]));
    }
    const double rms = std::sqrt(sum / 16384);
    EXPECT_GT(rms, 0.05) << "the tone is heard";
    EXPECT_LE(peak, 0.99f) << "never beyond the clip level (AAC adds a little)";
    const auto magnitudes = platform::realFftMagnitudes(samples.data() + at, 16384);
    ASSERT_FALSE(magnitudes.empty());
    const auto peakBin =
        std::max_element(magnitudes.begin() + 1, magnitudes.end()) - magnitudes.begin();
    EXPECT_NEAR(peakBin * 48000.0 / 16384, 440.0, 6.0);
}
