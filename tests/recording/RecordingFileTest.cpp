// The recorder writing real MP4 files (FFmpeg writer, real sample-rate converter), read back with
// libavformat. The microphone is the fake one, fed by the test in real time.
#include "RecorderFakes.h"

#include "MediaFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>

using fakes::pumpUntil;
using platform::MediaTime;

namespace {

std::shared_ptr<platform::PixelBuffer> solid(int width, int height, std::uint8_t gray) {
    auto picture = platform::PixelBuffer::make(width, height);
    for (std::size_t i = 0; i < picture->bytes.size(); i += 4) {
        picture->bytes[i] = picture->bytes[i + 1] = picture->bytes[i + 2] = gray;
        picture->bytes[i + 3] = 255;
    }
    return picture;
}

class RecordingFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/take.mp4";
        auto environment = rig.environment();
        environment.writerFactory = &platform::makeFfmpegAssetWriter;
        environment.converterFactory = &platform::makeAudioConverter;
        rig.recorder = recording::ScreenRecorder::create(nullptr, environment);
    }
    void send(std::shared_ptr<platform::PixelBuffer> picture) {
        platform::VideoSample sample;
        sample.imageBuffer = std::move(picture);
        sample.presentationTime = MediaTime(captureClock++, 30);
        rig.recorder->handleVideoSample(sample);
    }
    // Feeds the microphone in real time (1024 frames every ~21 ms) for the given span.
    void speak(int milliseconds, float level) {
        QElapsedTimer timer;
        timer.start();
        int sent = 0;
        while (timer.elapsed() < milliseconds) {
            while (sent * 1024 * 1000 / 48000 <= timer.elapsed()) {
                std::vector<float> block(1024);
                for (int i = 0; i < 1024; ++i) {
                    block[static_cast<std::size_t>(i)] =
                        level * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * (phase++) / 48000.0));
                }
                rig.sendAudio(block);
                ++sent;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        }
    }
    void stop() {
        rig.recorder->finishRecording();
        ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000));
    }

    fakes::Rig rig;
    std::string path;
    std::int64_t captureClock = 300;
    std::int64_t phase = 0;
};

}  // namespace

TEST_F(RecordingFileTest, StillScreenWithNarrationMuteAndPause) {
    rig.beginRecording(path);
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    send(solid(640, 360, 128));
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->snapshot().hasAudioEngine; }));
    speak(600, 0.5f);
    rig.recorder->setMicrophoneMuted(true);
    speak(600, 0.5f);
    rig.recorder->setMicrophoneMuted(false);
    rig.recorder->setIsPaused(true);
    fakes::pumpFor(400);
    rig.recorder->setIsPaused(false);
    send(solid(360, 360, 235));  // another shape: pillar-boxed on black
    speak(600, 0.5f);
    stop();

    MediaFile file(path);
    ASSERT_TRUE(file.isOpen());
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio);
    EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->codecpar->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(video->codecpar->width, 640);
    EXPECT_EQ(video->codecpar->height, 360);
    EXPECT_EQ(video->r_frame_rate.num, 30);
    EXPECT_EQ(video->r_frame_rate.den, 1);
    EXPECT_EQ(audio->codecpar->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(audio->codecpar->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(audio->codecpar->sample_rate, 48000);
    EXPECT_EQ(audio->codecpar->ch_layout.nb_channels, 1);

    std::vector<double> times;
    int leftEdge = -1;
    int centre = -1;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double t) {
        EXPECT_NE(frame.pict_type, AV_PICTURE_TYPE_B);
        times.push_back(t);
        leftEdge = frame.data[0][frame.linesize[0] * 180 + 20];
        centre = frame.data[0][frame.linesize[0] * 180 + 320];
    });
    // How many frames there are follows from the recorded span, checked below; a loaded machine
    // that delivers the first frame late records a shorter span.
    ASSERT_GT(times.size(), 2u);
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double gap = (times[i] - times[i - 1]) * 30;
        EXPECT_NEAR(gap, std::round(gap), 0.01) << "frames sit on the 1/30 s grid";
    }
    const double span = times.back() - times.front();
    // About 1.8 s were recorded unpaused; the 0.4 s pause is cut out; a still screen is 30 fps.
    // The lower bound leaves room for a busy machine (a sanitizer build beside a full build) that
    // delivers the first frame late.
    EXPECT_LT(span, 2.15);
    EXPECT_GT(span, 1.3);
    EXPECT_GE(static_cast<double>(times.size()), span * 30 - 3) << "a still screen still gives 30 frames a second";
    EXPECT_LE(leftEdge, 24) << "pillar-box bars are black";
    EXPECT_GE(centre, 200) << "the new picture fills the middle";

    // Audio: narration, then the muted third silent but still there, then narration again.
    std::vector<float> samples;
    double audioStart = -1;
    file.decode(AVMEDIA_TYPE_AUDIO, [&](const AVFrame& frame, double t) {
        if (audioStart < 0) {
            audioStart = t;
        }
        const auto* data = reinterpret_cast<const float*>(frame.data[0]);
        samples.insert(samples.end(), data, data + frame.nb_samples);
    });
    EXPECT_NEAR(audioStart, times.front(), 0.05) << "the audio track starts with the first frame";
    const double audioSeconds = samples.size() / 48000.0;
    EXPECT_NEAR(audioSeconds, 1.8, 0.25) << "muted time keeps its length; paused time is cut";
    const double videoSeconds = times.back() + 1.0 / 30 - times.front();
    EXPECT_GE(audioStart + audioSeconds, times.front() + videoSeconds - 0.001) << "the audio lasts to the last frame";
    auto rms = [&](double from, double to) {
        double sum = 0;
        const auto a = static_cast<std::size_t>(from * 48000), b = static_cast<std::size_t>(to * 48000);
        for (std::size_t i = a; i < b && i < samples.size(); ++i) {
            sum += samples[i] * samples[i];
        }
        return std::sqrt(sum / static_cast<double>(b - a));
    };
    EXPECT_GT(rms(0.1, 0.5), 0.2) << "0.5 x 0.9 sine: rms about 0.32";
    EXPECT_LT(rms(0.7, 1.1), 0.01) << "the muted span is silent";
    EXPECT_GT(rms(1.3, 1.6), 0.2);
}
