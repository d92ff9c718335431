#include "RecorderFakes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using fakes::pumpUntil;
using recording::dominantFrequency;

namespace {

platform::PcmBuffer toneBuffer(double hz, float level, int frames = 1024) {
    platform::PcmBuffer buffer({platform::SampleType::float32, 48000.0, 1, true}, frames);
    buffer.frameLength = frames;
    for (int i = 0; i < frames; ++i) {
        buffer.floatData()[i] =
            level * static_cast<float>(std::sin(2 * std::numbers::pi * hz * i / 48000.0));
    }
    return buffer;
}

}  // namespace

TEST(SilenceDetectionTest, DominantFrequencyTellsHumFromVoice) {
    const auto hum = toneBuffer(50, 0.02f);
    EXPECT_LT(dominantFrequency(hum.floatData(), 1024, 48000.f), 60.f);
    EXPECT_FLOAT_EQ(dominantFrequency(hum.floatData(), 1024, 48000.f), 46.875f);
    const auto voice = toneBuffer(100, 0.02f);
    EXPECT_GE(dominantFrequency(voice.floatData(), 1024, 48000.f), 60.f);
    const auto tone = toneBuffer(1000, 0.2f, 4096);
    EXPECT_NEAR(dominantFrequency(tone.floatData(), 4096, 48000.f), 1000.f, 47.f)
        << "at most 1024 samples are used";

    EXPECT_EQ(dominantFrequency(voice.floatData(), 31, 48000.f), 0.f);
    EXPECT_GT(dominantFrequency(voice.floatData(), 32, 48000.f), 0.f);
    const auto quiet = toneBuffer(440, 0.00005f);
    EXPECT_EQ(dominantFrequency(quiet.floatData(), 1024, 48000.f), 0.f)
        << "near-silence has no frequency";
}

namespace {

class ReminderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.build();
        rig.recorder->silence().detector().setLastSpeechTime(rig.now->load());
    }
    // Analyses one buffer at the rig's current time and lets the main thread apply it.
    void analyse(const platform::PcmBuffer& buffer) {
        rig.recorder->silence().analyse(buffer);
        fakes::pumpFor(3);
    }
    void advance(double seconds) { rig.now->store(rig.now->load() + seconds); }
    fakes::Rig rig;
};

}  // namespace

TEST_F(ReminderTest, LongSilenceRaisesAReminderAfterAbout360SecondsThenEveryMinute) {
    const auto silence = toneBuffer(50, 0.01f);  // a hum below the level: silence
    std::vector<double> raisedAt;
    const double begin = rig.now->load();
    int token = 0;
    for (int second = 0; second <= 500; second += 2) {
        analyse(silence);
        if (rig.recorder->inactivityReminderToken() != token) {
            token = rig.recorder->inactivityReminderToken();
            raisedAt.push_back(rig.now->load() - begin);
            EXPECT_TRUE(rig.recorder->showReminder());
        }
        advance(2);
    }
    ASSERT_EQ(raisedAt.size(), 3u);
    EXPECT_NEAR(raisedAt[0], 360, 2.1);
    EXPECT_NEAR(raisedAt[1], 420, 2.1);
    EXPECT_NEAR(raisedAt[2], 480, 2.1);

    analyse(toneBuffer(100, 0.01f));  // a voice, however quiet
    EXPECT_FALSE(rig.recorder->showReminder());
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), rig.now->load());
    analyse(toneBuffer(30, 0.05f));  // loud enough whatever its pitch
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), rig.now->load());
    EXPECT_EQ(rig.recorder->inactivityReminderToken(), 3)
        << "speech clears the reminder, not the count";

    rig.recorder->microphone().stop(false);
    EXPECT_EQ(rig.recorder->inactivityReminderToken(), 0);
}

TEST_F(ReminderTest, ShortSilencesKeepPushingTheThrottleAndEmptyBuffersAreIgnored) {
    const auto silence = toneBuffer(50, 0.01f);
    for (int i = 0; i < 100; ++i) {
        analyse(silence);
        advance(2.9);  // under 300 s in all: never long silence
    }
    EXPECT_EQ(rig.recorder->inactivityReminderToken(), 0);

    platform::PcmBuffer empty({platform::SampleType::float32, 48000.0, 1, true}, 16);
    const double before = rig.recorder->silence().detector().lastSpeechTime();
    rig.recorder->silence().analyse(empty);
    EXPECT_EQ(rig.recorder->silence().detector().lastSpeechTime(), before);
}
