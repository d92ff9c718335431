#include "RecorderFakes.h"

#include <gtest/gtest.h>

using fakes::pumpUntil;
using platform::AuthorizationStatus;

namespace {

class MicrophoneStateTest : public ::testing::Test {
  protected:
    void SetUp() override { rig.build(); }
    void TearDown() override { rig.recorder.reset(); }
    bool engineRunning() {
        std::lock_guard lock(rig.engine->mutex);
        return rig.engine->running;
    }
    void select() { rig.recorder->setSelectedMicrophoneName(QStringLiteral("Desk Microphone")); }
    fakes::Rig rig;
};

}  // namespace

TEST_F(MicrophoneStateTest, ChoosingAMicrophoneLiftsOnlyTheAutomaticMute) {
    auto& r = *rig.recorder;
    rig.beginRecording();
    select();
    EXPECT_FALSE(r.isMicrophoneMuted());
    EXPECT_FALSE(r.microphone().autoMutedDueToNoSelection());
    EXPECT_TRUE(engineRunning()) << "chosen while recording: the microphone starts";

    r.setMicrophoneMuted(true);
    EXPECT_TRUE(engineRunning()) << "muting keeps the pipeline";
    r.setSelectedMicrophoneName(QStringLiteral("Headset"));
    EXPECT_TRUE(r.isMicrophoneMuted()) << "the trader's own mute stays";

    r.setSelectedMicrophoneName(QString());
    EXPECT_FALSE(r.isMicrophoneSourceSelected()) << "an empty name is no choice";
    EXPECT_FALSE(engineRunning());
    EXPECT_FALSE(r.microphone().autoMutedDueToNoSelection())
        << "already muted: not an automatic mute";
}

TEST_F(MicrophoneStateTest, WithoutAccessUnmutingLeavesTheRecorderMuted) {
    rig.authorization->current = AuthorizationStatus::denied;
    rig.beginRecording();
    select();
    auto& r = *rig.recorder;
    r.setMicrophoneMuted(false);
    EXPECT_FALSE(r.isMicrophoneAuthorized());
    EXPECT_FALSE(r.isMicrophoneAvailable());
    EXPECT_TRUE(r.isMicrophoneMuted());
    EXPECT_FALSE(engineRunning());

    r.requestMicrophoneAccess();
    ASSERT_EQ(rig.ui->alerts.size(), 1u);
    EXPECT_EQ(rig.ui->alerts[0],
              "Microphone Access Needed|Please allow microphone access in System Settings to "
              "record audio.|"
              "Open System Settings|Cancel");
    EXPECT_EQ(rig.ui->opened, 0);
    rig.ui->answerFirst = true;
    r.requestMicrophoneAccess();
    EXPECT_EQ(rig.ui->opened, 1);
}

TEST_F(MicrophoneStateTest, AGrantDuringARecordingStartsTheMicrophoneWithoutUnmuting) {
    rig.authorization->current = AuthorizationStatus::notDetermined;
    rig.beginRecording();
    auto& r = *rig.recorder;
    r.microphone().refreshAvailability();
    EXPECT_TRUE(r.isMicrophoneMuted());

    // Not muted by the trader and chosen: the grant alone starts the microphone.
    rig.authorization->current = AuthorizationStatus::authorized;
    select();
    r.setMicrophoneMuted(false);
    ASSERT_FALSE(r.isMicrophoneMuted());
    rig.recorder->microphone().stop(false);
    rig.authorization->current = AuthorizationStatus::notDetermined;
    r.requestMicrophoneAccess();
    ASSERT_TRUE(rig.authorization->pending);
    rig.authorization->current = AuthorizationStatus::authorized;
    std::thread([cb = rig.authorization->pending] { cb(true); }).join();  // from another thread
    ASSERT_TRUE(pumpUntil([&] { return engineRunning(); }));
    EXPECT_TRUE(r.isMicrophoneAuthorized());
}

TEST_F(MicrophoneStateTest, UnpluggingTheLastMicrophoneMutesAndPluggingItBackDoesNot) {
    rig.beginRecording();
    select();
    ASSERT_TRUE(engineRunning());
    {
        std::lock_guard lock(rig.devices->mutex);
        rig.devices->list.clear();
    }
    platform::NotificationCenter::defaultCenter().post(platform::kCaptureDeviceWasDisconnected,
                                                       {{"uniqueID", "mic-1"}});
    auto& r = *rig.recorder;
    EXPECT_FALSE(r.isMicrophoneAvailable());
    EXPECT_TRUE(r.isMicrophoneMuted());
    EXPECT_FALSE(engineRunning());

    {
        std::lock_guard lock(rig.devices->mutex);
        rig.devices->list.push_back({"mic-1", "Desk Microphone", true});
    }
    platform::NotificationCenter::defaultCenter().post(platform::kCaptureDeviceWasConnected,
                                                       {{"uniqueID", "mic-1"}});
    EXPECT_TRUE(r.isMicrophoneAvailable());
    EXPECT_TRUE(r.isMicrophoneMuted());
    EXPECT_FALSE(engineRunning());

    // Once the recorder is gone its observers are too.
    const auto before = platform::NotificationCenter::defaultCenter().observerCount(
        platform::kCaptureDeviceWasConnected);
    rig.recorder.reset();
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(
                  platform::kCaptureDeviceWasConnected),
              before - 1);
}

TEST_F(MicrophoneStateTest, ClearSelectionForgetsTheMicrophoneAndMutes) {
    rig.beginRecording();
    select();
    auto& r = *rig.recorder;
    r.clearSelection();
    EXPECT_FALSE(r.selectedMicrophoneName().has_value());
    EXPECT_FALSE(r.isMicrophoneSourceSelected());
    EXPECT_TRUE(r.isMicrophoneMuted());
    EXPECT_FALSE(engineRunning());
}

TEST_F(MicrophoneStateTest, AnEngineThatCannotStartOrConvertLeavesTheRecordingRunning) {
    {
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->startError = "device busy";
    }
    rig.beginRecording();
    select();
    EXPECT_FALSE(engineRunning());
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());

    {
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->startError.reset();
        rig.engine->format.sampleType = platform::SampleType::other;
    }
    auto result = rig.recorder->microphone().start();
    EXPECT_TRUE(result) << "a missing converter is reported in the log, not as an error";
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());
}
