// Drives the stand-in services over real loopback HTTP, the way the application will.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "DevServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using json = nlohmann::json;
using httplib::MultipartFormDataItems;
using testing::HasSubstr;

namespace {

constexpr std::size_t kChunk = 2'097'152;
const std::string kUpload = "/api/v1/video/upload";

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (auto& c : out) {
        c = static_cast<char>(rng());
    }
    return out;
}

// Parts of one multi-chunk request in the order the application sends them.
MultipartFormDataItems chunkParts(const std::string& bytes, int number, int total,
                                  const std::string& videoId = "") {
    MultipartFormDataItems parts = {
        {"video", bytes, "rec.mp4", "video/mp4"},
        {"real_start_date_time", "2026-01-01T00:00:00.000Z", "", ""},
        {"vantrel_env", "prod", "", ""},
        {"chunk_number", std::to_string(number), "", ""},
        {"total_chunks", std::to_string(total), "", ""},
        {"filename", "rec.mp4", "", ""},
    };
    if (!videoId.empty()) {
        parts.push_back({"video_id", videoId, "", ""});
    }
    return parts;
}

class DevServerTest : public testing::Test {
  protected:
    void SetUp() override {
        dataDir_ = std::filesystem::temp_directory_path() /
                   ("korvane-devserver-test-" + std::to_string(std::random_device{}()));
        server_ = std::make_unique<devserver::DevServer>(
            devserver::Config{"127.0.0.1", 0, "trader", "korvane", dataDir_});
        const auto port = server_->start();
        ASSERT_TRUE(port) << port.error();
        port_ = *port;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", *port);
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(dataDir_);
    }

    // Stops the server and starts a new one on the same data folder.
    std::expected<int, std::string> restart() {
        server_.reset();
        server_ = std::make_unique<devserver::DevServer>(
            devserver::Config{"127.0.0.1", 0, "trader", "korvane", dataDir_});
        auto port = server_->start();
        if (port) {
            client_ = std::make_unique<httplib::Client>("127.0.0.1", *port);
        }
        return port;
    }

    httplib::Result signIn(const std::string& body) {
        return client_->Post("/api/sagevane/auth", body, "application/json");
    }
    std::string cookie() {
        auto res = signIn(R"({"username": "trader", "password": "korvane"})");
        return json::parse(res->body).at("cookie");
    }
    httplib::Result upload(const MultipartFormDataItems& parts, const std::string& cookie) {
        return client_->Post(kUpload, {{"Cookie", cookie}}, parts);
    }
    static std::string videoId(const httplib::Result& res) {
        return json::parse(res->body).at("video_id");
    }

    std::filesystem::path dataDir_;
    int port_ = 0;
    std::unique_ptr<devserver::DevServer> server_;
    std::unique_ptr<httplib::Client> client_;
};

void expectRefusal(const httplib::Result& res, int status, const std::string& reason) {
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, status) << res->body;
    const auto doc = json::parse(res->body, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << res->body;
    EXPECT_EQ(doc.value("status", 0), status);
    EXPECT_THAT(doc.value("message", ""), HasSubstr(reason));
    ASSERT_TRUE(doc["error"].is_array() && doc["error"].size() == 1) << res->body;
    EXPECT_EQ(doc["error"][0]["message"], doc["message"]);
}

// A loopback connection that sends nothing; -1 when it could not be made.
int idleConnection(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Not closed by the server: nothing to read, or bytes rather than the end of the stream.
bool stillOpen(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 0) == 0) {
        return true;
    }
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace

TEST_F(DevServerTest, SignInAndSessionValidation) {
    auto res = signIn(R"({"username": "trader", "password": "korvane"})");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const auto doc = json::parse(res->body);
    EXPECT_EQ(doc.at("user_id"), "1");
    EXPECT_EQ(doc.at("expires_in"), 3600);
    const std::string issued = doc.at("cookie");
    EXPECT_THAT(issued, testing::MatchesRegex("sessionid=[0-9a-f]{32}"));
    EXPECT_NE(issued, cookie()) << "each sign-in issues a new cookie";

    expectRefusal(signIn(R"({"username": "trader", "password": "nope"})"), 401,
                  "Wrong credentials");
    expectRefusal(signIn("not json"), 400, "JSON");
    expectRefusal(signIn(R"({"username": "trader"})"), 400, "password");
    expectRefusal(signIn(R"({"username": 7, "password": "korvane"})"), 400, "username");

    auto login = [&](const httplib::Headers& headers) {
        return client_->Post("/api/sagevane/login", headers, "", "text/plain");
    };
    res = login({{"Cookie", issued}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body), json({{"user_id", "1"}}));
    expectRefusal(login({}), 401, "Missing");
    expectRefusal(login({{"Cookie", "sessionid=0123456789abcdef0123456789abcdef"}}), 401,
                  "Unknown");
}

