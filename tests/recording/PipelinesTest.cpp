// The video and audio pipelines on their own, without the recorder: the test turns the encode
// clock by hand, so every placement is exact.
#include "AudioPipeline.h"
#include "VideoPipeline.h"

#include "Pump.h"
#include "RecorderFakes.h"

#include "media/SwrAudioConverter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <vector>

namespace {

using platform::MediaTime;
using recording::AudioPipeline;
using recording::VideoPipeline;

class PipelinesTest : public ::testing::Test {
  protected:
    PipelinesTest() {
        VideoPipeline::Events events;
        events.sessionStarting = [this] {
            ++sessionsStarting;
            if (auto pipeline = audioPipeline.lock()) {
                pipeline->startTrack();
            }
        };
        events.writerReady = [this] { ++writersReady; };
        events.advanced = [this] {
            if (auto pipeline = audioPipeline.lock()) {
                pipeline->resumeIfWaiting();
            }
        };
        events.finished = [this] { ++finishes; };
        auto log = writer;
        video = VideoPipeline::create(
            [log](const std::string& path)
                -> std::expected<std::unique_ptr<platform::AssetWriter>, std::string> {
                {
                    std::lock_guard lock(log->mutex);
                    log->createdPaths.push_back(path);
                }
                return std::make_unique<fakes::FakeAssetWriter>(path, log);
            },
            false, std::move(events));
        audio = AudioPipeline::create(video, [this](const platform::PcmBuffer&) { ++heard; });
        audioPipeline = audio;
    }
    ~PipelinesTest() override {
        video->shutdown();
        audio->shutdown();
    }

    void sendFrame(MediaTime pts) {
        platform::VideoSample sample;
        sample.imageBuffer = platform::PixelBuffer::make(320, 240);
        sample.presentationTime = pts;
        video->writerQueue().post([this, sample] { video->handleSample(sample); });
        settle();
    }
    void tick(std::uint64_t ticks = 1) {
        video->videoQueue().sync([&] { video->encodeTick(ticks); });
        settle();
    }
    // One tap buffer of `frames` samples at `level`, as the engine hands it over.
    void speak(int frames, float level, MediaTime heardAt = {}) {
        platform::PcmBuffer buffer(AudioPipeline::targetFormat(), frames);
        buffer.frameLength = frames;
        buffer.captureTime = heardAt;
        std::fill(buffer.floatData(), buffer.floatData() + frames, level);
        audio->handleTap(buffer);
        settle();
    }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            video->writerQueue().sync([] {});
            video->videoQueue().sync([] {});
            audio->queue().sync([] {});
        }
    }
    // Where each buffer went (file samples), told apart by their levels: every buffer has a
    // level of its own (kept below the clip, which the gain cannot reach).
    std::vector<std::int64_t> bufferStarts() {
        std::vector<std::int64_t> starts;
        std::optional<float> level;
        for (const auto& chunk : writer->audioCopy()) {
            // (Silence is the writer's filler at the end.)
            if (!chunk.samples.empty() && chunk.samples.front() != 0.0f &&
                chunk.samples.front() != level) {
                level = chunk.samples.front();
                starts.push_back((chunk.pts - start).convertScale(48000).value);
            }
        }
        return starts;
    }
    void followForAnHour(double ppm);
    static float levelOf(int buffer) { return 0.1f + 0.5f * static_cast<float>(buffer % 7) / 7; }
    void startNarratedRecording(std::uint64_t pictureSlots) {
        video->setPendingOutputURL("/tmp/followed.mp4");
        sendFrame(start);
        tick(pictureSlots);
        audio->beginMicrophone(std::make_shared<fakes::PassThroughConverter>());
    }
    std::int64_t samplesWritten() {
        std::int64_t total = 0;
        for (const auto& chunk : writer->audioCopy()) {
            total += static_cast<std::int64_t>(chunk.samples.size());
        }
        return total;
    }

    const MediaTime start{9000, 600};
    std::shared_ptr<fakes::WriterLog> writer = std::make_shared<fakes::WriterLog>();
    std::shared_ptr<VideoPipeline> video;
    std::shared_ptr<AudioPipeline> audio;
    std::weak_ptr<AudioPipeline> audioPipeline;
    std::atomic<int> sessionsStarting{0};
    std::atomic<int> writersReady{0};
    std::atomic<int> finishes{0};
    std::atomic<int> heard{0};
};

