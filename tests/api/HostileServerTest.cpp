// Replies a server should never send, from a bare socket server: none may crash the client, grow
// its memory without bound, leak a session into the log, or make it send an upload chunk twice.
#include "NetworkingGateway.h"
#include "Requests.h"
#include "VideoChunkUploadRepository.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>

using namespace api;

namespace {

constexpr std::size_t kChunk = VideoChunkUploadRepository::chunkSize;

std::string nestedArrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// What a stack-eating reply looks like: 80 KB of "[", then as many "]".
const std::string kDeep = nestedArrays(40'000);

std::string gzipped(const std::string& data) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16 /* gzip wrapper */, 9,
                 Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

class HostileServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* key : {"cookie", "current_date_time", "obtained_video_id"}) {
            defaults.remove(key);
        }
        defaults.setString("cookie", "sessionid=secret");
    }

    std::shared_ptr<NetworkingGateway> gateway(const RawHttpServer& server) {
        return NetworkingGateway::create(HttpClient::shared(), server.baseURL() + "/", "",
                                         {std::make_shared<MainNetworkAdapter>()},
                                         std::make_shared<FixedReachability>(true));
    }

    std::expected<ValidateUserResponse, NetworkError> validate(const RawHttpServer& server) {
        auto result = await(gateway(server)->request(ValidateUserRequest(defaults)));
        EXPECT_TRUE(result.has_value()) << "no result within the time limit";
        return result.value_or(std::unexpected(NetworkError::unknown()));
    }

    std::string writeFile(std::size_t size) {
        const std::string path =
            std::string(std::getenv("KORVANE_TEST_HOME")) + "/Korvane_hostile.mp4";
        std::ofstream(path, std::ios::binary) << std::string(size, 'v');
        return path;
    }

    platform::DefaultsStore& defaults = platform::DefaultsStore::standard();
    LogCapture log;
};

}  // namespace

TEST(JsonDepthTest, NestingPast64LevelsIsRefusedAndOnlyRealBracketsCount) {
    const JsonDecoder decoder;
    EXPECT_TRUE(decoder.parse(nestedArrays(64)));
    for (const std::string& deep :
         {nestedArrays(65), kDeep, std::string(40'000, '['), "{\"a\":" + kDeep + "}"}) {
        auto refused = decoder.parse(deep);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().domain, "DecodingError");
    }

    // Brackets inside strings are text, escaped quotes do not end a string, and an escaped
    // backslash does.
    const std::string inString =
        "[\"" + std::string(100, '[') + "\\\"" + std::string(100, '{') + "\"]";
    EXPECT_TRUE(decoder.parse(inString));
    const std::string afterBackslash = "[\"\\\\\"," + nestedArrays(64) + "]";
    EXPECT_FALSE(decoder.parse(afterBackslash));
    EXPECT_FALSE(nestsDeeperThan(afterBackslash, 65));

    EXPECT_EQ(
        VideoChunkUploadRepository::videoIdFromReply("{\"video_id\":\"x\",\"a\":" + kDeep + "}"),
        std::nullopt);
}

TEST_F(HostileServerTest, ADeeplyNestedReplyFailsToDecodeWhateverItsStatus) {
    int status = 200;
    RawHttpServer server([&status](const RawHttpServer::Request&) {
        return RawHttpServer::reply(status, kDeep, "Content-Type: application/json\r\n");
    });
    auto accepted = validate(server);
    ASSERT_FALSE(accepted);
    EXPECT_EQ(accepted.error().kind(), NetworkError::Case::custom);
    EXPECT_EQ(accepted.error().customError()->domain, "DecodingError");

    // A refusal whose body is no error document is judged by its status alone.
    status = 401;
    auto refused = validate(server);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), NetworkError::unknownCode(401));
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(HostileServerTest, TheUploadSurvivesADeeplyNestedReply) {
    int status = 200;
    RawHttpServer server([&status](const RawHttpServer::Request&) {
        return RawHttpServer::reply(status, "{\"video_id\":\"v\",\"x\":" + kDeep + "}");
    });
    VideoChunkUploadRepository uploader(HttpClient::shared(), server.baseURL(), defaults);
    EXPECT_TRUE(uploader.upload(writeFile(kChunk + 1)));
    EXPECT_FALSE(defaults.string("obtained_video_id"));

    status = 500;
    auto refused = uploader.upload(writeFile(10));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, -1011);
    ASSERT_EQ(log.linesStartingWith("\u274C Upload failed (HTTP)").size(), 1u);
    EXPECT_TRUE(log.linesStartingWith("JSON body:").empty());
}