TEST_F(DevServerTest, HealthReportsUtcTimeWithMilliseconds) {
    auto res = client_->Get("/api/v1/health/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(json::parse(res->body).at("currentDateTime").get<std::string>(),
                testing::MatchesRegex(
                    R"(20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z)"));
}

// A browser keeps connections open between pages and every test opens its own: connections that
// say nothing must not keep a request waiting until the server gives up on them.
TEST_F(DevServerTest, IdleConnectionsDoNotKeepTheHealthReplyWaiting) {
    std::vector<int> idle;
    for (int i = 0; i < 16; ++i) {
        idle.push_back(idleConnection(port_));
        ASSERT_GE(idle.back(), 0) << "connection " << i;
    }
    auto res = client_->Get("/api/v1/health/");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    // Answered while the idle connections were all still open, so not once the server had closed
    // them for saying nothing.
    for (std::size_t i = 0; i < idle.size(); ++i) {
        EXPECT_TRUE(stillOpen(idle[i])) << "connection " << i << " was closed first";
        ::close(idle[i]);
    }
}

TEST_F(DevServerTest, ChunkedUploadJoinsChunksIntoOneFile) {
    const auto c = cookie();
    const auto source = randomBytes(2 * kChunk + 1000, 1);
    auto res = upload(chunkParts(source.substr(0, kChunk), 0, 3), c);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const auto id = videoId(res);
    EXPECT_THAT(id, testing::MatchesRegex("[0-9a-f]{16}"));

    for (int n = 1; n < 3; ++n) {
        auto parts = chunkParts(source.substr(n * kChunk, kChunk), n, 3, id);
        if (n == 2) {
            parts.erase(parts.begin() + 1);  // real_start_date_time is optional
        }
        res = upload(parts, c);
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        EXPECT_EQ(json::parse(res->body),
                  json({{"status", "ok"}, {"video_id", id}, {"chunk_number", n}}));
    }
    EXPECT_EQ(server_->chunksReceived(), 3u);

    const auto path = server_->videoPath(id);
    ASSERT_TRUE(path);
    std::ifstream in(*path, std::ios::binary);
    const std::string joined{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(joined == source) << "joined " << joined.size() << " of " << source.size();

    expectRefusal(upload(chunkParts("x", 2, 3, id), c), 409, "already complete");
}

TEST_F(DevServerTest, SingleChunkUploadIsCompleteAtOnce) {
    const auto c = cookie();
    auto res = upload({{"video", "whole recording", "rec.mp4", "video/mp4"},
                       {"vantrel_env", "prod", "", ""},
                       {"filename", "rec.mp4", "", ""}},
                      c);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const auto id = videoId(res);
    EXPECT_EQ(json::parse(res->body).at("chunk_number"), 0);
    std::ifstream in(*server_->videoPath(id), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "whole recording");
    expectRefusal(upload(chunkParts("more", 1, 2, id), c), 409, "already complete");
}

TEST_F(DevServerTest, RefusesMalformedChunksWithoutStoringThem) {
    const auto c = cookie();
    auto first = upload(chunkParts("first", 0, 3), c);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200);
    const auto id = videoId(first);

    auto swapped = chunkParts("x", 0, 3);
    std::swap(swapped[0], swapped[2]);
    auto videoAsField = chunkParts("x", 0, 3);
    videoAsField[0].filename.clear();

    expectRefusal(upload(swapped, c), 400, "parts must be");
    expectRefusal(upload(videoAsField, c), 400, "file part");
    expectRefusal(upload(chunkParts("x", 1, 3), c), 400, "video_id is required");
    expectRefusal(upload(chunkParts("x", 2, 3, id), c), 400, "Expected chunk_number 1");
    expectRefusal(upload(chunkParts("x", 1, 4, id), c), 400, "total_chunks");
    expectRefusal(upload(chunkParts("x", 3, 3, id), c), 400, "out of range");
    expectRefusal(upload(chunkParts("x", 1, 3, "ffffffffffffffff"), c), 400, "Unknown video_id");
    expectRefusal(upload(chunkParts("x", 1, 3, id), "sessionid=bogus"), 401, "session cookie");
    expectRefusal(upload(chunkParts(std::string(kChunk + 1, 'v'), 1, 3, id), c), 400,
                  "larger than 2097152");
    expectRefusal(upload(chunkParts(std::string(3 * kChunk, 'v'), 1, 3, id), c), 400,
                  "request body larger");
    auto numberless = chunkParts("x", 1, 3, id);
    numberless[3].content = "one";
    expectRefusal(upload(numberless, c), 400, "chunk_number is not a decimal");

    const httplib::Headers headers = {{"Cookie", c}};
    expectRefusal(client_->Post(kUpload, headers, "garbage", "text/plain"), 400, "multipart");
    expectRefusal(client_->Post(kUpload, headers, "garbage", "multipart/form-data; boundary=b"),
                  400, "malformed");

    // None of the refusals moved the upload on: chunk 1 is still the one expected.
    EXPECT_EQ(server_->chunksReceived(), 1u);
    auto next = upload(chunkParts("second", 1, 3, id), c);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->status, 200) << next->body;
    std::ifstream in(*server_->videoPath(id), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "firstsecond");
}

