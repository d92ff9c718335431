// Capture start, stop with the upload hand-off, delete, repeat, the content choice and the
// capture border, with a fake capture stream, window server, picker and upload.
#include "RecorderFakes.h"

#include "Await.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

using platform::MediaTime;
using Kind = recording::SelectedContentInfo::Kind;

namespace {

platform::ContentFilter windowFilter(const fakes::FakeWindowServer& server) {
    const auto window = server.windows().front();
    return {{window}, {}, window.frame};
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { rig.build(); }
    void TearDown() override { rig.recorder.reset(); }
    auto& r() { return *rig.recorder; }
    std::optional<std::string> storedPath() { return rig.defaults->string("currentVideoPath"); }
    // Picks the fake window and starts a recording of it; true once the capture runs.
    bool startRecordingOfWindow() {
        r().capture().applyPickerFilter(windowFilter(*rig.windowServer));
        r().startRecording();
        return pumpUntil([&] { return r().isRecording(); });
    }
    void frame(int n) {
        fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(1000, 600),
                                          MediaTime(n, 30));
    }
    std::size_t uploads() {
        std::lock_guard lock(rig.videos->mutex);
        return rig.videos->uploadedPaths.size();
    }
    fakes::Rig rig;
    LogCapture log;
};

}  // namespace

TEST(CaptureSizeTest, EvenSizesOfAtLeastTwo) {
    using recording::ScreenRecorder;
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(1001, 1.0), 1000);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(601, 1.0), 600);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(1001, 2.0), 2002);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(601, 2.0), 1202);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(0.4, 1.0), 2);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(3, 1.0), 2);
    EXPECT_EQ(recording::CaptureSession::evenCaptureSize(800.5, 1.0), 800)
        << "800.5 rounds away from zero to 801, then down to even";
}

TEST_F(SessionTest, OutputNamesAreUniqueAndDated) {
    const auto first = r().capture().makeOutputURL();
    const auto second = r().capture().makeOutputURL();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second) << "two starts in the same second differ";
    // Korvane_yyyy-MM-dd_HH-mm-ss_XXXXXXXX.mp4 in the recordings folder.
    const std::string name = std::filesystem::path(*first).filename().string();
    const std::string shape = "Korvane_dddd-dd-dd_dd-dd-dd_hhhhhhhh.mp4";
    ASSERT_EQ(name.size(), shape.size()) << name;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = name[i];
        const bool fits = shape[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                          : shape[i] == 'h' ? (std::isdigit(static_cast<unsigned char>(c)) ||
                                               (c >= 'A' && c <= 'F'))
                                            : c == shape[i];
        EXPECT_TRUE(fits) << name << " at " << i;
    }
    EXPECT_EQ(std::filesystem::path(*first).parent_path().filename(), "recordings");
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(*first).parent_path()));
}

TEST_F(SessionTest, StartingWithoutAChoiceSaysSoAndChangesNothing) {
    r().startRecording();
    fakes::pumpFor(20);
    EXPECT_FALSE(r().isRecording());
    EXPECT_EQ(rig.streamsMade, 0);
    EXPECT_FALSE(storedPath());
    const auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "No content filter"), lines.end());
    EXPECT_TRUE(r().isShowError()) << "the trader hears of it too";
    EXPECT_EQ(r().errorMessageText(), QStringLiteral("No content filter"));
}