TEST_F(HostileServerTest, ABodyPastTheBoundEndsTheTransferAsATransportFailure) {
    std::string body;
    std::string headers;
    RawHttpServer server(
        [&](const RawHttpServer::Request&) { return RawHttpServer::reply(200, body, headers); });
    auto get = [&] {
        return HttpClient::shared()->sendAndWait({.url = server.baseURL() + "/reply"});
    };

    body.assign(HttpClient::maxBodySize, 'a');
    const HttpResponse atBound = get();
    EXPECT_EQ(atBound.status, 200);
    EXPECT_EQ(atBound.body.value_or("").size(), HttpClient::maxBodySize);

    auto expectCutOff = [](const HttpResponse& response, const char* what) {
        EXPECT_FALSE(response.status) << what;
        ASSERT_TRUE(response.transportError) << what;
        EXPECT_EQ(response.transportError->domain, "URLError") << what;
        EXPECT_EQ(response.transportError->code, -1103) << what;
        EXPECT_FALSE(response.body) << what;
        EXPECT_LE(response.receivedBodyBytes, HttpClient::maxBodySize) << what;
    };
    body.push_back('a');
    expectCutOff(get(), "one byte too many");

    // 20 MB of zeros shrink to about 20 KB; the client must stop unpacking at the bound.
    body = gzipped(std::string(20'000'000, '\0'));
    ASSERT_LT(body.size(), 100'000u);
    headers = "Content-Encoding: gzip\r\n";
    expectCutOff(get(), "gzip bomb");

    // A sign-in whose cookie would be a hundred megabytes is a failed request, so nothing is
    // stored.
    body = R"({"user_id":"7","expires_in":3600,"cookie":")" +
           std::string(2 * HttpClient::maxBodySize, 'c') + "\"}";
    headers.clear();
    auto signIn = await(gateway(server)->request(SignInRequest("trader", "pw")));
    ASSERT_TRUE(signIn && !*signIn);
    EXPECT_EQ(signIn->error(), NetworkError::unknownCode(0));
}

TEST_F(HostileServerTest, TheFailureLogKeepsTheBodysBeginningAndNoSetCookie) {
    // The cut falls inside the two-byte "é": the log stops before it.
    const std::string detail = std::string(4084, 'd') + "\u00e9" + std::string(200'000, 'e');
    const std::string body = "{\"detail\":\"" + detail + "\"}";
    RawHttpServer server([&](const RawHttpServer::Request&) {
        return RawHttpServer::reply(
            500, body, "Set-Cookie: sessionid=fresh-secret; HttpOnly\r\nX-Trace: 42\r\n");
    });
    VideoChunkUploadRepository uploader(HttpClient::shared(), server.baseURL(), defaults);
    ASSERT_FALSE(uploader.upload(writeFile(10)));

    const auto failures = log.linesStartingWith("\u274C Upload failed (HTTP)");
    ASSERT_EQ(failures.size(), 1u);
    const std::string& line = failures[0];
    const std::string shown = body.substr(0, 4095);
    EXPECT_NE(line.find("\n- Body: " + shown + "\u2026 (" + std::to_string(body.size() - 4095) +
                        " more bytes left out)"),
              std::string::npos)
        << line.substr(0, 600);
    EXPECT_LT(line.size(), 5000u);
    EXPECT_NE(line.find("\"Set-Cookie\": \"<redacted>\""), std::string::npos)
        << line.substr(0, 600);
    EXPECT_NE(line.find("\"X-Trace\": \"42\""), std::string::npos);

    const auto json = log.linesStartingWith("JSON body:\n");
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0].rfind("JSON body:\n{\n  \"detail\": \"dddd", 0), 0u);
    EXPECT_NE(json[0].find(" more bytes left out)"), std::string::npos);
    EXPECT_LT(json[0].size(), 5000u);
    for (const auto& logged : log.lines()) {
        EXPECT_EQ(logged.find("secret"), std::string::npos) << "a session cookie reached the log";
    }
}

