#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devserver {

struct Config {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0 picks a free port
    std::string user = "trader";
    std::string password = "korvane";
    // Uploaded videos and the state file (sessions, uploads) that start() reads back; created
    // by start() when missing.
    std::filesystem::path dataDir;
};

// One part of a multipart request, in arrival order. A file part keeps its filename and size,
// not its bytes; a plain field keeps its value.
struct ObservedPart {
    std::string name;
    std::string value;
    std::string filename;
    std::size_t size = 0;
};

// A request as the stand-in answered it, for tests that check what a client sent.
struct ObservedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<ObservedPart> parts;  // upload requests only
    int status = 0;
    std::string responseBody;  // as the handler gave it, before any compression

    // The first header of that name, ignoring case.
    std::optional<std::string> header(const std::string& name) const;
};

// Loopback stand-in for the web application's API and the recording API, on one host:port.
class DevServer {
  public:
    explicit DevServer(Config config);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Reads back the data folder's sessions and uploads, then binds and serves on a thread of
    // its own; returns the bound port.
    std::expected<int, std::string> start();
    void stop();

    int port() const;
    std::string baseUrl() const;

    // Joined file of an upload, once its first chunk has been accepted.
    std::optional<std::filesystem::path> videoPath(const std::string& videoId) const;
    // Upload chunks accepted so far, over all videos.
    std::size_t chunksReceived() const;

    // Called on a server thread with each request and its answer, before the answer is sent.
    void setRequestObserver(std::function<void(const ObservedRequest&)> observer);
    // While on, every upload is answered 503 and nothing is stored: a service that is down.
    void setRefusingUploads(bool refusing);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace devserver
