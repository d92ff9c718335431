#include "UploadForm.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

namespace devserver {
namespace {

constexpr std::size_t kMaxFieldBytes = 1024;

constexpr std::array<std::string_view, 7> kKnownParts = {
    "video",    "real_start_date_time", "vantrel_env", "chunk_number", "total_chunks", "filename",
    "video_id",
};

// Client-supplied names end up in messages; keep them short.
std::string quoted(std::string_view s) {
    constexpr std::size_t kMax = 64;
    std::string out = "\"" + std::string(s.substr(0, kMax));
    return out + (s.size() > kMax ? "...\"" : "\"");
}

std::string tooLarge() {
    return "request body larger than " + std::to_string(kMaxUploadBody) +
           " bytes; a chunk's video part may be at most " + std::to_string(kMaxChunkBytes) +
           " bytes";
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

void UploadForm::refuse(int status, std::string message) {
    if (!refusal_) {
        refusal_ = Refusal{status, std::move(message)};
    }
    video_.clear();
    video_.shrink_to_fit();
}

bool UploadForm::onPartHeader(const std::string& name, const std::string& filename) {
    if (refusal_) {
        return true;
    }
    if (std::ranges::find(kKnownParts, name) == kKnownParts.end()) {
        refuse(400, "unexpected part " + quoted(name));
    } else if (std::ranges::find(names_, name) != names_.end()) {
        refuse(400, "part " + quoted(name) + " sent more than once");
    } else if (name == "video" && filename.empty()) {
        refuse(400, "part \"video\" must be a file part with a filename");
    } else if (name != "video" && !filename.empty()) {
        refuse(400, "part " + quoted(name) + " must be a plain field, not a file");
    }
    names_.push_back(name);
    values_.emplace_back();
    if (name == "video") {
        videoFilename_ = filename;
    }
    return true;
}

bool UploadForm::onPartData(const char* data, std::size_t size) {
    received_ += size;
    if (received_ > kMaxUploadBody) {
        refuse(400, tooLarge());
        return false;  // stop reading: this is no longer one chunk
    }
    if (refusal_ || names_.empty()) {
        return true;
    }
    if (names_.back() == "video") {
        if (video_.size() + size > kMaxChunkBytes) {
            refuse(400,
                   "part \"video\" is larger than " + std::to_string(kMaxChunkBytes) + " bytes");
        } else {
            video_.append(data, size);
        }
    } else if (values_.back().size() + size > kMaxFieldBytes) {
        refuse(400, "part " + quoted(names_.back()) + " is longer than " +
                        std::to_string(kMaxFieldBytes) + " bytes");
    } else {
        values_.back().append(data, size);
    }
    return true;
}

std::expected<UploadChunk, Refusal> UploadForm::finish(bool readOk, int readStatus) {
    if (refusal_) {
        return std::unexpected(*refusal_);
    }
    if (!readOk) {
        if (readStatus == 413) {
            return std::unexpected(Refusal{400, tooLarge()});
        }
        return std::unexpected(Refusal{400, "malformed multipart/form-data body"});
    }

    // real_start_date_time is optional; with it dropped, the sequence must be one of these.
    std::vector<std::string_view> seq(names_.begin(), names_.end());
    if (seq.size() > 1 && seq[1] == "real_start_date_time") {
        seq.erase(seq.begin() + 1);
    }
    using Seq = std::vector<std::string_view>;
    const Seq single = {"video", "vantrel_env", "filename"};
    const Seq firstChunk = {"video", "vantrel_env", "chunk_number", "total_chunks", "filename"};
    Seq laterChunk = firstChunk;
    laterChunk.push_back("video_id");
    if (seq != single && seq != firstChunk && seq != laterChunk) {
        std::string got;
        for (const auto& n : names_) {
            got += (got.empty() ? "" : ", ") + quoted(n);
        }
        return std::unexpected(Refusal{
            400,
            "parts must be video, [real_start_date_time,] vantrel_env, then either filename alone "
            "or chunk_number, total_chunks, filename[, video_id]; got: " +
                (got.empty() ? std::string("no parts") : got)});
    }

    auto value = [&](std::string_view name) -> const std::string& {
        return values_[std::ranges::find(names_, name) - names_.begin()];
    };
    UploadChunk chunk;
    chunk.bytes = std::move(video_);
    chunk.filename = value("filename");
    if (chunk.filename.empty()) {
        return std::unexpected(Refusal{400, "part \"filename\" is empty"});
    }
    if (seq == single) {
        return chunk;
    }

    chunk.multiChunk = true;
    const auto number = parseDecimal(value("chunk_number"));
    const auto total = parseDecimal(value("total_chunks"));
    if (!number) {
        return std::unexpected(
            Refusal{400, "chunk_number is not a decimal number: " + quoted(value("chunk_number"))});
    }
    if (!total) {
        return std::unexpected(
            Refusal{400, "total_chunks is not a decimal number: " + quoted(value("total_chunks"))});
    }
    if (*number >= *total) {
        return std::unexpected(Refusal{400, "chunk_number " + std::to_string(*number) +
                                                " is out of range for total_chunks " +
                                                std::to_string(*total)});
    }
    chunk.chunkNumber = *number;
    chunk.totalChunks = *total;
    if (seq == laterChunk) {
        chunk.videoId = value("video_id");
    }
    if (chunk.chunkNumber == 0 && chunk.videoId) {
        return std::unexpected(
            Refusal{400, "chunk 0 starts a new upload and must not carry video_id"});
    }
    if (chunk.chunkNumber > 0 && !chunk.videoId) {
        return std::unexpected(
            Refusal{400, "video_id is required on chunk " + std::to_string(chunk.chunkNumber)});
    }
    return chunk;
}

}  // namespace devserver
