#include "RecorderFakes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using fakes::pumpUntil;
using platform::MediaTime;

namespace {

std::vector<float> tone(double hz, float level, int frames = 1024) {
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        samples[static_cast<std::size_t>(i)] =
            level * static_cast<float>(std::sin(2 * std::numbers::pi * hz * i / 48000.0));
    }
    return samples;
}

class MicrophonePipelineTest : public ::testing::Test {
  protected:
    void SetUp() override { rig.build(); }
    void TearDown() override {
        rig.recorder->video().stopEncoder();
        rig.recorder.reset();
    }
    // Recording with a chosen microphone and a first frame: the writer runs, the tap is live.
    void startRecordingWithMicrophone() {
        rig.beginRecording();
        rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
        rig.sendFrame(320, 240, start);
        ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().writerStarted; }));
        fakes::pumpFor(10);  // the first frame's own microphone start, already posted
        ASSERT_TRUE(rig.recorder->microphone().hasEngine());
    }
    std::size_t writtenSamples() {
        std::size_t total = 0;
        for (const auto& chunk : rig.writer->audioCopy()) {
            total += chunk.samples.size();
        }
        return total;
    }
    bool drained() {
        const auto s = rig.recorder->audio().stats();
        return s.pendingReadIndex == s.pendingCount;
    }
    void settle() {
        rig.recorder->audio().queue().sync([] {});
        rig.recorder->audio().queue().sync([] {});
        rig.recorder->silence().queue().sync([] {});
        fakes::pumpFor(5);
    }
    // The tests hand audio over faster than it is spoken; the recorder writes none of it ahead
    // of the picture, so this waits for the picture to catch up.
    void settleWritten() {
        rig.recorder->audio().queue().sync([] {});  // the taps' buffers are queued
        EXPECT_TRUE(pumpUntil([&] { return drained(); }));
        settle();  // what the drain handed on (the silence watch) has run too
    }

    // The steady-clock moment the file's start shows (the fake capture stamps its frames on a
    // clock of its own).
    MediaTime pictureClockOrigin() const {
        const auto origin = rig.recorder->video().timeline().clockOrigin;
        EXPECT_TRUE(origin);
        return origin.value_or(MediaTime());
    }

    fakes::Rig rig;
    const MediaTime start{90'000, 90'000};
};

}  // namespace

TEST_F(MicrophonePipelineTest, AudioJoinsThePictureWithGainClipAndContiguousTimes) {
    startRecordingWithMicrophone();
    {
        std::lock_guard lock(rig.engine->mutex);
        EXPECT_EQ(rig.engine->lastDeviceId, "mic-1") << "no stored choice: the default input";
    }
    rig.sendAudio(std::vector<float>(1024, 1.2f));  // over full scale
    rig.sendAudio(tone(440, 0.5f));
    settleWritten();
    const auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 2u);
    // The first buffer sits where the picture was when it arrived (the recording runs already).
    const auto offset = (audio[0].pts - start).convertScale(48000).value;
    EXPECT_GE(offset, 0);
    EXPECT_LE(offset, rig.recorder->video().stats().frameIndex * 1600);
    EXPECT_EQ(audio[1].pts, audio[0].pts + MediaTime(1024, 48000));
    for (float v : audio[0].samples) {
        ASSERT_FLOAT_EQ(v, 0.98f) << "1.2 x 0.9 clips at 0.98";
    }
    const auto input = tone(440, 0.5f);
    for (std::size_t i = 0; i < input.size(); i += 97) {
        EXPECT_FLOAT_EQ(audio[1].samples[i], input[i] * 0.9f);
    }
}

TEST_F(MicrophonePipelineTest, MutedAudioIsSilentKeepsItsLengthAndIsStillHeardBySilenceWatch) {
    startRecordingWithMicrophone();
    for (int i = 0; i < 6; ++i) {
        rig.sendAudio(tone(440, 0.5f));
    }
    settleWritten();
    rig.recorder->setMicrophoneMuted(true);
    ASSERT_TRUE(rig.recorder->isMicrophoneMuted());
    EXPECT_TRUE(rig.recorder->microphone().hasEngine()) << "muting keeps the microphone running";
    rig.now->store(rig.now->load() + 500);  // the analysis sees this time when it hears speech
    for (int i = 0; i < 6; ++i) {
        rig.sendAudio(tone(440, 0.5f));
    }
    settleWritten();
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), rig.now->load())
        << "speech while muted still counts as speech";
    rig.recorder->setMicrophoneMuted(false);
    for (int i = 0; i < 6; ++i) {
        rig.sendAudio(tone(440, 0.5f));
    }
    settleWritten();
    const auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 18u);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].pts,
                  audio[0].pts + MediaTime(static_cast<std::int64_t>(1024 * i), 48000));
        const bool muted = i >= 6 && i < 12;
        float peak = 0;
        for (float v : audio[i].samples) {
            peak = std::max(peak, std::abs(v));
        }
        if (muted) {
            EXPECT_EQ(peak, 0.0f) << i;
        } else {
            EXPECT_GT(peak, 0.4f) << i;
        }
    }
}