TEST_F(HostileServerTest, AChunkWhoseConnectionDropsIsNeverSentAgain) {
    // Answers the first chunk and keeps the connection open; reads the second one whole, then
    // hangs up without a word, as a server that crashed while storing it would.
    RawHttpServer server([](const RawHttpServer::Request& request) -> std::optional<std::string> {
        if (request.formField("chunk_number") == "0") {
            return RawHttpServer::reply(200, R"({"video_id":"v1"})");
        }
        return std::nullopt;
    });
    VideoChunkUploadRepository uploader(HttpClient::shared(), server.baseURL(), defaults);
    auto result = uploader.upload(writeFile(2 * kChunk + 1));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().localizedDescription, "The network connection was lost.");

    std::map<std::string, int> received;
    for (const auto& request : server.requests()) {
        ++received[request.formField("chunk_number").value_or("none")];
    }
    EXPECT_EQ(received, (std::map<std::string, int>{{"0", 1}, {"1", 1}}));
    EXPECT_EQ(log.linesStartingWith("\u274C Upload failed (Transport)").size(), 1u);
}

TEST_F(HostileServerTest, ACookieThatWouldAddAHeaderLineIsRefusedWhereItEntersAndNeverSent) {
    // As the reply's JSON spells them; the last one is an ordinary cookie.
    const std::vector<std::string> cookies = {
        R"(sessionid=abc\r\nX-Injected: 1)", R"(sessionid=abc\nX-Injected: 1)",
        R"(sessionid=abc\rX-Injected: 1)", R"(sessionid=abc\u0000X-Injected: 1)",
        "sessionid=abc; Path=/"};
    std::atomic<std::size_t> sent{0};
    RawHttpServer web([&](const RawHttpServer::Request&) {
        return RawHttpServer::reply(
            200, R"({"user_id":"7","cookie":")" + cookies[sent++] + R"(","expires_in":3600})");
    });
    for (std::size_t i = 0; i + 1 < cookies.size(); ++i) {
        auto signedIn = await(gateway(web)->request(SignInRequest("trader", "korvane")));
        ASSERT_TRUE(signedIn);
        ASSERT_FALSE(*signedIn) << cookies[i] << " was taken";
        EXPECT_EQ(signedIn->error().kind(), NetworkError::Case::custom);
    }
    auto signedIn = await(gateway(web)->request(SignInRequest("trader", "korvane")));
    ASSERT_TRUE(signedIn && *signedIn);
    EXPECT_EQ((*signedIn)->cookie, "sessionid=abc; Path=/") << "an ordinary cookie still passes";

    // One that reached the store another way (an edited settings file) goes out to neither
    // service: the request is refused, not sent with the value cleaned into another one.
    defaults.setString("cookie", "sessionid=abc\r\nX-Injected: 1");
    RawHttpServer api([](const RawHttpServer::Request&) {
        return RawHttpServer::reply(200, R"({"user_id":"7","video_id":"v"})");
    });
    const auto validated = validate(api);
    ASSERT_FALSE(validated) << "validated with the cookie";
    EXPECT_EQ(validated.error(), NetworkError::invalidRequest());
    VideoChunkUploadRepository uploader(HttpClient::shared(), api.baseURL(), defaults);
    const auto uploaded = uploader.upload(writeFile(10));
    ASSERT_FALSE(uploaded) << "uploaded with the cookie";
    EXPECT_EQ(uploaded.error().domain, "RequestError");
    HttpRequest withNul;
    withNul.url = api.baseURL() + "/api/v1/health/";
    withNul.headers.set("X-Trace", std::string("a\0b", 3));
    const auto refused = HttpClient::shared()->sendAndWait(withNul);
    EXPECT_FALSE(refused.status);
    EXPECT_TRUE(refused.transportError) << "sent cut short at the NUL";
    for (const auto& request : api.requests()) {
        EXPECT_FALSE(request.header("X-Injected")) << request.method << " " << request.path;
    }
    EXPECT_EQ(api.connectionCount(), 0u) << "nothing went out";
}
