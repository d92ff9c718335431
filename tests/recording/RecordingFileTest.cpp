// The recorder writing real MP4 files (FFmpeg writer, real sample-rate converter), read back with
// libavformat. The microphone is the fake one, fed by the test in real time.
#include "RecorderFakes.h"

#include "MediaFile.h"

#include "media/FfmpegAssetWriter.h"
#include "media/SwrAudioConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <optional>
#include <utility>

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
        rig.recorder->video().handleSample(sample);
    }
    // The recorder's own timeline: frame slots passed, whether it filled them or left them empty.
    // A busy machine stretches wall-clock time but not this.
    std::int64_t slotsPassed() const { return rig.recorder->video().stats().frameIndex; }
    // Microphone buffers handed over but not yet written to the file.
    std::size_t audioWaiting() const {
        const auto s = rig.recorder->audio().stats();
        return s.pendingCount - s.pendingReadIndex;
    }
    std::int64_t framesWritten() const {
        const auto s = rig.recorder->video().stats();
        return s.frameIndex - static_cast<std::int64_t>(s.droppedFrameSlots);
    }
    // Everything already handed to the queue has run: a tick in progress is over.
    static void settle(platform::SerialQueue& queue) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        queue.post([done] { *done = true; });
        ASSERT_TRUE(pumpUntil([&] { return done->load(); }, 20000));
    }
    // Feeds the microphone in real time (1024 frames every ~21 ms) until the recorder has passed
    // the given frame slot; false when it has not after limitMs. Like a real device it keeps one
    // clock from its first buffer on: time spent between two calls, or a stall of this thread
    // (a loaded machine can hold it for seconds), is caught up before the slot is looked at, so
    // the sound handed over always reaches the moment the picture is checked.
    bool speakUntilSlot(std::int64_t slot, float level, int limitMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        if (!micClock.isValid()) {
            micClock.start();
        }
        for (;;) {
            while (sent * 1024 * 1000 / 48000 <= micClock.elapsed()) {
                std::vector<float> block(1024);
                for (int i = 0; i < 1024; ++i) {
                    block[static_cast<std::size_t>(i)] =
                        level * static_cast<float>(
                                    std::sin(2 * std::numbers::pi * 440 * (phase++) / 48000.0));
                }
                rig.sendAudio(block);
                ++sent;
                ++handed;
            }
            if (slotsPassed() >= slot) {
                return true;
            }
            if (timer.elapsed() > limitMs) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        }
    }
    // Stops and answers how many slots the recording passed and how many of them it left empty,
    // read before the writer state is cleared.
    std::pair<std::int64_t, std::int64_t> stop() {
        rig.recorder->finishRecording();
        // The encode timer is cancelled by now; the writer is finalized by a task queued after
        // this one, so the count read here is the file's.
        auto counts = std::make_shared<std::optional<std::pair<std::int64_t, std::int64_t>>>();
        auto recorder = rig.recorder;
        rig.recorder->video().writerQueue().post([counts, recorder] {
            const auto s = recorder->video().stats();
            *counts = std::make_pair(s.frameIndex, static_cast<std::int64_t>(s.droppedFrameSlots));
        });
        EXPECT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000));
        EXPECT_TRUE(counts->has_value());
        return counts->value_or(std::make_pair(std::int64_t{0}, std::int64_t{0}));
    }

    // A paused recording takes no sound: the device's buffers of the pause are not delivered.
    void skipMicrophoneTime() { sent = micClock.elapsed() * 48000 / 1000 / 1024; }

    fakes::Rig rig;
    std::string path;
    std::int64_t captureClock = 300;
    std::int64_t phase = 0;
    QElapsedTimer micClock;
    std::int64_t sent = 0;    // microphone buffers due since micClock started (the pause skipped)
    std::int64_t handed = 0;  // microphone buffers handed over
};

}  // namespace

