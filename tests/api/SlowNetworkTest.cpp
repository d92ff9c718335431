// The upload over a slow link, against a server on loopback that takes the bytes in at a slow
// link's pace: the client gives up on a transfer that stands still for its idle bound, never on
// one that keeps moving, however long it takes. The cases run against a bound of a second; the
// build labelled "long" checks the application's own minute once.
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
constexpr auto kIdleBound = 1s;

std::optional<std::string> acceptChunk(const RawHttpServer::Request&) {
    return RawHttpServer::reply(200, R"({"video_id":"v1"})");
}

class SlowNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        defaults.remove("current_date_time");
        defaults.setString("cookie", "sessionid=secret");
    }

    // Without a bound, through the uploader as the application makes it.
    std::expected<void, AnyError> uploadOneChunk(
        const RawHttpServer& server, std::optional<std::chrono::milliseconds> idleBound) {
        const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_slow_" +
                                 testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 ".mp4";
        std::ofstream(path, std::ios::binary) << std::string(kChunk, 'v');
        const auto uploader =
            idleBound
                ? VideoChunkUploadRepository(HttpClient::shared(), server.baseURL(), defaults,
                                             *idleBound)
                : VideoChunkUploadRepository(HttpClient::shared(), server.baseURL(), defaults);
        return uploader.upload(path);
    }

    void expectTimedOut(const std::expected<void, AnyError>& result, const RawHttpServer& server) {
        ASSERT_FALSE(result) << "accepted after a stall longer than the bound";
        EXPECT_EQ(result.error().localizedDescription, "The request timed out.");
        EXPECT_TRUE(server.requests().empty()) << "the server never had the whole chunk";
        EXPECT_EQ(log.linesStartingWith("\u274C Upload failed (Transport)").size(), 1u);
    }

    platform::DefaultsStore& defaults = platform::DefaultsStore::standard();
    LogCapture log;
};

}  // namespace

#ifndef KORVANE_REAL_MINUTE

TEST_F(SlowNetworkTest, AChunkThatKeepsMovingIsAcceptedHoweverLongItTakes) {
    // At most 32 KiB every twentieth of a second: the server's pauses alone keep the chunk on the
    // wire for several bounds, while it never stands still for a twentieth of one.
    constexpr RawHttpServer::ReadPace pace{.bytes = 32768, .pause = 50ms};
    static_assert(kChunk / pace.bytes * pace.pause >= 3 * kIdleBound);
    RawHttpServer server(acceptChunk, pace);
    const auto result = uploadOneChunk(server, kIdleBound);
    ASSERT_TRUE(result) << result.error().localizedDescription << " / "
                        << result.error().debugDescription;
    const auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].formField("video"), std::string(kChunk, 'v'));
}

TEST_F(SlowNetworkTest, AChunkThatStandsStillLongerThanTheBoundFails) {
    // Takes in the first 256 KiB, then reads nothing for four bounds: its window shuts.
    RawHttpServer server(acceptChunk, RawHttpServer::ReadPace{.stallAt = 262'144, .stall = 4s});
    expectTimedOut(uploadOneChunk(server, kIdleBound), server);
}

#else

TEST_F(SlowNetworkTest, TheApplicationsUploaderGivesUpOnAChunkThatStandsStillForAMinute) {
    RawHttpServer server(acceptChunk, RawHttpServer::ReadPace{.stallAt = 262'144, .stall = 61s});
    expectTimedOut(uploadOneChunk(server, std::nullopt), server);
}

#endif
