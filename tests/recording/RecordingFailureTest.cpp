// Recordings that cannot be written or whose content goes away: nothing is uploaded as if it
// were a movie, nothing recorded is lost, and the trader is told why.
#include "RecorderFakes.h"

#include "Await.h"
#include "MediaFile.h"
#include "Shell.h"
#include "X11TestDesktop.h"

#include "media/FfmpegAssetWriter.h"
#include "x11/X11CaptureStream.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::MediaTime;

namespace {

MediaTime steadyNow() {
    return MediaTime(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count(),
                     1'000'000'000);
}

// Noise: every frame costs the encoder its full bit rate, so a small file limit is soon hit.
std::shared_ptr<platform::PixelBuffer> noise(int width, int height, std::mt19937& random) {
    auto picture = platform::PixelBuffer::make(width, height);
    for (auto& byte : picture->bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return picture;
}

// Files this process writes may grow to `bytes` and no further; writes beyond fail instead of
// killing the process. Undone when it goes.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_handler);
    }

  private:
    rlimit m_previous{};
    void (*m_handler)(int) = nullptr;
};

// A small file system for the recordings, that fills up: a tmpfs where this process may mount
// one, else a limit on the size of the files this process writes, which the kernel enforces the
// same way (a write beyond fails, with "File too large" instead of "No space left on device").
class SmallDisk {
  public:
    SmallDisk(fs::path folder, std::size_t bytes) : m_folder(std::move(folder)), m_bytes(bytes) {
        fs::create_directories(m_folder);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        m_mounted = ::mount("tmpfs", m_folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        m_limit.reset();
        if (m_mounted) {
            ::umount2(m_folder.c_str(), MNT_DETACH);
        }
    }
    // From now on the disk takes `room` more bytes (per file, without a tmpfs) and no more.
    void leaveRoom(std::size_t room) {
        if (!m_mounted) {
            m_limit = std::make_unique<FileSizeLimit>(room);
            return;
        }
        std::ofstream filler(m_folder / "filler", std::ios::binary);
        const std::vector<char> block(4096, 'x');
        for (std::size_t written = 0; written + room < m_bytes && filler; written += block.size()) {
            filler.write(block.data(), static_cast<std::streamsize>(block.size()));
            filler.flush();
        }
    }
    const char* reason() const { return m_mounted ? "No space left on device" : "File too large"; }
    const fs::path& folder() const { return m_folder; }

  private:
    fs::path m_folder;
    std::size_t m_bytes;
    bool m_mounted = false;
    std::unique_ptr<FileSizeLimit> m_limit;
};

int modeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(),
        [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

class RecordingFailureTest : public ::testing::Test {
  protected:
    void build(std::function<void(recording::RecorderEnvironment&)> adjust = {}) {
        environment = rig.environment();
        if (adjust) {
            adjust(environment);
        }
        rig.recorder = recording::ScreenRecorder::create(rig.videos, environment);
        rig.recorder->setCapturesAudio(false);
        rig.recorder->capture().applyPickerFilter(
            {{rig.windowServer->windowList.front()}, {}, {100, 80, 1001, 601}});
    }
    std::size_t uploads() {
        std::lock_guard lock(rig.videos->mutex);
        return rig.videos->uploadedPaths.size();
    }
    std::size_t starts() {
        std::lock_guard lock(rig.stream->mutex);
        return static_cast<std::size_t>(rig.stream->starts);
    }

    fakes::Rig rig;
    recording::RecorderEnvironment environment;
    LogCapture log;
};

}  // namespace

TEST_F(RecordingFailureTest, AFileTheDiskCouldNotTakeIsKeptAndReportedInsteadOfUploaded) {
    const fs::path folder = fs::path(std::getenv("KORVANE_TEST_HOME")) / "full-disk" / "Korvane";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all);  // a folder left open by an older version
    const mode_t previousMask = ::umask(0);
    build([&](recording::RecorderEnvironment& env) {
        env.recordingsFolder = folder.string();
        env.writerFactory = &platform::makeFfmpegAssetWriter;
    });
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    ::umask(previousMask);
    const auto stored = rig.defaults->string("currentVideoPath");
    ASSERT_TRUE(stored);
    EXPECT_EQ(modeOf(folder), 0700) << "the recordings folder is the user's alone";