TEST_F(RecordingFileTest, StillScreenWithNarrationMuteAndPause) {
    // Each part lasts 24 frame slots (0.8 s) of the recorder's timeline.
    constexpr std::int64_t part = 24;
    rig.beginRecording(path);
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    send(solid(640, 360, 128));
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->microphone().hasEngine(); }));
    // The narration is placed where the picture is when it starts: let the picture run first.
    ASSERT_TRUE(pumpUntil([&] { return slotsPassed() > 0; }, 20000)) << "the encoder never ran";
    // Each part runs at least `part` slots from where the picture is when it begins: a stall of
    // this thread may make one longer, never shorter.
    const std::int64_t spoken = slotsPassed();
    ASSERT_TRUE(speakUntilSlot(spoken + part, 0.5f));
    const auto waitingAtMute = audioWaiting();
    const std::int64_t handedAtMute = handed;
    rig.recorder->setMicrophoneMuted(true);
    ASSERT_TRUE(speakUntilSlot(slotsPassed() + part, 0.5f));
    const auto waitingAtUnmute = audioWaiting();
    const std::int64_t handedAtUnmute = handed;
    rig.recorder->setMicrophoneMuted(false);
    rig.recorder->setIsPaused(true);
    settle(rig.recorder->video().videoQueue());
    const std::int64_t paused = slotsPassed();
    fakes::pumpFor(400);
    EXPECT_EQ(slotsPassed(), paused) << "a paused recording passes no frame slots";
    rig.recorder->setIsPaused(false);
    skipMicrophoneTime();
    const std::int64_t writtenBeforeTheNewPicture = framesWritten();
    send(solid(360, 360, 235));  // another shape: pillar-boxed on black
    ASSERT_TRUE(speakUntilSlot(paused + part, 0.5f));
    const std::int64_t handedAtEnd = handed;
    // The new picture must reach the file, however many slots a slow encoder leaves empty.
    ASSERT_TRUE(
        pumpUntil([&] { return framesWritten() >= writtenBeforeTheNewPicture + 2; }, 20000));
    const auto [slotCount, emptySlots] = stop();

    MediaFile file(path);
    ASSERT_TRUE(file.isOpen());
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    const AVStream* audio = file.stream(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(video && audio);
    EXPECT_EQ(video->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->codecpar->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(video->codecpar->width, 640);
    EXPECT_EQ(video->codecpar->height, 360);
    if (emptySlots == 0) {
        // Guessed from the frame gaps: only a file without holes says 30/1.
        EXPECT_EQ(video->r_frame_rate.num, 30);
        EXPECT_EQ(video->r_frame_rate.den, 1);
    }
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
    ASSERT_GT(times.size(), 2u);
    for (const double t : times) {
        EXPECT_NEAR(t * 30, std::round(t * 30), 0.01) << "frames sit on the 1/30 s grid";
        EXPECT_GE(std::round(t * 30), 0);
        EXPECT_LT(std::round(t * 30), slotCount)
            << "every frame lies in a slot the recorder passed";
    }
    // A still screen fills every slot the recorder does not report empty; the pause adds none.
    EXPECT_EQ(static_cast<std::int64_t>(times.size()), slotCount - emptySlots)
        << slotCount << " slots, " << emptySlots << " left empty";
    EXPECT_GE(slotCount, paused + part);
    EXPECT_LE(leftEdge, 24) << "pillar-box bars are black";
    EXPECT_GE(centre, 200) << "the new picture fills the middle";

    std::vector<float> samples;
    double audioStart = -1;
    file.decode(AVMEDIA_TYPE_AUDIO, [&](const AVFrame& frame, double t) {
        if (audioStart < 0) {
            audioStart = t;
        }
        const auto* data = reinterpret_cast<const float*>(frame.data[0]);
        samples.insert(samples.end(), data, data + frame.nb_samples);
    });
    EXPECT_NEAR(audioStart, 0, 0.05) << "the audio track starts with the recording";
    const double audioSeconds = samples.size() / 48000.0;
    // Muted time keeps its length, paused time is cut, and the audio ends with the picture.
    EXPECT_NEAR(audioSeconds, slotCount / 30.0, 0.05);
    auto rms = [&](double from, double to) {
        double sum = 0;
        const auto a = static_cast<std::size_t>(from * 48000),
                   b = static_cast<std::size_t>(to * 48000);
        for (std::size_t i = a; i < b && i < samples.size(); ++i) {
            sum += samples[i] * samples[i];
        }
        return std::sqrt(sum / static_cast<double>(b - a));
    };
    // The narration starts no later than the picture it was heard with. From there on, the
    // sound handed over lies one block after the other: narration, the muted part silent but
    // still there, then narration again up to the picture's end. The edges of each part are left
    // out, where a block may fall either side.
    const auto loud = std::find_if(samples.begin(), samples.end(),
                                   [](float sample) { return std::abs(sample) > 0.1f; });
    ASSERT_NE(loud, samples.end()) << "the narration is in the file";
    const auto first = static_cast<double>(loud - samples.begin()) / 48000;
    EXPECT_LE(first, static_cast<double>(spoken) / 30 + 0.1);
    const auto at = [&](std::int64_t blocks) {
        return std::min(first + static_cast<double>(blocks) * 1024 / 48000, audioSeconds);
    };
    EXPECT_GT(rms(at(0) + 0.15, at(handedAtMute) - 0.15), 0.2) << "0.5 x 0.9 sine: rms about 0.32";
    EXPECT_LT(rms(at(handedAtMute) + 0.15, at(handedAtUnmute) - 0.15), 0.01)
        << "the muted part is silent (" << waitingAtMute << " and " << waitingAtUnmute
        << " buffers waiting to be written at the mute and the unmute)";
    EXPECT_GT(rms(at(handedAtUnmute) + 0.15, at(handedAtEnd) - 0.15), 0.2);
}
