// The recorder on the virtual desktop: real X11 capture of a window and of the display, the real
// border overlay, the FFmpeg writer, and the upload to the stand-in services that scripts/test.sh
// starts. The microphone is left out here (its own tests cover it).
#include "RecorderFakes.h"

#include "Await.h"
#include "MediaFile.h"
#include "TestHttpServer.h"
#include "X11TestDesktop.h"

#include "VideoChunkUploadRepository.h"

#include "media/FfmpegAssetWriter.h"
#include "x11/X11BorderOverlay.h"
#include "x11/X11CaptureStream.h"
#include "x11/X11WindowServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct Pixel {
    int y = 0, u = 0, v = 0;
};

// The colour of one spot of the last decoded frame, and every frame's time.
struct Decoded {
    std::vector<double> times;
    int width = 0;
    int height = 0;
    std::vector<Pixel> spots;
};

Decoded decode(const std::string& path, const std::vector<std::pair<int, int>>& spots) {
    Decoded result;
    MediaFile file(path);
    const AVStream* video = file.stream(AVMEDIA_TYPE_VIDEO);
    if (!video) {
        ADD_FAILURE() << "no video in " << path;
        return result;
    }
    result.width = video->codecpar->width;
    result.height = video->codecpar->height;
    file.decode(AVMEDIA_TYPE_VIDEO, [&](const AVFrame& frame, double t) {
        result.times.push_back(t);
        result.spots.clear();
        for (const auto& [x, y] : spots) {
            result.spots.push_back({frame.data[0][frame.linesize[0] * y + x],
                                    frame.data[1][frame.linesize[1] * (y / 2) + x / 2],
                                    frame.data[2][frame.linesize[2] * (y / 2) + x / 2]});
        }
    });
    return result;
}

bool isRed(const Pixel& p) {
    return p.v > 190 && p.u < 128;
}
bool isBlue(const Pixel& p) {
    return p.u > 190 && p.v < 160;
}

class DesktopRecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) {
            GTEST_SKIP() << "needs the virtual desktop of scripts/test.sh";
        }
        environment = rig.environment();
        environment.writerFactory = &platform::makeFfmpegAssetWriter;
        environment.captureStreamFactory = &platform::makeX11CaptureStream;
        environment.windowServer = platform::makeX11WindowServer();
        environment.borderOverlayFactory = &platform::makeX11BorderOverlay;
        ASSERT_TRUE(environment.windowServer);
    }
    void build(std::shared_ptr<api::VideoRepositoryProtocol> videos) {
        rig.recorder = recording::ScreenRecorder::create(std::move(videos), environment);
        rig.recorder->setCapturesAudio(false);
        fakes::keepFinishedFiles(*rig.recorder, *rig.defaults, kept);
    }
    std::shared_ptr<api::VideoRepositoryProtocol> repositoryAt(const std::string& base) {
        auto uploader = std::make_shared<api::VideoChunkUploadRepository>(api::HttpClient::shared(),
                                                                          base, *rig.defaults);
        return std::make_shared<api::VideoRepository>(nullptr, uploader);
    }
    // The pattern window, and a plain one over its left half.
    // Each test keeps to a corner of its own: other test programs share the desktop.
    platform::ContentFilter patternWindow(int x, int y) {
        window = desktop.make({.width = 400,
                               .height = 200,
                               .netName = "Pattern",
                               .className = "pattern-app",
                               .x = x,
                               .y = y});
        desktop.waitUntilViewable(window);
        std::optional<platform::Rect> bounds;
        EXPECT_TRUE(pumpUntil(
            [&] { return (bounds = environment.windowServer->windowBounds(window)).has_value(); }));
        return {{{window, "Pattern", "pattern-app", bounds.value_or(platform::Rect{})}},
                {},
                bounds.value_or(platform::Rect{})};
    }
    // Frames the recorder has handed to the writer: slots passed less those it left empty.
    std::int64_t framesWritten() const {
        const auto s = rig.recorder->video().stats();
        return s.frameIndex - static_cast<std::int64_t>(s.droppedFrameSlots);
    }
    // Records until the writer has the given number of frames, however long a busy machine takes
    // to capture and encode them; a stop before the first one would leave no picture to check.
    bool record(const platform::ContentFilter& filter, std::int64_t frames) {
        rig.recorder->capture().applyPickerFilter(filter);
        rig.recorder->startRecording();
        if (!pumpUntil([&] { return rig.recorder->isRecording(); })) {
            return false;
        }
        return waitForFrames(frames);
    }
    bool waitForFrames(std::int64_t frames) {
        const bool written = pumpUntil([&] { return framesWritten() >= frames; }, 30000);
        EXPECT_TRUE(written) << framesWritten() << " frames written, " << frames << " awaited";
        return written;
    }
    // Every slot between the file's first and last frame holds a frame, unless the recorder said
    // it left that slot empty (a late tick, a busy encoder): none is lost without a word.
    void expectNoFrameLost(const std::vector<double>& times) {
        ASSERT_FALSE(times.empty());
        for (const double t : times) {
            EXPECT_NEAR(t * 30, std::round(t * 30), 0.01) << "frames sit on the 1/30 s grid";
        }
        const auto span = std::llround((times.back() - times.front()) * 30) + 1;
        const auto missing = span - static_cast<std::int64_t>(times.size());
        EXPECT_GE(missing, 0);
        EXPECT_LE(missing,
                  static_cast<std::int64_t>(rig.recorder->video().stats().droppedFrameSlots))
            << "slots without a frame that the recorder did not report empty";
    }

    fakes::Rig rig;
    recording::RecorderEnvironment environment;
    x11test::TestDesktop desktop;
    xcb_window_t window = 0;
    std::string kept;
    LogCapture log;
};

}  // namespace

