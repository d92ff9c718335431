#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace devserver {

inline constexpr std::size_t kMaxChunkBytes = 2'097'152;
// Room for the multipart framing and the small fields around one full chunk.
inline constexpr std::size_t kMaxUploadBody = kMaxChunkBytes + 64 * 1024;

struct Refusal {
    int status;
    std::string message;
};

// One upload request whose parts came with the expected names, kinds and order.
struct UploadChunk {
    std::string bytes;
    std::string filename;
    bool multiChunk = false;
    std::uint64_t chunkNumber = 0;
    std::uint64_t totalChunks = 1;
    std::optional<std::string> videoId;
};

// Collects the parts of one upload as the multipart reader streams them, in arrival order.
// After the first fault it keeps accepting (and dropping) data so the body is still drained
// and the client reads a proper reply instead of a reset connection.
class UploadForm {
  public:
    bool onPartHeader(const std::string& name, const std::string& filename);
    bool onPartData(const char* data, std::size_t size);
    // readOk and readStatus are what the content reader returned and left in the response.
    std::expected<UploadChunk, Refusal> finish(bool readOk, int readStatus);
    // Marks the request refused; the first reason given wins and the rest of the body is dropped.
    void refuse(int status, std::string message);

  private:
    std::vector<std::string> names_;
    std::vector<std::string> values_;  // parallel to names_; the video part's stays empty
    std::string video_;
    std::string videoFilename_;
    std::size_t received_ = 0;
    std::optional<Refusal> refusal_;
};

}  // namespace devserver