TEST_F(PipelinesTest, OneWriterPerRecordingFinishedOrCancelledAndNeverReopened) {
    sendFrame(start);
    EXPECT_EQ(writer->createdPaths.size(), 0u) << "no file named: the frame is let go";

    video->setPendingOutputURL("/tmp/one.mp4");
    sendFrame(start);
    sendFrame(start + MediaTime(1, 30));
    tick();
    tick(3);  // a late run: two slots left empty
    EXPECT_EQ(writer->createdPaths, std::vector<std::string>{"/tmp/one.mp4"});
    EXPECT_EQ(sessionsStarting.load(), 1);
    EXPECT_EQ(writersReady.load(), 1);
    auto stats = video->stats();
    EXPECT_EQ(stats.frameIndex, 4);
    EXPECT_EQ(stats.droppedFrameSlots, 2u);
    ASSERT_EQ(writer->framesCopy().size(), 2u);
    EXPECT_EQ(writer->framesCopy()[1].pts, start + MediaTime(3, 30)) << "the slot of the late run";

    video->writerQueue().sync([&] { video->finalize(); });
    EXPECT_TRUE(writer->finished);
    EXPECT_EQ(finishes.load(), 1);
    stats = video->stats();
    EXPECT_FALSE(stats.hasWriter);
    EXPECT_FALSE(stats.hasFirstFrame);
    EXPECT_EQ(stats.frameIndex, 0);
    sendFrame(start + MediaTime(5, 30));
    EXPECT_EQ(writer->createdPaths.size(), 1u) << "the finished file is not opened again";

    // A recording thrown away: its writer is cancelled, no finish is announced, and a frame
    // that comes late opens no new file.
    video->setPendingOutputURL("/tmp/two.mp4");
    sendFrame(start);
    video->videoQueue().sync([&] { video->cancel(); });
    EXPECT_TRUE(writer->cancelled);
    EXPECT_EQ(finishes.load(), 1);
    sendFrame(start + MediaTime(1, 30));
    EXPECT_EQ(writer->createdPaths.size(), 2u);
    EXPECT_FALSE(video->stats().hasWriter);
}

TEST_F(PipelinesTest, SoundFollowsThePictureAndEndsWithIt) {
    // No writer yet: the microphone's buffers go nowhere.
    audio->beginMicrophone(std::make_shared<fakes::PassThroughConverter>());
    speak(1024, 0.5f);
    EXPECT_EQ(audio->stats().pendingCount, 0u);

    video->setPendingOutputURL("/tmp/narrated.mp4");
    sendFrame(start);
    ASSERT_TRUE(video->stats().hasAudioInput);
    tick();  // the picture is at 1/30 s: 1600 samples
    audio->beginMicrophone(std::make_shared<fakes::PassThroughConverter>());
    for (int i = 0; i < 4; ++i) {
        speak(1024, 0.5f);
    }
    // The first buffer belongs where the picture was when it was heard; nothing is written
    // ahead of the picture.
    auto chunks = writer->audioCopy();
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks[0].pts, start + MediaTime(1600 - 1024, 48000));
    EXPECT_EQ(samplesWritten(), 1024) << "the second buffer would start where the picture is";
    EXPECT_EQ(audio->stats().pendingReadIndex, 1u);

    tick();  // 3200: the picture moved on, so does the sound
    EXPECT_EQ(samplesWritten(), 3072);

    // The end: the track is cut where the picture ends (3 slots: 4800 samples from the start).
    tick();
    audio->queue().sync([&] { audio->finishTrack(); });
    chunks = writer->audioCopy();
    const auto& last = chunks.back();
    const auto end = (last.pts - start).convertScale(48000).value +
                     static_cast<std::int64_t>(last.samples.size());
    EXPECT_EQ(end, 4800) << "what lies beyond the picture is cut";
    EXPECT_EQ(audio->stats().framePosition, 4800);
}

