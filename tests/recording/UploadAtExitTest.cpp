// Quitting while a recording is being uploaded, over the real chunked upload and HTTP client
// against a loopback server: the end of the application must not wait for the server, and the
// recording must stay where a later upload finds it.
#include "RecorderFakes.h"

#include "Await.h"
#include "TestHttpServer.h"

#include "HttpClient.h"
#include "NetworkingGateway.h"
#include "VideoChunkUploadRepository.h"
#include "VideoRepository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace {

// Runs the work on a thread of its own; false when it has not finished within the limit, so a
// teardown that hangs fails the test instead of hanging the run.
bool finishesWithin(std::chrono::seconds limit, std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, work = std::move(work)] {
        work();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

}  // namespace

TEST(UploadAtExitTest, QuittingMidUploadNeitherWaitsForTheServerNorLosesTheRecording) {
    // The server takes the first chunk and hands out an id, then leaves the second unanswered
    // until the test is over (the client's own timeout is a minute away).
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    TestHttpServer server;
    auto chunks = std::make_shared<std::atomic<int>>(0);
    server.on("POST", "/api/v1/video/upload",
              [released, chunks](const RecordedRequest&, httplib::Response& res) {
                  if (chunks->fetch_add(1) == 0) {
                      res.set_content(R"({"video_id":"v-1"})", "application/json");
                      return;
                  }
                  released.wait_for(std::chrono::minutes(2));
                  res.status = 200;
              });
    struct ReleaseAtEnd {
        std::shared_ptr<std::promise<void>> promise;
        ~ReleaseAtEnd() { promise->set_value(); }
    } releaseAtEnd{release};  // before the server stops, whatever the outcome

    LogCapture log;
    // Shared with the teardown thread: should it hang, it keeps what it uses alive.
    auto rig = std::make_shared<fakes::Rig>();
    auto client = std::make_shared<api::HttpClient>();  // the application's one client
    rig->recorder = recording::ScreenRecorder::create(
        std::make_shared<api::VideoRepository>(
            api::NetworkingGateway::create(client, server.baseURL() + "/api/v1/", "", {},
                                           std::make_shared<FixedReachability>(true)),
            std::make_shared<api::VideoChunkUploadRepository>(client, server.baseURL(),
                                                              *rig->defaults)),
        rig->environment());

    const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_at_exit.mp4";
    const std::size_t size = api::VideoChunkUploadRepository::chunkSize + 1000;
    std::ofstream(path, std::ios::binary) << std::string(size, 'k');
    rig->defaults->setString("currentVideoPath", path);
    rig->recorder->uploadRecordedVideo();
    ASSERT_TRUE(pumpUntil([&] { return server.requestCount() == 2; }, 20'000));
    EXPECT_TRUE(rig->recorder->isUploading());

    // The event loop has ended: nothing runs on the main queue any more. main() stops the client,
    // then the composition lets go of the recorder, which takes the upload's queue with it.
    ASSERT_TRUE(finishesWithin(std::chrono::seconds(30), [client, rig] {
        client->shutdown();
        rig->recorder.reset();
    })) << "the teardown waited for the unanswered chunk";

    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), size);
    EXPECT_EQ(rig->defaults->string("currentVideoPath"), path)
        << "a later upload must find the recording";
    // The upload's own thread says so once the stopped client has failed the chunk; the
    // recorder, let go off the main thread, is taken down on the main queue.
    EXPECT_TRUE(pumpUntil(
        [&] {
            const auto lines = log.lines();
            return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
                return line.rfind("\u274C Upload failed (Transport)", 0) == 0;
            });
        },
        20'000))
        << "the interrupted chunk is a failure";
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("\u2705 Upload complete!")), 0);

    // However the late result meets the recorder, the recording stays.
    fakes::pumpFor(50);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(rig->defaults->string("currentVideoPath"), path);
}