TEST_F(DevServerTest, TradeLogPagePlaysTheJoinedFile) {
    const auto c = cookie();
    auto res = upload(chunkParts("0123456789", 0, 2), c);
    ASSERT_TRUE(res);
    const auto id = videoId(res);
    const auto query = "?cookie=" + httplib::detail::encode_query_param(c);

    res = client_->Get("/api/trade-log/video/" + id + query);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(res->body, HasSubstr("Korvane"));
    EXPECT_THAT(res->body, HasSubstr("<video controls"));
    EXPECT_THAT(res->body, HasSubstr("/api/trade-log/video/" + id + "/file" + query));

    res = client_->Get("/api/trade-log/video/" + id + "/file" + query);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "video/mp4");
    EXPECT_EQ(res->body, "0123456789");
    res = client_->Get("/api/trade-log/video/" + id + "/file" + query, {{"Range", "bytes=2-4"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 206);
    EXPECT_EQ(res->body, "234");

    // The application may leave the '=' of the cookie unescaped.
    res = client_->Get("/api/trade-log/video/" + id + "?cookie=" + c);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    expectRefusal(client_->Get("/api/trade-log/video/" + id + "?cookie=sessionid%3Dbad"), 401,
                  "session");
    expectRefusal(client_->Get("/api/trade-log/video/" + id + "/file"), 401, "Missing cookie");
    expectRefusal(client_->Get("/api/trade-log/video/0000000000000000" + query), 404,
                  "Unknown video id");
}

TEST_F(DevServerTest, SessionsAndUploadsOutliveARestartOnTheSameDataFolder) {
    const auto c = cookie();
    auto res = upload(chunkParts("first", 0, 3), c);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const auto id = videoId(res);

    const auto port = restart();
    ASSERT_TRUE(port) << port.error();

    // The stored sign-in is still good, as the launch window asks for it.
    res = client_->Post("/api/sagevane/login", {{"Cookie", c}}, "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    expectRefusal(
        client_->Post("/api/sagevane/login",
                      {{"Cookie", "sessionid=0123456789abcdef0123456789abcdef"}}, "", "text/plain"),
        401, "Unknown");

    // The half-sent video goes on where it stopped, and its page plays what has come.
    expectRefusal(upload(chunkParts("third", 2, 3, id), c), 400, "Expected chunk_number 1");
    res = upload(chunkParts("second", 1, 3, id), c);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    res = client_->Get("/api/trade-log/video/" + id +
                       "/file?cookie=" + httplib::detail::encode_query_param(c));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "firstsecond");

    // Nothing half-written is left beside the state.
    for (const auto& entry : std::filesystem::directory_iterator(dataDir_)) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
}

