#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

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

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace devserver