TEST_F(SessionTest, TheCaptureIsConfiguredFromTheChoiceAndFollowedByTheBorder) {
    ASSERT_TRUE(startRecordingOfWindow());
    {
        std::lock_guard lock(rig.stream->mutex);
        ASSERT_EQ(rig.stream->configurations.size(), 1u);
        const auto& c = rig.stream->configurations[0];
        EXPECT_EQ(c.width, 1000);
        EXPECT_EQ(c.height, 600);
        EXPECT_TRUE(c.showsCursor);
        EXPECT_FALSE(c.capturesAudio);
        EXPECT_EQ(c.minimumFrameInterval, MediaTime(1, 30));
        EXPECT_EQ(rig.stream->queue, &r().video().writerQueue())
            << "frames arrive on the writer queue";
    }
    ASSERT_TRUE(storedPath());
    EXPECT_TRUE(r().capture().hasStream());
    ASSERT_TRUE(rig.border);
    EXPECT_TRUE(rig.border->visible);
    EXPECT_EQ(rig.border->rect, (platform::Rect{100, 80, 1001, 601}));

    // The captured window moves: the border follows within a timer period or two.
    {
        std::lock_guard lock(rig.windowServer->mutex);
        rig.windowServer->windowList[0].frame = {300, 200, 1001, 601};
    }
    ASSERT_TRUE(pumpUntil([&] { return rig.border->rect.x == 300; }, 1000));
    // Closed: the border stays where it was.
    {
        std::lock_guard lock(rig.windowServer->mutex);
        rig.windowServer->windowList.clear();
    }
    fakes::pumpFor(450);
    EXPECT_EQ(rig.border->rect, (platform::Rect{300, 200, 1001, 601}));

    frame(0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    std::lock_guard lock(rig.writer->mutex);
    EXPECT_EQ(rig.writer->createdPaths.at(0), *storedPath());
}

TEST_F(SessionTest, StopFinalizesUploadsAndRemovesTheFileOnlyOnSuccess) {
    ASSERT_TRUE(startRecordingOfWindow());
    frame(0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    const std::string path = *storedPath();
    std::ofstream(path) << "recorded";  // the fake writer writes nothing to disk

    r().stopRecording();
    ASSERT_TRUE(
        pumpUntil([&] { return !r().isRecording() && !r().isUploading() && r().isSuccess(); }));
    EXPECT_FALSE(r().capture().hasStream());
    EXPECT_FALSE(r().capture().contentFilter()) << "a plain stop forgets the content";
    EXPECT_FALSE(r().capture().borderOverlayWindow()) << "the border goes with the capture";
    EXPECT_EQ(r().successMessage(), QStringLiteral("Video uploaded successfully"));
    ASSERT_TRUE(r().uploadResponse());
    EXPECT_EQ(r().uploadResponse()->filename, path);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(storedPath());
    {
        std::lock_guard lock(rig.writer->mutex);
        EXPECT_TRUE(rig.writer->finished);
    }

    // A second hand-off finds nothing to upload.
    r().uploadRecordedVideo();
    EXPECT_TRUE(r().isShowError());
    EXPECT_EQ(uploads(), 1u);
}

TEST_F(SessionTest, AFailedUploadKeepsTheFileAndSaysWhy) {
    rig.videos->failure = api::NetworkError::custom(api::AnyError::badServerResponse());
    ASSERT_TRUE(startRecordingOfWindow());
    const std::string path = *storedPath();
    std::ofstream(path) << "recorded";
    r().stopRecording();  // before any frame arrived: no file is finished, the hand-off still runs
    ASSERT_TRUE(pumpUntil([&] { return r().isShowError(); }));
    EXPECT_FALSE(r().isUploading());
    EXPECT_FALSE(r().isSuccess());
    EXPECT_EQ(r().errorMessage(),
              QStringLiteral(
                  "The operation couldn\u2019t be completed. (Korvane.NetworkError error 1.)"));
    ASSERT_TRUE(r().uploadError());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(storedPath(), path);
    std::lock_guard lock(rig.writer->mutex);
    EXPECT_TRUE(rig.writer->createdPaths.empty());
}

TEST_F(SessionTest, DeleteDiscardsTheTakeWithoutUploading) {
    ASSERT_TRUE(startRecordingOfWindow());
    frame(0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    const std::string path = *storedPath();
    std::ofstream(path) << "partial";
    r().deleteRecording();
    ASSERT_TRUE(pumpUntil([&] { return !storedPath(); }));
    EXPECT_FALSE(r().isRecording());
    EXPECT_FALSE(r().capture().contentFilter());
    EXPECT_FALSE(r().video().stats().hasWriter);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(r().isShowError() || r().isSuccess() || r().isUploading());
    EXPECT_FALSE(r().capture().borderOverlayWindow());
    {
        std::lock_guard lock(rig.writer->mutex);
        EXPECT_TRUE(rig.writer->cancelled);
    }
    fakes::pumpFor(50);
    EXPECT_EQ(uploads(), 0u);

    // Not recording: only the stored file and the upload state go.
    std::ofstream(path) << "left over";
    rig.defaults->setString("currentVideoPath", path);
    r().deleteRecording();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(storedPath());
}

TEST_F(SessionTest, RepeatStartsANewTakeOfTheSameContentWithoutUploading) {
    ASSERT_TRUE(startRecordingOfWindow());
    frame(0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    const std::string first = *storedPath();
    std::ofstream(first) << "first take";
    r().repeatRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.streamsMade == 2 && r().isRecording(); }));
    const auto second = storedPath();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, first);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_TRUE(r().capture().contentFilter()) << "the content is kept";
    EXPECT_EQ(uploads(), 0u);
    std::lock_guard lock(rig.stream->mutex);
    EXPECT_EQ(rig.stream->filters.back().includedWindows.front().windowID, 42u);
}

