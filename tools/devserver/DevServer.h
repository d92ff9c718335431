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
    std::filesystem::path dataDir;  // created by start() when missing
};

// Loopback stand-in for the web application's API and the recording API, on one host:port.
class DevServer {
  public:
    explicit DevServer(Config config);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Binds and serves on a thread of its own; returns the bound port.
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