    {
        // A disk with room for 64 KiB: the noise fills it within a few frames.
        FileSizeLimit limit(64 * 1024);
        std::mt19937 random(7);
        for (int i = 0; i < 40; ++i) {
            fakes::FakeCaptureStream::deliver(*rig.stream, noise(320, 240, random), steadyNow());
            pumpFor(10);
        }
        // The recording ends by itself once the disk is full; a Stop pressed as it happens
        // changes nothing.
        ASSERT_TRUE(pumpUntil([&] {
            return !rig.recorder->isRecording() || rig.recorder->video().stats().frameIndex >= 15;
        }));
        rig.recorder->stopRecording();
        ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000));
    }
    EXPECT_EQ(uploads(), 0u) << "an unfinished file is never uploaded";
    EXPECT_FALSE(rig.recorder->isSuccess());
    EXPECT_TRUE(rig.recorder->isShowError());
    const std::string message = rig.recorder->errorMessageText().toStdString();
    EXPECT_NE(message.find("File too large"), std::string::npos) << message;
    EXPECT_EQ(rig.defaults->string("currentVideoPath"), stored) << "the key stays for a later try";
    ASSERT_TRUE(fs::exists(*stored)) << "and what was written stays on disk";
    EXPECT_EQ(modeOf(*stored), 0600) << "the recording is the user's alone, whatever the umask";
    EXPECT_EQ(countContaining(log.lines(), "Recording failed: "), 1u);
}

// The disk fills before the first frame, or while recording: either way the recording ends by
// itself at once, as Stop ends it, with the writer's reason raised; nothing is uploaded, and the
// file stays under its key.
TEST_F(RecordingFailureTest, AFullDiskEndsTheRecordingAtOnceWithTheReasonAndNoUpload) {
    struct Case {
        const char* name;
        std::size_t room;
        const char* said;  // where the writer met the full disk
    };
    for (const Case& disk : {Case{"full at the start", 0, "Failed to start AVAssetWriter: "},
                             Case{"filling up", 96 * 1024, "Recording failed: Could not write"}}) {
        SCOPED_TRACE(disk.name);
        SmallDisk small(fs::path(std::getenv("KORVANE_TEST_HOME")) / "small-disk" / disk.name,
                        256 * 1024);
        build([&](recording::RecorderEnvironment& env) {
            env.recordingsFolder = small.folder().string();
            env.writerFactory = &platform::makeFfmpegAssetWriter;
        });
        const std::size_t linesBefore = log.lines().size();
        QSignalSpy raised(rig.recorder.get(), &recording::ScreenRecorder::isShowErrorChanged);
        QSignalSpy finalized(rig.recorder.get(), &recording::ScreenRecorder::recordingFinalized);
        rig.recorder->startRecording();
        ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
        const auto stored = rig.defaults->string("currentVideoPath");
        ASSERT_TRUE(stored);
        small.leaveRoom(disk.room);
        std::mt19937 random(11);
        // Frames keep coming as long as the capture runs; nobody presses Stop.
        for (int i = 0; i < 400 && rig.recorder->isRecording(); ++i) {
            fakes::FakeCaptureStream::deliver(*rig.stream, noise(320, 240, random), steadyNow());
            pumpFor(10);
        }
        ASSERT_TRUE(pumpUntil([&] { return finalized.count() == 1; }, 20000))
            << "the recording ends by itself, without Stop";
        EXPECT_FALSE(rig.recorder->isRecording());
        EXPECT_EQ(raised.count(), 1);
        EXPECT_TRUE(rig.recorder->isShowError());
        EXPECT_FALSE(rig.recorder->isSuccess());
        const std::string message = rig.recorder->errorMessageText().toStdString();
        EXPECT_NE(message.find(small.reason()), std::string::npos) << message;
        EXPECT_EQ(uploads(), 0u);
        EXPECT_EQ(rig.defaults->string("currentVideoPath"), stored);
        EXPECT_TRUE(fs::exists(*stored)) << "what was written stays";
        const auto all = log.lines();
        const std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(linesBefore),
                                             all.end());
        EXPECT_EQ(countContaining(lines, "Recording failed: "), 1u);
        EXPECT_EQ(countContaining(lines, disk.said), 1u);
        rig.recorder.reset();
        ASSERT_TRUE(pumpUntil([] { return recording::ScreenRecorder::aliveCount() == 0; }));
    }
}

