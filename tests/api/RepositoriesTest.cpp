#include "NetworkingGateway.h"
#include "Requests.h"
#include "SignInRepository.h"
#include "VideoRepository.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace api;

namespace {

class RepositoriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        defaults.remove("cookie");
        defaults.remove("current_date_time");
    }
    std::shared_ptr<NetworkingGateway> webGateway() {
        return NetworkingGateway::create(HttpClient::shared(), server.baseURL() + "/api/", "",
                                         {std::make_shared<MainNetworkAdapter>()},
                                         std::make_shared<FixedReachability>(true));
    }
    std::string writeFile(const std::string& name, std::size_t size) {
        const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(size, 'v');
        return path;
    }

    TestHttpServer server;
    platform::DefaultsStore& defaults = platform::DefaultsStore::standard();
    LogCapture log;
};

}  // namespace

TEST_F(RepositoriesTest, SignInSendsExactlyTheTypedCredentialsAndDecodesTheReply) {
    server.on("POST", "/api/sagevane/auth", [](const RecordedRequest&, httplib::Response& res) {
        res.set_content(R"({"user_id":"7","cookie":"c","expires_in":3600})", "application/json");
    });
    SignInRepository repository(webGateway());
    SignInRequest request(" trader ", "p\"w d");
    auto reply = await(repository.networking()->request(request));
    ASSERT_TRUE(reply && *reply);
    EXPECT_EQ((*reply)->userId, "7");

    const auto sent = server.requests().at(0);
    EXPECT_EQ(sent.path, "/api/sagevane/auth");
    const auto body = Json::parse(sent.body);
    EXPECT_EQ(body, Json({{"username", " trader "}, {"password", "p\"w d"}}));
}

TEST_F(RepositoriesTest, ValidationCarriesTheStoredCookieOrAnEmptyOne) {
    auto validate = [](const std::string& base) {
        auto gateway = NetworkingGateway::create(HttpClient::shared(), base + "/api/", "",
                                                 {std::make_shared<MainNetworkAdapter>()},
                                                 std::make_shared<FixedReachability>(true));
        SignInRepository repository(gateway);
        return await(repository.networking()->request(ValidateUserRequest()));
    };
    {
        RawHttpCapture wire(R"({"user_id":"42"})");
        auto reply = validate(wire.baseURL());
        ASSERT_TRUE(reply && *reply);
        EXPECT_EQ((*reply)->userId, "42");
        const std::string sent = wire.request();
        EXPECT_EQ(sent.rfind("POST /api/sagevane/login HTTP/1.1\r\n", 0), 0u) << sent;
        EXPECT_NE(sent.find("\r\nCookie:\r\n"), std::string::npos)
            << "an empty Cookie header must be sent:\n"
            << sent;
        EXPECT_NE(sent.find("\r\nContent-Length: 0\r\n"), std::string::npos) << sent;
    }
    defaults.setString("cookie", "sessionid=abc");
    RawHttpCapture wire(R"({"user_id":"42"})");
    auto reply = validate(wire.baseURL());
    ASSERT_TRUE(reply && *reply);
    const std::string sent = wire.request();
    EXPECT_NE(sent.find("\r\nCookie: sessionid=abc\r\n"), std::string::npos) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n\r\n")) << "the body must be empty";
}

TEST_F(RepositoriesTest, SingleRequestUploadSendsTheFileAsBase64OrFailsWithoutSending) {
    server.on("POST", "/api/v1/video/upload", [](const RecordedRequest&, httplib::Response& res) {
        res.set_content(R"({"status":"ok","message":"stored"})", "application/json");
    });
    auto recording = NetworkingGateway::create(HttpClient::shared(), server.baseURL() + "/api/v1/",
                                               "", {std::make_shared<MainNetworkAdapter>()},
                                               std::make_shared<FixedReachability>(true));
    auto uploader = std::make_shared<VideoChunkUploadRepository>(HttpClient::shared(),
                                                                 server.baseURL(), defaults);
    VideoRepository repository(recording, uploader);

    auto reply = await(repository.uploadVideo(writeFile("whole.mp4", 3)));
    ASSERT_TRUE(reply && *reply);
    EXPECT_EQ((*reply)->message, "stored");
    EXPECT_EQ(Json::parse(server.requests().at(0).body), Json({{"video", "dnZ2"}}));

    auto missing = await(repository.uploadVideo("/nonexistent/korvane.mp4"));
    ASSERT_TRUE(missing && !*missing);
    EXPECT_EQ(missing->error().kind(), NetworkError::Case::custom);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(RepositoriesTest, ChunkedUploadIsDeferredAndEverySubscriptionUploadsAgain) {
    server.on("POST", "/api/v1/video/upload", [](const RecordedRequest&, httplib::Response& res) {
        res.set_content(R"({"video_id":"v1"})", "application/json");
    });
    auto uploader = std::make_shared<VideoChunkUploadRepository>(HttpClient::shared(),
                                                                 server.baseURL(), defaults);
    VideoRepository repository(nullptr, uploader);

    const std::string path = writeFile("twice.mp4", 10);
    auto publisher = repository.uploadVideoInChunks(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.requestCount(), 0u) << "nothing may be sent before a subscriber attaches";

    for (int i = 0; i < 2; ++i) {
        auto reply = await(publisher);
        ASSERT_TRUE(reply && *reply);
        EXPECT_EQ(**reply, (UploadVideoResponse{std::nullopt, path, "Success"}));
    }
    EXPECT_EQ(server.requestCount(), 2u);

    const std::string empty = writeFile("empty.mp4", 0);
    auto reply = await(repository.uploadVideoInChunks(empty));
    ASSERT_TRUE(reply && *reply);
    EXPECT_EQ((*reply)->filename, empty);
    EXPECT_EQ((*reply)->status, "Success");
    EXPECT_EQ(server.requestCount(), 2u);

    auto failed = await(repository.uploadVideoInChunks("/nonexistent/take.mp4"));
    ASSERT_TRUE(failed && !*failed);
    EXPECT_EQ(failed->error().kind(), NetworkError::Case::custom);
    EXPECT_EQ(
        failed->error().description(),
        "The file \u201ctake.mp4\u201d couldn\u2019t be opened because there is no such file.");
}
