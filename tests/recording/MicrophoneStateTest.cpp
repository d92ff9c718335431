#include "RecorderFakes.h"

#include "Await.h"

#include <QSignalSpy>

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
    // A headset besides the default "mic-1", chosen by the trader.
    void chooseHeadset() {
        {
            std::lock_guard lock(rig.devices->mutex);
            rig.devices->list.push_back({"usb-7", "USB Headset", false});
        }
        rig.defaults->setString("SelectedMicrophoneKey", "usb-7");
        rig.recorder->setSelectedMicrophoneName(QStringLiteral("USB Headset"));
    }
    // The device no longer starts; `listed`: the device list has not caught up yet.
    void unplug(const std::string& id, bool listed = false) {
        if (!listed) {
            std::lock_guard lock(rig.devices->mutex);
            std::erase_if(rig.devices->list, [&](const auto& d) { return d.uniqueID == id; });
        }
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->missing.insert(id);
    }
    std::vector<std::string> started() {
        std::lock_guard lock(rig.engine->mutex);
        return rig.engine->startedDeviceIds;
    }
    // Takes the fake window; the microphone starts with the first frame, as in a real take.
    void takeWithFirstFrame() {
        auto& r = *rig.recorder;
        r.capture().applyPickerFilter(
            {{rig.windowServer->windows().front()}, {}, rig.windowServer->windows().front().frame});
        r.startRecording();
        ASSERT_TRUE(pumpUntil([&] { return r.isRecording(); }));
        fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(1000, 600),
                                          platform::MediaTime(0, 30));
        ASSERT_TRUE(pumpUntil([&] { return r.video().stats().writerStarted; }));
    }
    // Every change of the mute the bar hears, and whether each came on the main thread.
    struct MuteWatch {
        explicit MuteWatch(recording::ScreenRecorder& r)
            : spy(&r, &recording::ScreenRecorder::isMicrophoneMutedChanged) {
            QObject::connect(
                &r, &recording::ScreenRecorder::isMicrophoneMutedChanged, &r,
                [this] { offMain += QThread::currentThread() != qApp->thread() ? 1 : 0; },
                Qt::DirectConnection);
        }
        QSignalSpy spy;
        int offMain = 0;
    };
    fakes::Rig rig;
    LogCapture log;
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

TEST_F(MicrophoneStateTest, AnEngineThatCannotStartLeavesTheRecordingRunning) {
    {
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->startError = "device busy";
    }
    rig.beginRecording();
    select();
    EXPECT_FALSE(engineRunning());
    EXPECT_FALSE(rig.recorder->microphone().hasEngine());
    EXPECT_TRUE(rig.recorder->isMicrophoneMuted()) << "no live microphone over silence";
}

TEST_F(MicrophoneStateTest, AMicrophoneWhoseSoundCannotBeConvertedGivesWayToTheDefaultOrMutes) {
    auto& r = *rig.recorder;
    chooseHeadset();
    {
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->format.sampleType = platform::SampleType::other;  // no converter takes it
    }
    MuteWatch watch(r);
    takeWithFirstFrame();
    ASSERT_TRUE(pumpUntil([&] { return r.isMicrophoneMuted(); }));
    EXPECT_EQ(log.linesStartingWith("The microphone usb-7 did not start").size(), 1u);
    EXPECT_EQ(log.linesStartingWith("The microphone mic-1 did not start").size(), 1u);
    EXPECT_EQ(watch.spy.count(), 1);
    EXPECT_EQ(watch.offMain, 0);
    EXPECT_FALSE(r.microphone().hasEngine());
}

TEST_F(MicrophoneStateTest, AChosenMicrophoneGoneBeforeATakeRecordsFromTheDefaultInput) {
    auto& r = *rig.recorder;
    chooseHeadset();
    unplug("usb-7");  // between choosing it and Start
    takeWithFirstFrame();
    ASSERT_TRUE(pumpUntil([&] { return started().size() == 1; }));
    EXPECT_EQ(started().back(), "mic-1");
    EXPECT_FALSE(r.isMicrophoneMuted());
    EXPECT_EQ(log.linesStartingWith("Recording the microphone \"Desk Microphone\" (mic-1)").size(),
              1u);

    // Plugged back, it records the next take; unplugged between that take and the Repeat's, the
    // Repeat's take records from the default input again.
    {
        std::lock_guard lock(rig.engine->mutex);
        rig.engine->missing.clear();
    }
    {
        std::lock_guard lock(rig.devices->mutex);
        rig.devices->list.push_back({"usb-7", "USB Headset", false});
    }
    for (const int take : {2, 3}) {
        r.repeatRecording();
        ASSERT_TRUE(pumpUntil([&] { return rig.streamsMade == take && r.isRecording(); }));
        if (take == 3) {
            unplug("usb-7");
        }
        fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(1000, 600),
                                          platform::MediaTime(0, 30));
        ASSERT_TRUE(pumpUntil([&] { return started().size() == std::size_t(take); }));
    }
    EXPECT_EQ(started(), (std::vector<std::string>{"mic-1", "usb-7", "mic-1"}));
    EXPECT_FALSE(r.isMicrophoneMuted());
}

TEST_F(MicrophoneStateTest, WithNoInputThatStartsTheBarShowsTheMicrophoneMuted) {
    auto& r = *rig.recorder;
    chooseHeadset();
    unplug("usb-7");
    unplug("mic-1", true);  // listed, but does not start
    MuteWatch watch(r);
    takeWithFirstFrame();
    ASSERT_TRUE(pumpUntil([&] { return r.isMicrophoneMuted(); }));
    EXPECT_EQ(watch.spy.count(), 1);
    EXPECT_EQ(watch.offMain, 0);
    EXPECT_FALSE(r.microphone().hasEngine());
    EXPECT_TRUE(started().empty());
}

TEST_F(MicrophoneStateTest, AMicrophoneLostMidRecordingGoesOnFromTheDefaultInputOrMutes) {
    auto& r = *rig.recorder;
    chooseHeadset();
    takeWithFirstFrame();
    ASSERT_TRUE(pumpUntil([&] { return started().size() == 1; }));
    ASSERT_EQ(started().front(), "usb-7");
    MuteWatch watch(r);

    // The engine hears of it before the device list does.
    unplug("usb-7", true);
    fakes::FakeAudioEngine::loseDevice(*rig.engine);
    ASSERT_TRUE(pumpUntil([&] { return started().size() == 2; }));
    EXPECT_EQ(started().back(), "mic-1");
    EXPECT_TRUE(engineRunning());
    EXPECT_FALSE(r.isMicrophoneMuted());
    EXPECT_EQ(watch.spy.count(), 0);

    unplug("mic-1", true);
    fakes::FakeAudioEngine::loseDevice(*rig.engine);
    ASSERT_TRUE(pumpUntil([&] { return r.isMicrophoneMuted(); }));
    EXPECT_EQ(watch.spy.count(), 1);
    EXPECT_EQ(watch.offMain, 0);
    EXPECT_FALSE(r.microphone().hasEngine());
}