TEST_F(DesktopRecordingTest, ACoveredWindowIsRecordedFramedAndUploaded) {
    const char* standIn = std::getenv("KORVANE_DEVSERVER_URL");
    const char* standInData = std::getenv("KORVANE_DEVSERVER_DATA");
    if (!standIn || !standInData) {
        GTEST_SKIP() << "needs the stand-in services of scripts/test.sh";
    }
    const auto auth = api::HttpClient::shared()->sendAndWait(
        {"POST",
         std::string(standIn) + "/api/sagevane/auth",
         {{"Content-Type", "application/json"}},
         std::string(R"({"username":"trader","password":"korvane"})"),
         {},
         std::chrono::seconds(10)});
    rig.defaults->setString(
        "cookie", api::Json::parse(auth.body.value_or("{}"))["cookie"].get<std::string>());
    build(repositoryAt(standIn));

    const auto filter = patternWindow(650, 800);
    const auto cover = desktop.make(
        {.width = 150, .height = 260, .netName = "Cover", .solid = 0x00FF00, .x = 600, .y = 780});
    desktop.waitUntilViewable(cover);
    ASSERT_TRUE(record(filter, 9));

    auto* border = rig.recorder->capture().borderOverlayWindow();
    ASSERT_TRUE(border);
    EXPECT_EQ(border->frame(), filter.contentRect);
    desktop.configure(window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, {700, 850});
    EXPECT_TRUE(pumpUntil([&] { return border->frame().x != filter.contentRect.x; }, 1500))
        << "the border follows the window";
    ASSERT_TRUE(waitForFrames(framesWritten() + 25));

    rig.recorder->stopRecording();
    ASSERT_TRUE(
        pumpUntil([&] { return rig.recorder->isSuccess() || rig.recorder->isShowError(); }, 30000));
    ASSERT_TRUE(rig.recorder->isSuccess()) << rig.recorder->errorMessageText().toStdString();
    EXPECT_FALSE(rig.recorder->capture().borderOverlayWindow());
    EXPECT_FALSE(rig.defaults->string("currentVideoPath")) << "uploaded: the key goes";
    ASSERT_FALSE(kept.empty());
    EXPECT_FALSE(fs::exists(kept.substr(0, kept.size() - 5))) << "uploaded: the file goes";

    const auto videoId = rig.defaults->string("obtained_video_id");
    ASSERT_TRUE(videoId);
    const fs::path joined = fs::path(standInData) / (*videoId + ".mp4");
    EXPECT_TRUE(readAll(joined) == readAll(kept)) << "the stand-in's joined file differs from ours";

    const auto result = decode(kept, {{100, 100}, {300, 100}});
    EXPECT_EQ(result.width, 400);
    EXPECT_EQ(result.height, 200);
    ASSERT_EQ(result.spots.size(), 2u);
    EXPECT_TRUE(isRed(result.spots[0]))
        << "left half, under the covering window: y" << result.spots[0].y << " u"
        << result.spots[0].u << " v" << result.spots[0].v;
    EXPECT_TRUE(isBlue(result.spots[1])) << "right half";
    ASSERT_GT(result.times.size(), 20u);
    expectNoFrameLost(result.times);
    desktop.destroy(cover);
    desktop.destroy(window);
}

TEST_F(DesktopRecordingTest, TheDisplayIsRecordedWholeAndARefusedUploadKeepsTheFile) {
    TestHttpServer refusing;
    refusing.on("POST", "/api/v1/video/upload",
                [](const RecordedRequest&, httplib::Response& res) { res.status = 500; });
    build(repositoryAt(refusing.baseURL()));
    const auto pattern = patternWindow(950, 20);
    const auto display = environment.windowServer->displays().front();
    ASSERT_TRUE(record({{}, {display}, display.frame}, 10));
    ASSERT_TRUE(rig.recorder->capture().borderOverlayWindow());
    EXPECT_EQ(rig.recorder->capture().borderOverlayWindow()->frame(), display.frame);
    rig.recorder->stopRecording();
    ASSERT_TRUE(pumpUntil([&] { return rig.recorder->isShowError(); }, 30000));
    EXPECT_EQ(rig.recorder->errorMessageText().toStdString(),
              "The operation couldn\u2019t be completed. (Korvane.NetworkError error 1.)");
    const auto path = rig.defaults->string("currentVideoPath");
    ASSERT_TRUE(path) << "a refused upload keeps the key";
    EXPECT_TRUE(fs::exists(*path)) << "and the file";

    const int x = static_cast<int>(pattern.contentRect.x - display.frame.x);
    const int y = static_cast<int>(pattern.contentRect.y - display.frame.y);
    const auto result = decode(*path, {{x + 100, y + 100}, {x + 300, y + 100}});
    EXPECT_EQ(result.width, static_cast<int>(display.frame.width));
    EXPECT_EQ(result.height, static_cast<int>(display.frame.height));
    ASSERT_EQ(result.spots.size(), 2u);
    EXPECT_TRUE(isRed(result.spots[0]));
    EXPECT_TRUE(isBlue(result.spots[1]));
    EXPECT_GE(result.times.size(), 10u) << "every frame handed to the writer is in the file";
    expectNoFrameLost(result.times);
    desktop.destroy(window);
}