// A disk that fills after a while of recording: the trader is told as at once, and the file kept
// plays, up to about where the recording ended.
TEST_F(RecordingFailureTest, ADiskThatFillsUpLeavesAPlayableFileOfWhatWasRecorded) {
    SmallDisk small(fs::path(std::getenv("KORVANE_TEST_HOME")) / "filling-disk", 20 << 20);
    small.leaveRoom(20 << 20);
    build([&](recording::RecorderEnvironment& env) {
        env.recordingsFolder = small.folder().string();
        env.writerFactory = &platform::makeFfmpegAssetWriter;
    });
    QSignalSpy finalized(rig.recorder.get(), &recording::ScreenRecorder::recordingFinalized);
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    const auto stored = rig.defaults->string("currentVideoPath");
    ASSERT_TRUE(stored);
    std::mt19937 random(5);
    std::int64_t seen = 0;  // slots recorded, as far as seen
    for (int i = 0; i < 12000 && rig.recorder->isRecording(); ++i) {
        fakes::FakeCaptureStream::deliver(*rig.stream, noise(320, 240, random), steadyNow());
        seen = std::max(seen, rig.recorder->video().stats().frameIndex);
        pumpFor(5);
    }
    ASSERT_TRUE(pumpUntil([&] { return finalized.count() == 1; }, 20000))
        << "the recording ends by itself once the disk is full";
    EXPECT_TRUE(rig.recorder->isShowError());
    const std::string message = rig.recorder->errorMessageText().toStdString();
    EXPECT_NE(message.find(small.reason()), std::string::npos) << message;
    EXPECT_EQ(uploads(), 0u);
    EXPECT_EQ(rig.defaults->string("currentVideoPath"), stored);
    EXPECT_EQ(shellOutput("ffmpeg -nostdin -v error -i '" + *stored + "' -f null - 2>&1"), "");
    MediaFile file(*stored);
    ASSERT_TRUE(file.isOpen()) << "the file has its index";
    double end = 0;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame&, double t) { end = std::max(end, t); });
    EXPECT_GE(end + 2, static_cast<double>(seen) / 30) << "what was recorded is kept";
    EXPECT_GT(seen, 60) << "the disk filled while recording, not at its start";
}

// The recordings folder removed while recording: the trader is told within about a second, the
// log says why, and the key names no file that is not there.
TEST_F(RecordingFailureTest, ARemovedFolderEndsTheRecordingAtOnceAndIsNotRemembered) {
    const fs::path folder = fs::path(std::getenv("KORVANE_TEST_HOME")) / "removed" / "Korvane";
    build([&](recording::RecorderEnvironment& env) {
        env.recordingsFolder = folder.string();
        env.writerFactory = &platform::makeFfmpegAssetWriter;
    });
    QSignalSpy finalized(rig.recorder.get(), &recording::ScreenRecorder::recordingFinalized);
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(64, 48),
                                      steadyNow());
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= 30; }));
    const std::int64_t removedAt = rig.recorder->video().stats().frameIndex;
    fs::remove_all(folder.parent_path());
    std::int64_t seen = removedAt;
    ASSERT_TRUE(pumpUntil(
        [&] {
            seen = std::max(seen, rig.recorder->video().stats().frameIndex);
            return !rig.recorder->isRecording();
        },
        20000))
        << "the recording does not run on into a file that is gone";
    EXPECT_LE(seen - removedAt, 60) << "noticed within about a second, not at Stop";
    ASSERT_TRUE(pumpUntil([&] { return finalized.count() == 1; }));
    EXPECT_TRUE(rig.recorder->isShowError());
    EXPECT_NE(rig.recorder->errorMessageText().indexOf("was removed"), -1);
    EXPECT_EQ(countContaining(log.lines(), "Recording failed: "), 1u);
    EXPECT_GE(countContaining(log.lines(), "was removed"), 1u);
    EXPECT_EQ(uploads(), 0u);
    EXPECT_FALSE(rig.defaults->string("currentVideoPath"));
}

TEST_F(RecordingFailureTest, AFolderThatTakesNoFileFailsTheStartOnce) {
    const fs::path home = std::getenv("KORVANE_TEST_HOME");
    // A folder that cannot be made (a file stands where its parent would be), and, where this
    // user can make one, a folder that exists but takes no file.
    fs::create_directories(home / "folders");
    { std::ofstream(home / "folders" / "plain-file") << "x"; }
    std::vector<fs::path> folders{home / "folders" / "plain-file" / "Korvane"};
    const fs::path readOnly = home / "folders" / "read-only";
    fs::create_directories(readOnly);
    bool mounted = false;
    if (::geteuid() == 0) {
        // Permissions do not stop root: a read-only file system does.
        mounted = ::mount("tmpfs", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
        if (mounted) {
            folders.push_back(readOnly);
        }
    } else {
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
        folders.push_back(readOnly);
    }

    for (const auto& folder : folders) {
        SCOPED_TRACE(folder.string());
        build([&](recording::RecorderEnvironment& env) { env.recordingsFolder = folder.string(); });
        const auto linesBefore = log.lines().size();
        rig.recorder->startRecording();
        ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isShowError(); }));
        pumpFor(50);
        EXPECT_FALSE(rig.recorder->isRecording());
        EXPECT_EQ(starts(), 0u) << "no capture starts without a place for its file";
        EXPECT_FALSE(rig.recorder->errorMessageText().isEmpty());
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), linesBefore + 1) << "the failure is printed once";
        EXPECT_EQ(QString::fromStdString(lines.back()), rig.recorder->errorMessageText());
        EXPECT_EQ(uploads(), 0u);
    }
    if (mounted) {
        ::umount(readOnly.c_str());
    }
    if (folders.size() < 2) {
        GTEST_SKIP()
            << "could not make a read-only folder here; the folder that cannot be made was checked";
    }
}