TEST_F(MicrophonePipelineTest, QueueBookkeepingAcrossConsumedBuffersAndCompaction) {
    startRecordingWithMicrophone();
    rig.converter->zeroOutputFor = 0;  // the converter keeps the first buffer's samples to itself
    for (int i = 0; i < 300; ++i) {
        rig.sendAudio(tone(300, 0.2f, 64));
    }
    ASSERT_TRUE(pumpUntil([&] {
        settle();
        return rig.recorder->audio().stats().analysedBuffers >= 299;
    }));
    const auto s = rig.recorder->audio().stats();
    EXPECT_EQ(s.pendingCount, 43u) << "after 257 consumed buffers the queue drops them";
    EXPECT_EQ(s.pendingReadIndex, 43u);
    EXPECT_EQ(writtenSamples(), 299u * 64u) << "a buffer that yields nothing is still consumed";
}

TEST_F(MicrophonePipelineTest, AMicrophoneThatWarmsUpSlowlyStillLandsWhereThePictureIs) {
    startRecordingWithMicrophone();
    // The device delivers nothing for a while after it started.
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= 15; }));
    const auto index = rig.recorder->video().stats().frameIndex;
    rig.sendAudio(tone(440, 0.5f));
    settleWritten();
    const auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 1u);
    const auto offset = (audio[0].pts - start).convertScale(48000).value;
    EXPECT_GE(offset, index * 1600 - 1024 - 1600);
    EXPECT_LE(offset, (index + 3) * 1600);
}

// The drain never starts the writer: a writer that would not start ends the recording, and the
// sound heard meanwhile never reaches a file that was not started.
TEST_F(MicrophonePipelineTest, AudioIsNeverWrittenToAWriterThatDidNotStart) {
    rig.writer->failStart = true;
    rig.beginRecording();
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    rig.sendFrame(320, 240, start);
    for (int i = 0; i < 3; ++i) {
        rig.sendAudio(tone(440, 0.5f));
    }
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    settle();
    EXPECT_FALSE(rig.recorder->video().stats().writerStarted);
    EXPECT_TRUE(rig.writer->audioCopy().empty());
}

TEST_F(MicrophonePipelineTest, EverySixthBufferIsAnalysedCountingFromTheRecordersCreation) {
    startRecordingWithMicrophone();
    const double startedAt = rig.recorder->silence().detector().lastSpeechTime();
    for (int i = 1; i <= 4; ++i) {
        rig.now->store(startedAt + i);
        rig.sendAudio(tone(440, 0.5f));
        settleWritten();
    }
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), startedAt)
        << "buffers 1 to 4 are not analysed";

    // A new recording: the count goes on from 4.
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    rig.beginRecording();
    rig.recorder->setMicrophoneMuted(false);
    rig.sendFrame(320, 240, start);
    ASSERT_TRUE(pumpUntil([&] {
        return rig.recorder->video().stats().writerStarted &&
               rig.recorder->microphone().hasEngine();
    }));
    const double restartedAt = rig.recorder->silence().detector().lastSpeechTime();
    rig.now->store(restartedAt + 10);
    rig.sendAudio(tone(440, 0.5f));
    settleWritten();
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), restartedAt)
        << "the 5th buffer overall";
    rig.now->store(restartedAt + 20);
    rig.sendAudio(tone(440, 0.5f));
    settleWritten();
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), restartedAt + 20)
        << "the 6th buffer overall";
    EXPECT_EQ(rig.recorder->audio().stats().analysedBuffers, 6u);
}

TEST_F(MicrophonePipelineTest, AMicrophoneStartingIntoARunningRecordingJoinsAtThePicturesTime) {
    rig.beginRecording();
    rig.sendFrame(320, 240, start);  // no microphone chosen yet: the recording runs muted
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= 10; }));
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());
    rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone"));
    const auto indexAtStart = rig.recorder->video().stats().frameIndex;
    ASSERT_TRUE(rig.recorder->microphone().hasEngine())
        << "choosing a microphone lifts the automatic mute";
    rig.sendAudio(tone(440, 0.5f));
    settleWritten();
    const auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 1u);
    const auto offset = (audio[0].pts - start).convertScale(48000).value;
    EXPECT_GE(offset, (indexAtStart - 1) * 1600)
        << "the narration must not play before the picture it describes";
    EXPECT_LE(offset, (indexAtStart + 3) * 1600);
}

