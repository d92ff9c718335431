#include "NetworkingGateway.h"
#include "Requests.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

using namespace api;

namespace {

struct PingResponse {
    std::string value;
    static std::expected<PingResponse, AnyError> decode(const Json& json) {
        if (auto ok = requireObject(json, "PingResponse"); !ok) {
            return std::unexpected(ok.error());
        }
        auto value = requiredString(json, "someValue");
        if (!value) {
            return std::unexpected(value.error());
        }
        return PingResponse{*value};
    }
};

struct PingRequest {
    using ResponseType = PingResponse;
    std::string path = "/ping";
    std::optional<HttpHeaders> headers;
    RequestDescriptor descriptor() const {
        RequestDescriptor d;
        d.path = path;
        d.method = HttpMethod::post;
        d.headers = headers;
        d.parameters = std::map<std::string, Json>();
        return d;
    }
};

class GatewayTest : public ::testing::Test {
  protected:
    std::shared_ptr<NetworkingGateway> makeGateway(const std::string& base) {
        return NetworkingGateway::create(HttpClient::shared(), base, "",
                                         {std::make_shared<MainNetworkAdapter>()}, reachability);
    }
    // Replies to POST /api/ping with the given status and body.
    void reply(int status, const std::string& body) {
        server.on("POST", "/api/ping",
                  [status, body](const RecordedRequest&, httplib::Response& res) {
                      res.status = status;
                      if (!body.empty()) {
                          res.set_content(body, "application/json");
                      }
                  });
    }
    std::expected<Bytes, NetworkError> data() {
        auto result = await(makeGateway(server.baseURL() + "/api/")->requestData(PingRequest{}));
        EXPECT_TRUE(result.has_value()) << "no result within the time limit";
        return result.value_or(std::unexpected(NetworkError::unknown()));
    }

    TestHttpServer server;
    std::shared_ptr<FixedReachability> reachability = std::make_shared<FixedReachability>(true);
    LogCapture log;
};

}  // namespace

TEST_F(GatewayTest, AcceptsOnly200To209) {
    reply(209, R"({"some_value":"x"})");
    EXPECT_EQ(data(), Bytes(R"({"some_value":"x"})"));

    reply(210, R"({"note":"not an error document"})");
    EXPECT_EQ(data().error(), NetworkError::unknownCode(210));

    reply(299, "");
    EXPECT_EQ(data().error().kind(), NetworkError::Case::unknownCode);
}

TEST_F(GatewayTest, MapsRefusedRepliesByTheirDocument) {
    reply(401, R"({"status":401,"message":"Wrong credentials","error":[]})");
    auto refused = data();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), NetworkError::Case::serverError);
    EXPECT_EQ(refused.error().description(), "Wrong credentials");

    reply(401, R"({"message":"Wrong credentials"})");
    EXPECT_EQ(data().error(), NetworkError::unknownCode(401));

    reply(500, R"({"status":500,"message":"Boom","error":[{"message":"db"}]})");
    EXPECT_EQ(data().error().kind(), NetworkError::Case::serverError);

    reply(500, "");
    EXPECT_EQ(data().error().kind(), NetworkError::Case::internalServerError);

    reply(500, "<html>oops</html>");
    EXPECT_EQ(data().error().kind(), NetworkError::Case::internalServerError);
}

TEST_F(GatewayTest, EmptyRepliesSucceedForDataAndVoidButNotForAModel) {
    reply(204, "");
    EXPECT_EQ(data(), Bytes());
    auto gateway = makeGateway(server.baseURL() + "/api/");
    auto nothing = await(gateway->requestVoid(PingRequest{}));
    ASSERT_TRUE(nothing && *nothing);

    reply(200, "");
    auto model = await(gateway->request(PingRequest{}));
    ASSERT_TRUE(model && !*model);
    EXPECT_EQ(model->error().kind(), NetworkError::Case::custom);
}

