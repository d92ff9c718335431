#include "VideoChunkUploadRepository.h"

#include "Await.h"
#include "TestHttpServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

using namespace api;

namespace {

constexpr std::size_t kChunk = VideoChunkUploadRepository::chunkSize;

class ChunkUploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* key : {"cookie", "current_date_time", "obtained_video_id"}) {
            defaults.remove(key);
        }
        defaults.setString("cookie", "sessionid=secret");
    }

    // A file whose bytes tell their offset, so misplaced slices show.
    std::string writeFile(std::size_t size, const std::string& name = "Korvane_take.mp4") {
        const std::string path = std::string(std::getenv("KORVANE_TEST_HOME")) + "/" + name;
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 31 + i / kChunk) & 0xFF);
        }
        std::ofstream(path, std::ios::binary) << bytes;
        contents = bytes;
        return path;
    }

    void replyWith(
        std::function<void(const RecordedRequest&, httplib::Response&, std::size_t)> handler) {
        auto counter = std::make_shared<std::atomic<std::size_t>>(0);
        server.on("POST", "/api/v1/video/upload",
                  [handler, counter](const RecordedRequest& r, httplib::Response& res) {
                      handler(r, res, counter->fetch_add(1));
                  });
    }

    TestHttpServer server;
    platform::DefaultsStore& defaults = platform::DefaultsStore::standard();
    LogCapture log;
    VideoChunkUploadRepository uploader{HttpClient::shared(), server.baseURL(), defaults};
    std::string contents;
};

}  // namespace

TEST_F(ChunkUploadTest, ExactlyOneChunkIsASingleChunkUpload) {
    replyWith(
        [](const RecordedRequest&, httplib::Response& res, std::size_t) { res.status = 200; });
    defaults.setString("current_date_time", "2026-12-08T10:00:00.000Z");
    ASSERT_TRUE(uploader.upload(writeFile(kChunk)));

    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].path, "/api/v1/video/upload");
    EXPECT_EQ(sent[0].partNames(), (std::vector<std::string>{"video", "real_start_date_time",
                                                             "vantrel_env", "filename"}));
    EXPECT_EQ(sent[0].parts[0].fileName, "Korvane_take.mp4");
    EXPECT_EQ(sent[0].parts[0].contentType, "video/mp4");
    EXPECT_EQ(sent[0].parts[0].content, contents);
    EXPECT_EQ(sent[0].part("real_start_date_time"), "2026-12-08T10:00:00.000Z");
    EXPECT_EQ(sent[0].part("vantrel_env"), "prod");
    EXPECT_EQ(sent[0].part("filename"), "Korvane_take.mp4");
    EXPECT_EQ(sent[0].header("Cookie"), "sessionid=secret");
    EXPECT_EQ(log.linesStartingWith("Uploaded"),
              (std::vector<std::string>{"Uploaded single chunk"}));
    EXPECT_EQ(log.linesStartingWith("Uploading to URL: "),
              (std::vector<std::string>{"Uploading to URL: " + server.baseURL() +
                                        "/api/v1/video/upload"}));
    EXPECT_EQ(log.lines().back(), "\u2705 Upload complete!");
}

TEST_F(ChunkUploadTest, OneByteMoreMakesTwoChunksThatCarryTheServersVideoId) {
    replyWith([](const RecordedRequest&, httplib::Response& res, std::size_t n) {
        // Only the first reply is read; a later id must be ignored.
        res.set_content(n == 0 ? R"({"data":{"video_id":"abc"}})" : R"({"video_id":"other"})",
                        "application/json");
    });
    ASSERT_TRUE(uploader.upload(writeFile(kChunk + 1)));

    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].partNames(), (std::vector<std::string>{"video", "vantrel_env", "chunk_number",
                                                             "total_chunks", "filename"}));
    EXPECT_EQ(sent[1].partNames(),
              (std::vector<std::string>{"video", "vantrel_env", "chunk_number", "total_chunks",
                                        "filename", "video_id"}));
    EXPECT_EQ(sent[0].part("chunk_number"), "0");
    EXPECT_EQ(sent[1].part("chunk_number"), "1");
    EXPECT_EQ(sent[0].part("total_chunks"), "2");
    EXPECT_EQ(sent[1].part("total_chunks"), "2");
    EXPECT_EQ(sent[1].part("video_id"), "abc");
    EXPECT_EQ(sent[0].parts[0].content.size() + sent[1].parts[0].content.size(), contents.size());
    EXPECT_EQ(sent[0].parts[0].content + sent[1].parts[0].content, contents);
    EXPECT_EQ(defaults.string("obtained_video_id"), "abc");
    EXPECT_EQ(log.linesStartingWith("Uploaded"),
              (std::vector<std::string>{"Uploaded chunk 1 of 2", "Uploaded chunk 2 of 2"}));
    const auto succeeded = log.linesStartingWith("\u2705 Upload succeeded");
    ASSERT_EQ(succeeded.size(), 2u);
    EXPECT_EQ(succeeded[0].substr(0, succeeded[0].find("- Duration: ")),
              "\u2705 Upload succeeded\n- URL: " + server.baseURL() +
                  "/api/v1/video/upload\n- Status: 200\n");
}