TEST_F(MicrophonePipelineTest, StoppingTheMicrophoneResetsTheReminder) {
    startRecordingWithMicrophone();
    rig.now->store(rig.now->load() + 61);  // a minute after the microphone started
    rig.recorder->silence().update(true);
    ASSERT_EQ(rig.recorder->inactivityReminderToken(), 1);
    ASSERT_TRUE(rig.recorder->showReminder());
    rig.recorder->microphone().stop(false);
    EXPECT_EQ(rig.recorder->inactivityReminderToken(), 0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->showReminder(); }));
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());
}

TEST_F(MicrophonePipelineTest, AStopRightAfterTheFirstFrameLeavesTheMicrophoneOff) {
    rig.recorder->setSelectedMicrophoneName(
        QStringLiteral("Desk Microphone"));  // not recording yet
    rig.beginRecording();
    ASSERT_FALSE(rig.recorder->microphone().hasEngine());
    rig.sendFrame(320, 240, start);
    // The first frame asks the main thread to start the microphone; the stop comes first.
    rig.recorder->video().videoQueue().sync([] {});
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    fakes::pumpFor(20);
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());
}

namespace {

// Where the written audio ends, in samples from the file's start.
std::int64_t audioEnd(const std::vector<fakes::WrittenAudio>& audio, MediaTime start) {
    const auto& last = audio.back();
    return (last.pts - start).convertScale(48000).value +
           static_cast<std::int64_t>(last.samples.size());
}

// Where the picture ends: the slot after the last frame written.
std::int64_t pictureEnd(const std::vector<fakes::WrittenFrame>& frames, MediaTime start) {
    return ((frames.back().pts - start).convertScale(30).value + 1) * 1600;
}

}  // namespace

TEST_F(MicrophonePipelineTest, AMicrophoneThatTellsTheTimeIsPlacedByItAndNeverAheadOfThePicture) {
    startRecordingWithMicrophone();
    // Half of the first buffer was heard before the first picture: that half is left out.
    rig.sendAudio(tone(440, 0.5f), pictureClockOrigin() - MediaTime(512, 48000));
    settleWritten();
    auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio[0].pts, start);
    ASSERT_EQ(audio[0].samples.size(), 512u);
    EXPECT_FLOAT_EQ(audio[0].samples[100], tone(440, 0.5f)[612] * 0.9f) << "the later half is kept";

    // Four seconds of sound at once, as a virtual source renders ahead: it is written only as
    // the picture gets there.
    constexpr std::size_t ahead = 188;
    for (std::size_t i = 0; i < ahead; ++i) {
        rig.sendAudio(tone(440, 0.5f));
    }
    settle();
    const auto pictureNow = rig.recorder->video().stats().frameIndex * 1600;
    audio = rig.writer->audioCopy();
    EXPECT_LE(audioEnd(audio, start), pictureNow + 1024);
    EXPECT_FALSE(drained()) << "the rest waits";
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->audioCopy().size() >= 10; }))
        << "and follows the picture";

    // Stopped half way: the track ends where the picture does (within the one buffer that may
    // have started just before it), the rest is left out.
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    audio = rig.writer->audioCopy();
    EXPECT_LT(audio.size(), ahead + 1);
    const auto end = pictureEnd(rig.writer->framesCopy(), start);
    EXPECT_GE(audioEnd(audio, start), end);
    EXPECT_LT(audioEnd(audio, start), end + 1024);
    for (std::size_t i = 1; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].pts,
                  audio[i - 1].pts +
                      MediaTime(static_cast<std::int64_t>(audio[i - 1].samples.size()), 48000))
            << "contiguous, " << i;
    }
}

TEST_F(MicrophonePipelineTest, ATrackThatFallsShortIsFilledWithSilenceToThePicturesEnd) {
    startRecordingWithMicrophone();
    // A time on some other clock (an hour off) is not believed: the buffer goes where it arrived.
    rig.sendAudio(tone(440, 0.5f), start + MediaTime(3600, 1));
    settleWritten();
    auto audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_LE((audio[0].pts - start).convertScale(48000).value,
              rig.recorder->video().stats().frameIndex * 1600);

    // Then the device goes quiet (or the trader muted it) while the picture runs on.
    const auto quietFrom = rig.recorder->video().stats().frameIndex;
    ASSERT_TRUE(
        pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= quietFrom + 10; }));
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    audio = rig.writer->audioCopy();
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[1].samples, std::vector<float>{0.0f})
        << "the writer fills up to the last sample with silence";
    EXPECT_EQ(audioEnd(audio, start), pictureEnd(rig.writer->framesCopy(), start));
}
