// The health request against a real server on loopback: what goes out, and which replies give
// the server's time.
#include "ServerTime.h"

#include "Pump.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kPath = "/api/v1/health/";

// The time the server gave, or nullopt; "unanswered" when the request never finished.
std::optional<std::string> fetch(const std::string& base, std::chrono::milliseconds timeout = 5s) {
    api::HttpClient client;
    bool done = false;
    std::optional<std::string> time;
    session::fetchServerTime(
        client, base,
        [&](std::optional<std::string> answer) {
            time = std::move(answer);
            done = true;
        },
        timeout);
    if (!pumpUntil([&] { return done; }, 10000)) {
        return "unanswered";
    }
    return time;
}

void reply(TestHttpServer& server, int status, const std::string& body) {
    server.on("GET", kPath, [status, body](const RecordedRequest&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    });
}

}  // namespace

TEST(ServerTimeTest, AsksThePlainHealthPathAndKeepsTheTimeAsSent) {
    TestHttpServer server;
    reply(server, 200, R"({"currentDateTime":"2024-05-01T10:00:00.123+02:00"})");
    EXPECT_EQ(fetch(server.baseURL() + "/"), "2024-05-01T10:00:00.123+02:00");
    ASSERT_EQ(server.requestCount(), 1u);
    const RecordedRequest request = server.requests().front();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, kPath) << "one slash between the base and the path";
    EXPECT_FALSE(request.hasHeader("Cookie"));
    EXPECT_TRUE(request.body.empty());

    const auto built = session::healthRequest("http://127.0.0.1:9");
    ASSERT_TRUE(built);
    EXPECT_EQ(built->url, "http://127.0.0.1:9/api/v1/health/");
    EXPECT_TRUE(built->headers.empty());
    EXPECT_EQ(built->timeout, 5s) << "not the client's usual minute";
    EXPECT_FALSE(session::healthRequest(""));
    EXPECT_FALSE(session::healthRequest("not a url"));
}

TEST(ServerTimeTest, EveryFailureGivesNoTime) {
    struct Case {
        int status;
        std::string body;
    };
    for (const Case& c : {Case{500, R"({"currentDateTime":"2024-05-01T10:00:00Z"})"},
                          Case{200, R"({"serverTime":"2024-05-01T10:00:00Z"})"},
                          Case{200, R"({"currentDateTime":17})"}, Case{200, "<html>"}}) {
        TestHttpServer server;
        reply(server, c.status, c.body);
        EXPECT_EQ(fetch(server.baseURL()), std::nullopt) << c.status << " " << c.body;
    }

    std::string closed;
    {
        TestHttpServer gone;
        closed = gone.baseURL();
    }
    EXPECT_EQ(fetch(closed), std::nullopt) << "unreachable";
    EXPECT_EQ(fetch(""), std::nullopt) << "no URL";

    // A server that does not answer in time is given up on.
    TestHttpServer hanging;
    hanging.on("GET", kPath, [](const RecordedRequest&, httplib::Response& response) {
        std::this_thread::sleep_for(1500ms);
        response.set_content(R"({"currentDateTime":"late"})", "application/json");
    });
    EXPECT_EQ(fetch(hanging.baseURL(), 200ms), std::nullopt);
}
