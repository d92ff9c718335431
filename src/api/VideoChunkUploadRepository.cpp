#include "VideoChunkUploadRepository.h"

#include "Json.h"
#include "NetworkingGateway.h"

#include "platform/Log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace api {

namespace {

class FileHandle {
  public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return m_fd; }

  private:
    int m_fd;
};

// Reads exactly `length` bytes at `offset`; fewer means the file shrank under us.
std::expected<void, AnyError> readSlice(int fd, const std::string& path, off_t offset,
                                        std::size_t length, Bytes& slice) {
    slice.resize(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n =
            ::pread(fd, slice.data() + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::unexpected(AnyError::fileReadError(path, errno));
        }
        if (n == 0) {
            return std::unexpected(AnyError::fileChangedWhileReading(path));
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string formatDuration(std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char text[64];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

bool isValidUtf8(const Bytes& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c >> 5) == 0x6) {
            extra = 1;
        } else if ((c >> 4) == 0xE) {
            extra = 2;
        } else if ((c >> 3) == 0x1E) {
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= bytes.size() && extra > 0) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) >> 6) != 0x2) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

// A refused chunk's reply can be as long as any reply; the log keeps its beginning, which is
// where a server says what went wrong.
constexpr std::size_t kLoggedBodyLimit = 4096;

// At most the first kLoggedBodyLimit bytes of valid UTF-8 text, cut before a character that
// would not fit, then how many bytes were left out.
std::string logExcerpt(const std::string& text) {
    if (text.size() <= kLoggedBodyLimit) {
        return text;
    }
    std::size_t cut = kLoggedBodyLimit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut) + "\u2026 (" + std::to_string(text.size() - cut) +
           " more bytes left out)";
}

}  // namespace

VideoChunkUploadRepository::VideoChunkUploadRepository(std::shared_ptr<HttpClient> client,
                                                       const std::string& recordingApiBaseURL,
                                                       platform::DefaultsStore& defaults,
                                                       std::chrono::milliseconds idleTimeout)
    : m_client(std::move(client)),
      m_uploadAddress(appendingPathComponent(recordingApiBaseURL, "/api/v1/video/upload")),
      m_defaults(defaults),
      m_idleTimeout(idleTimeout) {}

std::size_t VideoChunkUploadRepository::sliceCount(std::size_t fileSize) {
    return (fileSize + chunkSize - 1) / chunkSize;
}

std::optional<std::string> VideoChunkUploadRepository::videoIdFromReply(const Bytes& body) {
    if (nestsDeeperThan(body, maxJsonDepth)) {
        return std::nullopt;
    }
    const Json json = Json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    if (const auto top = json.find("video_id"); top != json.end() && top->is_string()) {
        return top->get<std::string>();
    }
    if (const auto data = json.find("data"); data != json.end() && data->is_object()) {
        if (const auto inner = data->find("video_id"); inner != data->end() && inner->is_string()) {
            return inner->get<std::string>();
        }
    }
    return std::nullopt;
}

