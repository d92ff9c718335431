#include "RecorderFakes.h"

#include <gtest/gtest.h>

#include <thread>

using fakes::pumpUntil;
using platform::MediaTime;
using recording::VideoScale;

namespace {

class VideoPathTest : public ::testing::Test {
  protected:
    void SetUp() override { rig.build(); }
    void TearDown() override {
        rig.recorder->video().stopEncoder();
        rig.recorder.reset();
    }
    fakes::Rig rig;
    const MediaTime start{5'000'000, 1'000'000};  // 5 s on a capture clock
};

}  // namespace

TEST_F(VideoPathTest, AFreshRecorderHasNoWriterAndIsMutedForLackOfAMicrophoneChoice) {
    auto& r = *rig.recorder;
    EXPECT_FALSE(r.video().stats().hasWriter);
    EXPECT_FALSE(r.video().stats().isEncoderRunning);
    EXPECT_EQ(r.audio().stats().pendingCount, 0u);
    EXPECT_FALSE(r.isRecording());
    EXPECT_EQ(r.inactivityReminderToken(), 0);
    EXPECT_TRUE(r.isMicrophoneMuted());
    EXPECT_TRUE(r.microphone().autoMutedDueToNoSelection());
    EXPECT_FALSE(r.isMicrophoneSourceSelected());
    EXPECT_EQ(recording::VideoPipeline::targetFPS, 30);
    EXPECT_EQ(r.video().writerQueue().label(), "screen.recorder.writer");
    EXPECT_EQ(r.video().videoQueue().label(), "screen.recorder.video");
    EXPECT_EQ(r.audio().queue().label(), "screen.recorder.audio");
    EXPECT_EQ(r.silence().queue().label(), "screen.recorder.audio.analysis");

    EXPECT_EQ(recording::videoScaleFromRaw(1), VideoScale::normal);
    EXPECT_EQ(recording::videoScaleFromRaw(2), VideoScale::high);
    EXPECT_FALSE(recording::videoScaleFromRaw(0));
    EXPECT_FALSE(recording::videoScaleFromRaw(3));

    using Kind = recording::SelectedContentInfo::Kind;
    EXPECT_EQ(recording::SelectedContentInfo::kindFromRaw("display"), Kind::display);
    EXPECT_EQ(recording::SelectedContentInfo::kindFromRaw("window"), Kind::window);
    EXPECT_FALSE(recording::SelectedContentInfo::kindFromRaw("Window"));

    // Only screen samples reach the frame handler.
    recording::ScreenRecorder::StreamOutput output;
    int handled = 0;
    platform::VideoSample sample;
    output.didOutputSampleBuffer(sample, platform::StreamOutputType::screen);  // no handler yet
    output.videoSampleHandler = [&](const platform::VideoSample&) { ++handled; };
    output.didOutputSampleBuffer(sample, platform::StreamOutputType::audio);
    output.didOutputSampleBuffer(sample, platform::StreamOutputType::microphone);
    EXPECT_EQ(handled, 0);
    output.didOutputSampleBuffer(sample, platform::StreamOutputType::screen);
    EXPECT_EQ(handled, 1);
}

TEST_F(VideoPathTest, FirstFrameSetsUpTheWriterAndAStillScreenKeepsTheRate) {
    rig.beginRecording("/tmp/a.mp4");
    rig.sendFrame(1, 601, start);  // a 1-pixel-wide frame still makes a valid video
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->framesCopy().size() >= 12; }));

    {
        std::lock_guard lock(rig.writer->mutex);
        ASSERT_EQ(rig.writer->videoSettings.size(), 1u);
        const auto& video = rig.writer->videoSettings[0];
        EXPECT_EQ(video.width, 2);
        EXPECT_EQ(video.height, 601);
        EXPECT_EQ(video.averageBitRate, 6'000'000);
        EXPECT_EQ(video.maxKeyFrameInterval, 60);
        EXPECT_EQ(video.mediaTimeScale, 30);
        EXPECT_EQ(rig.writer->audioInputs, 1);
        EXPECT_EQ(rig.writer->sessionStart, start);
        EXPECT_EQ(rig.writer->createdPaths, std::vector<std::string>{"/tmp/a.mp4"});
    }
    // No new frame arrived, yet the newest picture is written on every slot from the first.
    const auto frames = rig.writer->framesCopy();
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_GE(frames[k].pts, start);
        EXPECT_EQ(frames[k].sourceWidth, 1);
        if (k > 0) {
            EXPECT_GT(frames[k].pts, frames[k - 1].pts);
        }
    }
    EXPECT_EQ(frames[0].pts, start);
    const auto stats = rig.recorder->video().stats();
    EXPECT_EQ(stats.videoSize, std::make_pair(2, 601));
    EXPECT_TRUE(stats.isEncoderRunning);
}