TEST_F(SessionTest, PickerChoicesBecomeTheSelectedContent) {
    r().presentContentPicker(true);
    EXPECT_EQ(rig.picker->configuration.allowedPickerModes,
              platform::ContentSharingPicker::Mode::singleDisplay);
    EXPECT_FALSE(rig.picker->configuration.allowsChangingSelectedContent);
    EXPECT_TRUE(rig.picker->active);
    EXPECT_EQ(rig.picker->presented, 1);
    ASSERT_EQ(rig.picker->observers.size(), 1u);
    auto observer = rig.picker->observers[0].lock();
    ASSERT_TRUE(observer);

    const platform::ShareableWindow untitled{9, std::nullopt, std::nullopt, {0, 0, 10, 10}};
    const platform::ShareableDisplay display{7, "screen", {0, 0, 1920, 1080}};
    observer->contentSharingPickerDidUpdate({{untitled}, {display}, untitled.frame});
    EXPECT_FALSE(rig.picker->active);
    ASSERT_TRUE(r().selectedContentInfo());
    EXPECT_EQ(*r().selectedContentInfo(),
              (recording::SelectedContentInfo{Kind::window, std::nullopt, std::nullopt, 9u,
                                              std::nullopt}))
        << "the first window wins over displays";

    observer->contentSharingPickerDidCancel();
    EXPECT_EQ(r().selectedContentInfo()->windowID, 9u) << "a cancel keeps the earlier choice";

    observer->contentSharingPickerDidUpdate({{}, {display}, display.frame});
    EXPECT_EQ(*r().selectedContentInfo(),
              (recording::SelectedContentInfo{Kind::display, std::nullopt, std::nullopt,
                                              std::nullopt, 7u}));
    EXPECT_EQ(r().borderFrame(), (platform::Rect{0, 0, 1920, 1080}));

    observer->contentSharingPickerDidUpdate({});
    EXPECT_EQ(r().selectedContentInfo()->kind, Kind::unknown);
    EXPECT_FALSE(r().borderFrame()) << "nothing to frame";

    observer->contentSharingPickerStartDidFail(
        {"ContentSharingPicker", 1, "No display to pick from"});
    const auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Picker failed: No display to pick from"),
              lines.end());
}

TEST_F(SessionTest, DeletingStoredFilesExplainsWhatCouldNotBeRemoved) {
    r().file().deleteStored();
    EXPECT_TRUE(log.lines().empty()) << "no stored path: nothing to say";

    const std::string gone = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_gone.mp4";
    rig.defaults->setString("currentVideoPath", gone);
    r().file().deleteStored();
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "Failed to remove stored file: \u201cKorvane_gone.mp4\u201d couldn\u2019t be removed "
              "because it doesn\u2019t exist.");
    EXPECT_FALSE(storedPath()) << "the key goes in every case";

    // A stored name with another extension: its .mp4 twin is removed instead.
    const std::string twin = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_twin";
    std::ofstream(twin + ".mp4") << "x";
    rig.defaults->setString("currentVideoPath", twin + ".mov");
    r().file().deleteStored();
    EXPECT_FALSE(std::filesystem::exists(twin + ".mp4"));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(SessionTest, FramesStillInFlightNeitherRecreateADeletedTakeNorOutliveAStop) {
    ASSERT_TRUE(startRecordingOfWindow());
    frame(0);
    ASSERT_TRUE(pumpUntil([&] { return !rig.writer->framesCopy().empty(); }));
    for (int n = 1; n < 40; ++n) {
        frame(n);  // queued on the writer queue, not yet ingested
    }
    r().deleteRecording();
    ASSERT_TRUE(pumpUntil([&] { return !storedPath() && !r().video().stats().hasWriter; }));
    r().video().writerQueue().sync([] {});
    r().video().videoQueue().sync([] {});
    fakes::pumpFor(50);
    EXPECT_FALSE(r().video().stats().hasWriter) << "a late frame must not start a new file";
    {
        std::lock_guard lock(rig.writer->mutex);
        EXPECT_EQ(rig.writer->createdPaths.size(), 1u);
    }

    // The same for a stop: once it completes no encode timer is left running.
    ASSERT_TRUE(startRecordingOfWindow());
    frame(100);
    ASSERT_TRUE(pumpUntil([&] { return r().video().stats().isEncoderRunning; }));
    for (int n = 101; n < 140; ++n) {
        frame(n);
    }
    r().stopRecording();
    ASSERT_TRUE(pumpUntil([&] { return !r().isRecording(); }));
    r().video().videoQueue().sync([] {});
    EXPECT_FALSE(r().video().stats().isEncoderRunning);
    EXPECT_FALSE(r().video().stats().hasWriter);
}