TEST_F(PipelinesTest, SoundHeardBeforeTheFirstPictureIsLeftOut) {
    video->setPendingOutputURL("/tmp/early.mp4");
    sendFrame(start);
    tick(2);
    audio->beginMicrophone(std::make_shared<fakes::PassThroughConverter>());
    // The device says when it heard its first buffer: 3000 samples before the first picture.
    // Two buffers lie wholly before the file's start, the third reaches 72 samples into it.
    speak(1024, 0.25f, start - MediaTime(3000, 48000));
    speak(1024, 0.5f);
    speak(1024, 0.75f);
    speak(1024, 1.0f);
    const auto chunks = writer->audioCopy();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].pts, start);
    EXPECT_EQ(chunks[1].pts, start + MediaTime(72, 48000));
    ASSERT_EQ(chunks[0].samples.size(), 72u);
    ASSERT_EQ(chunks[1].samples.size(), 1024u);
    // The recorder's gain applies to both alike: the levels tell the buffers apart.
    const float gain = chunks[1].samples.front();
    EXPECT_GT(gain, 0.5f);
    EXPECT_EQ(chunks[0].samples, std::vector<float>(72, chunks[0].samples.front()));
    EXPECT_NEAR(chunks[0].samples.front(), 0.75f * gain, 1e-5f) << "the third buffer's end";
}

TEST_F(PipelinesTest, ATrackThatFallsShortIsFilledToThePicturesEnd) {
    video->setPendingOutputURL("/tmp/quiet.mp4");
    sendFrame(start);
    tick(30);
    audio->queue().sync([&] { audio->finishTrack(); });
    const auto chunks = writer->audioCopy();
    ASSERT_EQ(chunks.size(), 1u) << "one silent sample at the end; the writer fills the gap";
    EXPECT_EQ(chunks[0].pts, start + MediaTime(48000 - 1, 48000));
    EXPECT_EQ(chunks[0].samples, std::vector<float>{0.0f});
}

// A device whose clock runs 300 parts per million slow or fast, for an hour: laid end to end its
// sound would end up 1.08 s off the picture. Each second's buffer stays within the follow
// threshold of where its stamp puts it, and the track moves in small steps only.
void PipelinesTest::followForAnHour(double ppm) {
    writer->keepsAllSamples = false;
    startNarratedRecording(60);
    constexpr int kSeconds = 3600;
    const auto stampOf = [&](int second) {
        return std::llround(second * 48000.0 * (1 + ppm * 1e-6));
    };
    for (int second = 0; second < kSeconds; ++second) {
        speak(48000, levelOf(second), start + MediaTime(stampOf(second), 48000));
        tick(30);
    }
    audio->queue().sync([&] { audio->finishTrack(); });
    const auto starts = bufferStarts();
    ASSERT_EQ(starts.size(), static_cast<std::size_t>(kSeconds));
    for (int second = 0; second < kSeconds; ++second) {
        ASSERT_LE(std::abs(starts[second] - stampOf(second)),
                  AudioPipeline::followThresholdFrames + 15)
            << "second " << second;
    }
    for (int second = 1; second < kSeconds; ++second) {
        ASSERT_LE(std::abs(starts[second] - starts[second - 1] - 48000),
                  AudioPipeline::followThresholdFrames + 15)
            << "a gentle step at second " << second;
    }
}

TEST_F(PipelinesTest, OverAnHourTheTrackFollowsADeviceClockThatRunsSlow) {
    followForAnHour(300);  // silence goes in
}

TEST_F(PipelinesTest, OverAnHourTheTrackFollowsADeviceClockThatRunsFast) {
    followForAnHour(-300);  // sound is dropped
}

