// The upload over a slow link, against a server on loopback that takes the bytes in at a slow
// link's pace: the client gives up on a transfer that stands still for its minute, never on one
// that keeps moving, however long it takes. Both run for the real minute and more.
#include "VideoChunkUploadRepository.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

using namespace api;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kChunk = VideoChunkUploadRepository::chunkSize;
constexpr auto kIdleBound = 60s;

std::optional<std::string> acceptChunk(const RawHttpServer::Request&) {
    return RawHttpServer::reply(200, R"({"video_id":"v1"})");
}

class SlowNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        defaults.remove("current_date_time");
        defaults.setString("cookie", "sessionid=secret");
    }

    std::expected<void, AnyError> uploadOneChunk(const RawHttpServer& server) {
        const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_slow_" +
                                 testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 ".mp4";
        std::ofstream(path, std::ios::binary) << std::string(kChunk, 'v');
        VideoChunkUploadRepository uploader(HttpClient::shared(), server.baseURL(), defaults);
        return uploader.upload(path);
    }

    platform::DefaultsStore& defaults = platform::DefaultsStore::standard();
    LogCapture log;
};

}  // namespace

TEST_F(SlowNetworkTest, AChunkThatKeepsMovingIsAcceptedHoweverLongItTakes) {
    // 2 KiB every tenth of a second: 20 KiB/s, so the 2 MiB chunk spends over 100 s on the wire.
    RawHttpServer server(acceptChunk, RawHttpServer::ReadPace{.bytes = 2048, .pause = 100ms});
    const auto started = std::chrono::steady_clock::now();
    const auto result = uploadOneChunk(server);
    ASSERT_TRUE(result) << result.error().localizedDescription << " / "
                        << result.error().debugDescription;
    EXPECT_GT(std::chrono::steady_clock::now() - started, kIdleBound)
        << "the chunk was to take longer than the bound while it moved";
    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].formField("video"), std::string(kChunk, 'v'));
}

TEST_F(SlowNetworkTest, AChunkThatStandsStillLongerThanTheBoundFails) {
    // Takes in the first 256 KiB, then reads nothing for 61 s: its window shuts, nothing moves.
    RawHttpServer server(acceptChunk, RawHttpServer::ReadPace{.stallAt = 262'144, .stall = 61s});
    const auto result = uploadOneChunk(server);
    ASSERT_FALSE(result) << "accepted after a stall longer than the bound";
    EXPECT_EQ(result.error().localizedDescription, "The request timed out.");
    EXPECT_TRUE(server.requests().empty()) << "the server never had the whole chunk";
    EXPECT_EQ(log.linesStartingWith("\u274C Upload failed (Transport)").size(), 1u);
}
