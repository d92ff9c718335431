// The client against the stand-in services process that scripts/test.sh starts: sign in,
// validate the session, upload a recording in chunks, and find it joined on the other side.
#include "NetworkingGateway.h"
#include "Requests.h"
#include "SignInRepository.h"
#include "VideoRepository.h"

#include "Await.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace api;

TEST(EndToEndTest, SignInValidateAndUploadToTheStandInServices) {
    const char* url = std::getenv("KORVANE_DEVSERVER_URL");
    const char* data = std::getenv("KORVANE_DEVSERVER_DATA");
    if (!url || !data) {
        GTEST_SKIP() << "run through scripts/test.sh, which starts the stand-in services";
    }
    LogCapture log;
    auto& defaults = platform::DefaultsStore::standard();
    auto reachable = std::make_shared<FixedReachability>(true);
    auto adapters = std::vector<std::shared_ptr<NetwortAdapterProtocol>>{
        std::make_shared<MainNetworkAdapter>()};
    SignInRepository signIn(NetworkingGateway::create(
        HttpClient::shared(), std::string(url) + "/api/", "", adapters, reachable));

    auto wrong = await(signIn.networking()->request(SignInRequest("trader", "not-the-password")));
    ASSERT_TRUE(wrong && !*wrong);
    EXPECT_EQ(wrong->error().kind(), NetworkError::Case::serverError);

    auto session = await(signIn.networking()->request(SignInRequest("trader", "korvane")));
    ASSERT_TRUE(session && *session)
        << (session && !*session ? session->error().description() : "timeout");
    defaults.setString("cookie", (*session)->cookie);
    defaults.setString("current_date_time", "2026-12-08T09:30:00.000Z");

    auto valid = await(signIn.networking()->request(ValidateUserRequest()));
    ASSERT_TRUE(valid && *valid);
    EXPECT_EQ((*valid)->userId, (*session)->userId);

    // Three chunks, the last one short; bytes that differ per position.
    const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_e2e.mp4";
    std::string contents(2 * VideoChunkUploadRepository::chunkSize + 12345, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<char>((i * 7919) >> 3);
    }
    std::ofstream(path, std::ios::binary) << contents;

    auto recording = NetworkingGateway::create(HttpClient::shared(), std::string(url) + "/api/v1/",
                                               "", adapters, reachable);
    VideoRepository videos(recording, std::make_shared<VideoChunkUploadRepository>(
                                          HttpClient::shared(), url, defaults));
    auto uploaded = await(videos.uploadVideoInChunks(path), std::chrono::seconds(60));
    ASSERT_TRUE(uploaded && *uploaded)
        << (uploaded && !*uploaded ? uploaded->error().description() : "timeout");
    EXPECT_EQ((*uploaded)->status, "Success");

    const auto videoId = defaults.string("obtained_video_id");
    ASSERT_TRUE(videoId.has_value());
    std::ifstream joined(std::filesystem::path(data) / (*videoId + ".mp4"), std::ios::binary);
    std::stringstream received;
    received << joined.rdbuf();
    EXPECT_TRUE(received.str() == contents) << "the joined file differs from ours";
    EXPECT_TRUE(std::filesystem::exists(path)) << "the upload itself never removes the recording";
}