// Bursts, a late start and a gap: a device that warms up and hands over its first sound 1.5 s
// late, the rest in a burst, loses half a second, and sends one stray stamp.
TEST_F(PipelinesTest, BurstsALateStartAndAGapKeepEverySoundInItsPlace) {
    startNarratedRecording(150);  // the picture is at 5 s
    std::vector<std::int64_t> heard;
    const auto speakAt = [&](std::int64_t at) {
        heard.push_back(at);
        speak(1024, levelOf(static_cast<int>(heard.size())), start + MediaTime(at, 48000));
    };
    // Heard from 0.5 s on, handed over at 2 s in one burst.
    for (int i = 0; i < 60; ++i) {
        speakAt(24000 + 1024 * i);
    }
    // Half a second the device lost: nothing for it, then the sound goes on.
    const std::int64_t resumed = heard.back() + 1024 + 24000;
    for (int i = 0; i < 10; ++i) {
        speakAt(resumed + 1024 * i);
    }
    // One stamp 200 ms off among steady ones moves nothing.
    speakAt(resumed + 1024 * 10 + 9600);
    for (int i = 11; i < 14; ++i) {
        speakAt(resumed + 1024 * i);
    }
    const auto starts = bufferStarts();
    ASSERT_EQ(starts.size(), heard.size());
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const std::int64_t expected = i == 70 ? resumed + 1024 * 10 : heard[i];
        EXPECT_EQ(starts[i], expected) << "buffer " << i;
    }
}

// A source that hands over two seconds at once, rendered ahead: each block arrives when its first
// sample is heard. Pulse has no timing for the stream before sound came through it, so the first
// block comes without stamps, the next ones with. The first block is laid up to the first stamp:
// the tone runs on without a gap and every buffer sits where it was heard.
TEST_F(PipelinesTest, ABlockHandedOverBeforeTheFirstStampSitsRightBeforeIt) {
    video->setPendingOutputURL("/tmp/blocks.mp4");
    sendFrame(start);
    tick(150);  // the picture is at 5 s
    audio->beginMicrophone(std::make_shared<fakes::PassThroughConverter>(), true);
    constexpr int kBuffer = 4000;
    constexpr int kPerBlock = 24;  // two seconds
    constexpr std::int64_t kFirstHeard = 5 * 48000;
    int sent = 0;
    for (int block = 0; block < 3; ++block) {
        for (int i = 0; i < kPerBlock; ++i, ++sent) {
            const auto heard = start + MediaTime(kFirstHeard + std::int64_t{kBuffer} * sent, 48000);
            speak(kBuffer, levelOf(sent), block == 0 ? MediaTime() : heard);
        }
        tick(60);
    }
    audio->queue().sync([&] { audio->finishTrack(); });
    const auto starts = bufferStarts();
    ASSERT_EQ(starts.size(), static_cast<std::size_t>(sent));
    for (int i = 0; i < sent; ++i) {
        EXPECT_EQ(starts[i], kFirstHeard + std::int64_t{kBuffer} * i) << "buffer " << i;
    }
    EXPECT_EQ(samplesWritten(), std::int64_t{kBuffer} * sent) << "the tone ends with the picture";
}

// A microphone that went away leaves sound queued in its own format, and the one that takes over
// delivers in another: each is converted from what it is, so nothing heard before the switch is
// lost.
TEST_F(PipelinesTest, SoundQueuedFromAReplacedMicrophoneIsKept) {
    startNarratedRecording(30);
    for (int i = 0; i < 4; ++i) {
        speak(1024, levelOf(i));  // the picture's end holds all but the first back
    }
    const platform::AudioFormat headset{platform::SampleType::int16, 48'000.0, 1, true};
    audio->beginMicrophone(platform::makeAudioConverter(headset, AudioPipeline::targetFormat()));
    platform::PcmBuffer buffer(headset, 2048);
    buffer.frameLength = buffer.frameCapacity;
    std::fill_n(reinterpret_cast<std::int16_t*>(buffer.data.data()), buffer.frameLength,
                std::int16_t{16384});
    audio->handleTap(buffer);
    tick(30);
    const auto fromFirst = [](float sample) {
        for (int i = 0; i < 4; ++i) {
            if (std::abs(sample - levelOf(i) * AudioPipeline::gain) < 1e-6f) {
                return true;
            }
        }
        return false;
    };
    int first = 0;
    int second = 0;
    for (const auto& chunk : writer->audioCopy()) {
        for (const float sample : chunk.samples) {
            first += fromFirst(sample) ? 1 : 0;
            second += std::abs(sample - 0.5f * AudioPipeline::gain) < 1e-3f ? 1 : 0;
        }
    }
    EXPECT_EQ(first, 4 * 1024) << "the first microphone's sound, all of it";
    EXPECT_GT(second, 0) << "the second microphone's";
}

}  // namespace