std::expected<void, AnyError> VideoChunkUploadRepository::upload(
    const std::string& filePath) const {
    // The stored id names the video the link after a session opens. One left by an earlier
    // upload must never stand for this one, whether or not this one gets an id of its own.
    m_defaults.remove("obtained_video_id");
    // The recording is read one slice at a time: an hour of video would not fit in memory.
    FileHandle file(::open(filePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.fd() < 0 || ::fstat(file.fd(), &info) != 0) {
        return std::unexpected(AnyError::fileReadError(filePath, errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return std::unexpected(AnyError::fileReadError(filePath, EISDIR));
    }
    const auto fileSize = static_cast<std::size_t>(info.st_size);
    const std::string fileName = std::filesystem::path(filePath).filename().string();
    const std::size_t count = sliceCount(fileSize);
    if (count == 0) {
        platform::logLine("\u2705 Upload complete!");
        return {};
    }
    const bool isSingleChunk = count == 1;
    std::optional<std::string> videoId;
    Bytes slice;
    for (std::size_t index = 0; index < count; ++index) {
        const std::size_t offset = index * chunkSize;
        const std::size_t length = std::min(chunkSize, fileSize - offset);
        if (auto read = readSlice(file.fd(), filePath, static_cast<off_t>(offset), length, slice);
            !read) {
            return std::unexpected(read.error());
        }
        const Chunk chunk{slice,
                          isSingleChunk ? std::nullopt : std::optional(index),
                          isSingleChunk ? std::nullopt : std::optional(count),
                          fileName,
                          videoId,
                          isSingleChunk,
                          m_defaults.string("current_date_time"),
                          std::string("prod")};
        auto reply = uploadChunk(chunk);
        if (!reply) {
            return std::unexpected(reply.error());
        }
        if (index == 0 && !videoId && *reply) {
            if (auto id = videoIdFromReply(**reply)) {
                m_defaults.setString("obtained_video_id", *id);
                videoId = std::move(id);
            }
        }
    }
    platform::logLine("\u2705 Upload complete!");
    return {};
}

std::expected<std::optional<Bytes>, AnyError> VideoChunkUploadRepository::uploadChunk(
    const Chunk& chunk) const {
    HttpRequest request;
    request.method = "POST";
    request.url = m_uploadAddress;
    request.idleTimeout = m_idleTimeout;
    request.headers.set("Cookie", m_defaults.string("cookie").value_or(""));

    auto& parts = request.multipart;
    parts.push_back({"video", chunk.data, chunk.fileName, std::string("video/mp4")});
    if (chunk.realStartDateTime) {
        parts.push_back({"real_start_date_time", *chunk.realStartDateTime, {}, {}});
    }
    if (chunk.env) {
        parts.push_back({"vantrel_env", *chunk.env, {}, {}});
    }
    if (chunk.isSingleChunk) {
        parts.push_back({"filename", chunk.fileName, {}, {}});
    } else {
        if (chunk.chunkNumber) {
            parts.push_back({"chunk_number", std::to_string(*chunk.chunkNumber), {}, {}});
        }
        if (chunk.totalChunks) {
            parts.push_back({"total_chunks", std::to_string(*chunk.totalChunks), {}, {}});
        }
        parts.push_back({"filename", chunk.fileName, {}, {}});
        if (chunk.videoId) {
            parts.push_back({"video_id", *chunk.videoId, {}, {}});
        }
    }

    const auto start = std::chrono::steady_clock::now();
    platform::logLine("Uploading to URL: " + m_uploadAddress);
    const HttpResponse response = m_client->sendAndWait(std::move(request));
    const std::string duration = formatDuration(start);
    const std::string url = response.url.empty() ? "<unknown URL>" : response.url;

    if (!response.status) {
        const AnyError error =
            response.transportError.value_or(AnyError{"URLError", -1, "Unknown error", ""});
        platform::logLine("\u274C Upload failed (Transport)\n- URL: " + url +
                          "\n- Duration: " + duration + "\n- Error: " + error.localizedDescription);
        return std::unexpected(error);
    }
    const int status = *response.status;
    if (status < 200 || status > 299) {
        const bool readable = response.body && isValidUtf8(*response.body);
        // Session cookies, ours and any the server hands out, must never reach the log.
        platform::logLine(
            "\u274C Upload failed (HTTP)\n- URL: " + url + "\n- Status: " + std::to_string(status) +
            "\n- Duration: " + duration +
            "\n- Request headers: " + response.requestHeaders.describe({"Cookie"}) +
            "\n- Response headers: " + response.headers.describe({"Set-Cookie"}) + "\n- Body: " +
            (readable ? logExcerpt(*response.body) : std::string("<no/undecodable body>")));
        // Pretty-printing recurses once per level: a body nested too deeply is not shown as JSON.
        if (response.body && !nestsDeeperThan(*response.body, maxJsonDepth)) {
            const Json json = Json::parse(*response.body, nullptr, /*allow_exceptions=*/false);
            if (!json.is_discarded()) {
                platform::logLine(
                    "JSON body:\n" +
                    logExcerpt(json.dump(2, ' ', false, Json::error_handler_t::replace)));
            }
        }
        return std::unexpected(AnyError::badServerResponse());
    }
    if (chunk.chunkNumber && chunk.totalChunks) {
        platform::logLine("Uploaded chunk " + std::to_string(*chunk.chunkNumber + 1) + " of " +
                          std::to_string(*chunk.totalChunks));
    } else {
        platform::logLine("Uploaded single chunk");
    }
    platform::logLine("\u2705 Upload succeeded\n- URL: " + url +
                      "\n- Status: " + std::to_string(status) + "\n- Duration: " + duration);
    return response.body;
}

}  // namespace api
