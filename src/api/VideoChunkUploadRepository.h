#pragma once

#include "AnyError.h"
#include "HttpClient.h"

#include "platform/DefaultsStore.h"

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace api {

// Sends a finished recording to the recording API as multipart chunks of at most 2 MiB, strictly
// one after another. The calls block: run them off the main thread.
class VideoChunkUploadRepository {
  public:
    static constexpr std::size_t chunkSize = 2'097'152;

    struct Chunk {
        const Bytes& data;
        std::optional<std::size_t> chunkNumber;
        std::optional<std::size_t> totalChunks;
        std::string fileName;
        std::optional<std::string> videoId;
        bool isSingleChunk = false;
        std::optional<std::string> realStartDateTime;
        std::optional<std::string> env;
    };

    // A chunk fails once its transfer has stood still for `idleTimeout`.
    VideoChunkUploadRepository(
        std::shared_ptr<HttpClient> client, const std::string& recordingApiBaseURL,
        platform::DefaultsStore& defaults,
        std::chrono::milliseconds idleTimeout = HttpRequest::defaultIdleTimeout);

    // Uploads the file at filePath. Succeeds when every chunk was accepted (or the file is
    // empty); fails with the first error met. The file itself is left alone. The stored
    // "obtained_video_id" is cleared first and set again only from this upload's first reply.
    std::expected<void, AnyError> upload(const std::string& filePath) const;

    // Sends one chunk; the reply body (absent when empty) or the failure.
    std::expected<std::optional<Bytes>, AnyError> uploadChunk(const Chunk& chunk) const;

    const std::string& uploadAddress() const { return m_uploadAddress; }

    // Number of slices of a file of the given size (the last one holds the remainder).
    static std::size_t sliceCount(std::size_t fileSize);

    // The server's video id in the first chunk's reply: a text "video_id" at the top level,
    // else inside the object "data".
    static std::optional<std::string> videoIdFromReply(const Bytes& body);

  private:
    std::shared_ptr<HttpClient> m_client;
    std::string m_uploadAddress;
    platform::DefaultsStore& m_defaults;
    std::chrono::milliseconds m_idleTimeout;
};

}  // namespace api