TEST_F(DevServerTest, AStateFileItCannotReadStopsTheStartInsteadOfBeingOverwritten) {
    cookie();
    server_.reset();
    const auto state = dataDir_ / "state.json";
    ASSERT_TRUE(std::filesystem::exists(state));
    for (const std::string text : {"{\"sessions\": ", R"({"sessions": {"sessionid=x": "soon"}})"}) {
        std::ofstream(state) << text;
        const auto port = restart();
        ASSERT_FALSE(port) << text;
        EXPECT_THAT(port.error(), HasSubstr(state.string()));
        std::ifstream in(state);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text) << "left as it was";
    }

    // A video whose file was deleted by hand is forgotten with it.
    std::ofstream(state) << R"({"uploads": {"0123456789abcdef": )"
                            R"({"filename": "rec.mp4", "total_chunks": 1, "next_chunk": 1}}})";
    const auto port = restart();
    ASSERT_TRUE(port) << port.error();
    EXPECT_FALSE(server_->videoPath("0123456789abcdef"));
}

TEST_F(DevServerTest, TheObserverSeesEachRequestAsAnsweredAndRefusedUploadsStoreNothing) {
    std::mutex mutex;
    std::vector<devserver::ObservedRequest> seen;
    server_->setRequestObserver([&](const devserver::ObservedRequest& request) {
        std::lock_guard lock(mutex);
        seen.push_back(request);
    });
    auto observed = [&] {
        std::lock_guard lock(mutex);
        return seen;
    };
    const auto c = cookie();
    auto res = client_->Get("/api/v1/health/", {{"Accept-Encoding", "gzip, br"}});
    ASSERT_TRUE(res);
    ASSERT_TRUE(res->has_header("Content-Encoding")) << "a compressed reply";
    // Observed before the reply went out: nothing to wait for once the client has it.
    auto requests = observed();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/api/sagevane/auth");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, "/api/v1/health/");
    EXPECT_EQ(requests[1].status, 200);
    EXPECT_EQ(requests[1].responseBody, res->body) << "the observer reads it uncompressed";
    EXPECT_FALSE(requests[1].header("cookie"));
    EXPECT_TRUE(requests[1].parts.empty());

    res = upload(chunkParts("0123456789", 0, 2), c);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    requests = observed();
    ASSERT_EQ(requests.size(), 3u);
    const auto& chunk = requests[2];
    EXPECT_EQ(chunk.header("COOKIE"), c) << "header names ignore case";
    EXPECT_EQ(chunk.status, 200);
    std::vector<std::string> names;
    for (const auto& part : chunk.parts) {
        names.push_back(part.name);
    }
    EXPECT_THAT(names, testing::ElementsAre("video", "real_start_date_time", "vantrel_env",
                                            "chunk_number", "total_chunks", "filename"));
    EXPECT_EQ(chunk.parts[0].filename, "rec.mp4");
    EXPECT_EQ(chunk.parts[0].size, 10u);
    EXPECT_EQ(chunk.parts[0].value, "") << "a file part's bytes are not kept";
    EXPECT_EQ(chunk.parts[1].value, "2026-01-01T00:00:00.000Z");
    EXPECT_EQ(chunk.parts[2].value, "prod");
    EXPECT_EQ(chunk.parts[3].value, "0");

    server_->setRefusingUploads(true);
    const auto id = videoId(res);
    expectRefusal(upload(chunkParts("abc", 1, 2, id), c), 503, "refused");
    expectRefusal(upload(chunkParts("abc", 0, 1), c), 503, "refused");
    EXPECT_EQ(server_->chunksReceived(), 1u);
    requests = observed();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[3].status, 503);
    EXPECT_EQ(requests[3].parts.size(), 7u) << "a refused upload's parts are still observed";
    expectRefusal(client_->Get("/api/nowhere"), 404, "No such endpoint");
    EXPECT_EQ(observed().back().status, 404) << "also what no route answers";

    server_->setRefusingUploads(false);
    res = upload(chunkParts("abc", 1, 2, id), c);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    std::ifstream in(*server_->videoPath(id), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "0123456789abc");
}