TEST_F(RecordingFailureTest, AWriterThatCannotBeMadeEndsTheRecordingOnceWithTheReason) {
    std::atomic<int> attempts{0};
    build([&](recording::RecorderEnvironment& env) {
        env.writerFactory = [&attempts](const std::string&)
            -> std::expected<std::unique_ptr<platform::AssetWriter>, std::string> {
            ++attempts;
            return std::unexpected(std::string("Could not open the file: No space left on device"));
        };
    });
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    for (int i = 0; i < 10; ++i) {
        fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(64, 48),
                                          steadyNow());
    }
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }));
    pumpFor(50);
    EXPECT_EQ(attempts.load(), 1) << "the frames that follow do not try again";
    EXPECT_EQ(countContaining(log.lines(), "setupWriter failed: "), 1u);
    EXPECT_TRUE(rig.recorder->isShowError());
    EXPECT_EQ(rig.recorder->errorMessageText(),
              QStringLiteral("Could not open the file: No space left on device"));
    EXPECT_EQ(uploads(), 0u);
}

TEST_F(RecordingFailureTest, ACaptureThatEndsByItselfEndsTheRecordingAsStopDoes) {
    build();
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    fakes::FakeCaptureStream::deliver(*rig.stream, platform::PixelBuffer::make(64, 48),
                                      steadyNow());
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->video().stats().frameIndex >= 3; }));
    platform::CaptureStream::StopHandler ended;
    {
        std::lock_guard lock(rig.stream->mutex);
        ended = rig.stream->didStopWithError;
    }
    ASSERT_TRUE(ended);
    std::thread([ended] { ended({"X11Capture", 4, "The captured content is gone"}); }).join();
    rig.recorder->stopRecording();  // the trader presses Stop as it happens: still one upload
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isSuccess(); }));
    pumpFor(50);
    EXPECT_FALSE(rig.recorder->isRecording());
    EXPECT_EQ(uploads(), 1u);
    EXPECT_EQ(countContaining(log.lines(), "The captured content is gone"), 1u);
    const auto frames = rig.writer->framesCopy();
    EXPECT_GE(frames.size(), 3u) << "what was recorded is in the file";
    std::lock_guard lock(rig.writer->mutex);
    EXPECT_TRUE(rig.writer->finished);
}

TEST_F(RecordingFailureTest, AClosedWindowEndsItsRecordingWithAPlayableFile) {
    SKIP_WITHOUT_DISPLAY();
    x11test::TestDesktop desktop;
    const xcb_window_t window =
        desktop.make({.width = 200, .height = 120, .netName = "Closing", .x = 40, .y = 900});
    const auto rect = desktop.waitUntilViewable(window);
    build([](recording::RecorderEnvironment& env) {
        env.writerFactory = &platform::makeFfmpegAssetWriter;
        env.captureStreamFactory = &platform::makeX11CaptureStream;
    });
    rig.recorder->capture().applyPickerFilter(
        {{{window, "Closing", "closing-app", rect}}, {}, rect});
    rig.recorder->startRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isRecording(); }));
    // Five frames in the file, however many slots a busy machine leaves empty.
    ASSERT_TRUE(pumpUntil(
        [&] {
            const auto s = rig.recorder->video().stats();
            return s.frameIndex - static_cast<std::int64_t>(s.droppedFrameSlots) >= 5;
        },
        20000));
    const auto path = rig.defaults->string("currentVideoPath");
    ASSERT_TRUE(path);
    // Keep what the upload would remove.
    QObject::connect(rig.recorder.get(), &recording::ScreenRecorder::recordingFinalized, [&] {
        if (fs::exists(*path)) {
            fs::copy_file(*path, *path + ".kept", fs::copy_options::overwrite_existing);
        }
    });

    desktop.destroy(window);
    ASSERT_TRUE(pumpUntil([&] { return !rig.recorder->isRecording(); }, 20000))
        << "the recording does not run on frozen";
    ASSERT_TRUE(pumpUntil([&] { return uploads() == 1; }));
    EXPECT_EQ(countContaining(log.lines(), "The captured content is gone"), 1u);
    MediaFile file(*path + ".kept");
    ASSERT_TRUE(file.isOpen());
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codecpar->width, 200);
    std::int64_t frames = 0;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame&, double) { ++frames; });
    EXPECT_GE(frames, 5);
}