TEST_F(ChunkUploadTest, VideoIdRules) {
    struct Case {
        const char* firstReply;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {R"({"video_id":"top","data":{"video_id":"inner"}})", "top"},
        {R"({"video_id":5,"data":{"video_id":"inner"}})", "inner"},
        {R"({"video_id":5})", std::nullopt},
        {R"(["video_id"])", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VideoChunkUploadRepository::videoIdFromReply(c.firstReply), c.expected)
            << c.firstReply;
    }

    // Without a usable id, later chunks go out without one, and no id is stored: an earlier
    // upload's id must not pass for this one.
    defaults.setString("obtained_video_id", "previous");
    replyWith([](const RecordedRequest&, httplib::Response& res, std::size_t) {
        res.set_content(R"({"video_id":9})", "application/json");
    });
    ASSERT_TRUE(uploader.upload(writeFile(2 * kChunk + 5)));
    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& r : sent) {
        EXPECT_FALSE(r.part("video_id").has_value());
    }
    EXPECT_FALSE(defaults.string("obtained_video_id"));
}

TEST_F(ChunkUploadTest, AnEarlierVideoIdIsGoneOnceAnUploadBeginsAndAFailureLeavesNone) {
    // What the server's first chunk finds stored: the id is gone before the upload sends anything.
    auto seenAtFirstChunk = std::make_shared<std::promise<std::optional<std::string>>>();
    replyWith(
        [this, seenAtFirstChunk](const RecordedRequest&, httplib::Response& res, std::size_t n) {
            if (n == 0) {
                seenAtFirstChunk->set_value(defaults.string("obtained_video_id"));
            }
            res.status = 500;
        });
    defaults.setString("obtained_video_id", "earlier");
    EXPECT_FALSE(uploader.upload(writeFile(kChunk + 1)));
    EXPECT_EQ(seenAtFirstChunk->get_future().get(), std::nullopt);
    EXPECT_FALSE(defaults.string("obtained_video_id"))
        << "a refused first chunk leaves no id behind";
    EXPECT_EQ(server.requestCount(), 1u);

    // Nobody answering, or a file that cannot be read, are failures of the new upload as well.
    std::string url;
    {
        TestHttpServer gone;
        url = gone.baseURL();
    }
    defaults.setString("obtained_video_id", "earlier");
    EXPECT_FALSE(
        VideoChunkUploadRepository(HttpClient::shared(), url, defaults).upload(writeFile(10)));
    EXPECT_FALSE(defaults.string("obtained_video_id"));

    defaults.setString("obtained_video_id", "earlier");
    EXPECT_FALSE(uploader.upload("/nonexistent/Korvane_x.mp4"));
    EXPECT_FALSE(defaults.string("obtained_video_id"));
}

TEST_F(ChunkUploadTest, StartTimeIsReadAfreshBeforeEveryChunk) {
    replyWith([this](const RecordedRequest&, httplib::Response& res, std::size_t n) {
        if (n == 0) {
            defaults.setString("current_date_time", "late-arrival");
        }
        res.status = 200;
    });
    ASSERT_TRUE(uploader.upload(writeFile(kChunk + 10)));
    const auto sent = server.requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FALSE(sent[0].part("real_start_date_time").has_value());
    EXPECT_EQ(sent[1].part("real_start_date_time"), "late-arrival");
}