TEST_F(VideoPathTest, SlotsFollowTheClockEvenWhenTheQueueStalls) {
    rig.beginRecording();
    rig.sendFrame(640, 480, start);
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->framesCopy().size() >= 3; }));
    const auto begin = std::chrono::steady_clock::now();
    // A busy video queue: several ticks come due while it works.
    rig.recorder->video().videoQueue().post(
        [] { std::this_thread::sleep_for(std::chrono::milliseconds(250)); });
    fakes::pumpFor(700);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    rig.recorder->video().stopEncoder();

    const auto frames = rig.writer->framesCopy();
    // Every slot's time is firstPTS + k/30 for a whole k.
    std::int64_t largestGap = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        const auto slotDelta = (frames[i].pts - frames[i - 1].pts).convertScale(30);
        EXPECT_EQ((frames[i].pts - frames[i - 1].pts), slotDelta) << "not on a 1/30 s grid";
        largestGap = std::max(largestGap, slotDelta.value);
    }
    EXPECT_GE(largestGap, 4) << "the stall must show as skipped slots, not as a shifted timeline";
    EXPECT_GE(rig.recorder->video().stats().droppedFrameSlots, 3u) << "and be counted as dropped";
    const auto stats = rig.recorder->video().stats();
    const double slotsExpected = (elapsed + 0.1) * 30;  // plus the frames before `begin`
    EXPECT_LE(static_cast<double>(stats.frameIndex), slotsExpected + 3);
    EXPECT_GE(static_cast<double>(stats.frameIndex), elapsed * 30 - 3);
}

TEST_F(VideoPathTest, ABusyInputDropsTheFrameButTheTimelineMovesOn) {
    rig.beginRecording();
    rig.writer->videoReady = false;  // the first slot finds the input busy
    rig.sendFrame(640, 480, start);
    // Once the second slot is counted, the first one's tick is over: it found the input busy.
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= 2; }));
    rig.writer->videoReady = true;
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    const auto first = rig.writer->framesCopy().front();
    EXPECT_GT(first.pts, start) << "a dropped slot must not be reused by the next frame";
    EXPECT_EQ((first.pts - start).convertScale(30), first.pts - start);
}

TEST_F(VideoPathTest, APauseLeavesNoTraceInTheTimeline) {
    rig.beginRecording();
    rig.sendFrame(320, 240, start);
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->framesCopy().size() >= 5; }));
    rig.recorder->setIsPaused(true);
    fakes::pumpFor(80);
    const auto before = rig.writer->framesCopy();
    const auto indexWhilePaused = rig.recorder->video().stats().frameIndex;
    rig.sendFrame(800, 600, start + MediaTime(1, 1));  // dropped while paused
    fakes::pumpFor(300);
    EXPECT_EQ(rig.recorder->video().stats().frameIndex, indexWhilePaused);
    EXPECT_EQ(rig.writer->framesCopy().size(), before.size());
    rig.recorder->setIsPaused(false);
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->framesCopy().size() > before.size() + 2; }));
    const auto after = rig.writer->framesCopy();
    const auto resumeGap = (after[before.size()].pts - before.back().pts).convertScale(30).value;
    EXPECT_LT(resumeGap, 6) << "300 ms (9 slots) of pause must not appear in the file";
    EXPECT_EQ(after.back().sourceWidth, 320) << "frames sent while paused are not kept";
}

TEST_F(VideoPathTest, NoPendingFileDropsFramesAndAWriterThatWillNotStartEndsTheRecording) {
    rig.sendFrame(320, 240, start);
    fakes::pumpFor(100);
    EXPECT_FALSE(rig.recorder->video().stats().hasWriter);

    rig.writer->failStart = true;
    rig.beginRecording();
    rig.sendFrame(320, 240, start);
    rig.sendFrame(320, 240, start + MediaTime(1, 30));
    // The recording ends by itself, finalized without finishing the failed writer.
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    EXPECT_TRUE(rig.recorder->isShowError());
    EXPECT_EQ(rig.recorder->errorMessageText(), QStringLiteral("fake writer refused"));
    EXPECT_FALSE(rig.recorder->video().stats().hasWriter);
    EXPECT_TRUE(rig.writer->framesCopy().empty());
    std::lock_guard lock(rig.writer->mutex);
    EXPECT_FALSE(rig.writer->finished);
}

TEST_F(VideoPathTest, StopFinishesTheWriterAndClearsTheState) {
    rig.beginRecording();
    rig.sendFrame(320, 240, start);
    ASSERT_TRUE(pumpUntil([&] { return rig.writer->framesCopy().size() >= 2; }));
    rig.recorder->finishRecording();
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    const auto stats = rig.recorder->video().stats();
    EXPECT_FALSE(stats.hasWriter);
    EXPECT_FALSE(stats.hasFirstFrame);
    EXPECT_EQ(stats.frameIndex, 0);
    EXPECT_FALSE(stats.isEncoderRunning);
    std::lock_guard lock(rig.writer->mutex);
    EXPECT_TRUE(rig.writer->finished);
}