TEST_F(GatewayTest, DecodesSnakeCaseRepliesOnTheGatewaysQueue) {
    reply(200, R"({"some_value":"decoded"})");
    auto gateway = makeGateway(server.baseURL() + "/api/");
    std::promise<std::string> where;
    auto token = gateway->request(PingRequest{}).subscribe([&](auto result) {
        where.set_value(platform::SerialQueue::currentLabel() + ":" +
                        (result ? result->value : "error"));
    });
    auto future = where.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), "NetworkGatewayProtocol:decoded");

    reply(200, R"({"someValue":5})");
    auto mistyped = await(gateway->request(PingRequest{}));
    ASSERT_TRUE(mistyped && !*mistyped);
    EXPECT_EQ(mistyped->error().description(),
              "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
    EXPECT_FALSE(log.lines().empty()) << "a failed request is written to the log";
}

TEST_F(GatewayTest, AdapterHeadersReplaceTheRequestsOwnAndTheURLHasOneSlash) {
    reply(200, "{}");
    PingRequest request;
    request.path = "/ping";
    request.headers = HttpHeaders{{"accept", "text/plain"}, {"X-Own", "kept"}};
    for (const auto& base : {server.baseURL() + "/api/", server.baseURL() + "/api"}) {
        auto result = await(makeGateway(base)->requestData(request));
        ASSERT_TRUE(result && *result) << base;
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.path, "/api/ping");
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.header("Accept"), "application/json");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        EXPECT_TRUE(r.hasHeader("Authorization"));
        EXPECT_EQ(r.header("Authorization"), "Bearer");  // "Bearer " on the wire; the server trims
        EXPECT_EQ(r.header("X-Own"), "kept");
        EXPECT_EQ(r.headers.count("Accept"), 1u);
        EXPECT_TRUE(r.body.empty());
    }
    EXPECT_EQ(MainNetworkAdapter().headers().at("Authorization"), "Bearer ");
}

TEST_F(GatewayTest, NothingIsSentWithoutNetworkOrWithABadAddress) {
    reply(200, "{}");
    reachability->set(false);
    auto offline = await(makeGateway(server.baseURL() + "/api/")->request(PingRequest{}));
    ASSERT_TRUE(offline && !*offline);
    EXPECT_EQ(offline->error(), NetworkError::noConnection());

    reachability->set(true);
    auto bad = await(makeGateway("not a url")->requestData(PingRequest{}));
    ASSERT_TRUE(bad && !*bad);
    EXPECT_EQ(bad->error(), NetworkError::invalidRequest());
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(GatewayTest, NoReplyAtAllIsUnknownCodeZero) {
    int closedPort = 0;
    {
        TestHttpServer gone;
        closedPort = gone.port();
    }
    auto result = await(makeGateway("http://127.0.0.1:" + std::to_string(closedPort) + "/api/")
                            ->requestData(PingRequest{}));
    ASSERT_TRUE(result && !*result);
    EXPECT_EQ(result->error(), NetworkError::unknownCode(0));
}

TEST_F(GatewayTest, AnErrorArrivingAfterTheGatewayIsGoneIsUnknown) {
    std::promise<void> release;
    auto released = release.get_future().share();
    server.on("POST", "/api/ping", [released](const RecordedRequest&, httplib::Response& res) {
        released.wait();
        res.status = 404;
    });
    auto gateway = makeGateway(server.baseURL() + "/api/");
    auto single = gateway->requestData(PingRequest{});
    std::promise<std::expected<Bytes, NetworkError>> outcome;
    auto token = single.subscribe([&](auto result) { outcome.set_value(result); });
    gateway.reset();
    release.set_value();
    auto future = outcome.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get().error(), NetworkError::unknown());
}

TEST(UrlJoinTest, ExactlyOneSlashBetweenParts) {
    EXPECT_EQ(appendingPathComponent("http://h/api/", "/sagevane/auth"),
              "http://h/api/sagevane/auth");
    EXPECT_EQ(appendingPathComponent("http://h/api", "sagevane/login"),
              "http://h/api/sagevane/login");
    EXPECT_EQ(appendingPathComponent("http://h/api/v1/", ""), "http://h/api/v1/");
    EXPECT_EQ(appendingPathComponent("http://h:8080", "/api/v1/health/"),
              "http://h:8080/api/v1/health/");
}