TEST_F(ChunkUploadTest, AcceptsOnly2xxAndStopsAtTheFirstRefusedChunk) {
    for (int status : {300, 199}) {
        replyWith([status](const RecordedRequest&, httplib::Response& res, std::size_t) {
            res.status = status;
        });
        EXPECT_FALSE(uploader.upload(writeFile(10))) << status;
    }
    server.on("POST", "/api/v1/video/upload",
              [](const RecordedRequest&, httplib::Response& res) { res.status = 200; });
    EXPECT_TRUE(uploader.upload(writeFile(10))) << "200 with an empty body is accepted";

    const std::size_t before = server.requestCount();
    replyWith([](const RecordedRequest&, httplib::Response& res, std::size_t n) {
        if (n == 1) {
            res.status = 500;
            res.set_content(R"({"detail":"disk full"})", "application/json");
        }
    });
    auto result = uploader.upload(writeFile(4 * kChunk));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, -1011);
    EXPECT_EQ(server.requestCount() - before, 2u)
        << "chunks after the refused one must not be sent";

    const auto failures = log.linesStartingWith("\u274C Upload failed (HTTP)");
    ASSERT_FALSE(failures.empty());
    const std::string& last = failures.back();
    EXPECT_NE(last.find("\n- Status: 500\n- Duration: "), std::string::npos) << last;
    EXPECT_NE(last.find("\n- Request headers: [\"Cookie\": \"<redacted>\"]"), std::string::npos)
        << last;
    EXPECT_NE(last.find("\n- Body: {\"detail\":\"disk full\"}"), std::string::npos) << last;
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.find("secret"), std::string::npos)
            << "the cookie leaked into the log: " << line;
    }
    EXPECT_EQ(log.linesStartingWith("JSON body:\n"),
              (std::vector<std::string>{"JSON body:\n{\n  \"detail\": \"disk full\"\n}"}));
}

TEST_F(ChunkUploadTest, ARefusalWithoutBodyLogsNoJsonLine) {
    replyWith(
        [](const RecordedRequest&, httplib::Response& res, std::size_t) { res.status = 500; });
    EXPECT_FALSE(uploader.upload(writeFile(10)));
    const auto failures = log.linesStartingWith("\u274C Upload failed (HTTP)");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("\n- Body: <no/undecodable body>"), std::string::npos);
    EXPECT_TRUE(log.linesStartingWith("JSON body:").empty());
}

TEST_F(ChunkUploadTest, AConnectionThatDiesFailsAsTransport) {
    std::string url;
    {
        TestHttpServer gone;
        url = gone.baseURL();
    }
    VideoChunkUploadRepository unreachable(HttpClient::shared(), url, defaults);
    auto result = unreachable.upload(writeFile(10));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().localizedDescription, "Could not connect to the server.");
    const auto failures = log.linesStartingWith("\u274C Upload failed (Transport)");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].substr(0, failures[0].find("\n- Duration: ")),
              "\u274C Upload failed (Transport)\n- URL: " + url + "/api/v1/video/upload");
    EXPECT_NE(failures[0].find("\n- Error: Could not connect to the server."), std::string::npos);
}

TEST_F(ChunkUploadTest, UnreadableOrShrinkingFilesFailWithAReadErrorAndAreLeftAlone) {
    replyWith(
        [](const RecordedRequest&, httplib::Response& res, std::size_t) { res.status = 200; });
    auto missing = uploader.upload("/nonexistent/Korvane_x.mp4");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, 260);
    EXPECT_EQ(server.requestCount(), 0u);

    // The file is cut short while the first chunk is in flight: the second read comes up short.
    const std::string path = writeFile(3 * kChunk, "shrinking.mp4");
    replyWith([path](const RecordedRequest&, httplib::Response& res, std::size_t n) {
        if (n == 0) {
            std::filesystem::resize_file(path, kChunk + 100);
        }
        res.status = 200;
    });
    auto shrunk = uploader.upload(path);
    ASSERT_FALSE(shrunk);
    EXPECT_EQ(shrunk.error().localizedDescription,
              "The file \u201cshrinking.mp4\u201d couldn\u2019t be read.");
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(log.linesStartingWith("\u2705 Upload complete!").empty());
}
