#pragma once

#include "MediaTime.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// A rectangle of a frame, in pixels.
struct PixelArea {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelArea&) const = default;
};

// What changed in a source's picture from frame to frame. The source numbers its frames and
// records the areas each one changed; whoever keeps a copy of an earlier frame (converted,
// scaled, encoded) can bring it up to the later one by redoing only those areas. Thread-safe:
// the source records while consumers on other threads ask.
class FrameChanges {
  public:
    FrameChanges(int width, int height);
    FrameChanges(const FrameChanges&) = delete;
    FrameChanges& operator=(const FrameChanges&) = delete;

    // Distinct for every history ever made, unlike addresses, which come back.
    std::uint64_t id() const { return m_id; }
    // Records the next frame: the areas it changed (clipped to the frame), or the whole frame.
    // Returns its serial, from 1 on.
    std::uint64_t record(const std::vector<PixelArea>& areas);
    std::uint64_t recordWhole();
    // Every area changed by the frames after `since` up to and including `upTo`; nullopt when
    // that is no longer known or adds up to most of the frame: then take the whole frame.
    std::optional<std::vector<PixelArea>> changedBetween(std::uint64_t since,
                                                         std::uint64_t upTo) const;

    // Frames of history kept: consumers that fall further behind redo the whole frame.
    static constexpr std::size_t kDepth = 64;

  private:
    struct Entry {
        bool whole = false;
        std::vector<PixelArea> areas;
    };
    const std::uint64_t m_id;
    const int m_width;
    const int m_height;
    mutable std::mutex m_mutex;
    std::deque<Entry> m_entries;  // the frames up to m_last, oldest first
    std::uint64_t m_last = 0;
};

// The memory of a picture: its own, or lent by whoever made the picture (memory shared with
// the display server, say) and given back through the deleter of memory() when the last holder
// lets go.
class PixelBytes {
  public:
    // Memory of its own, every byte set to value.
    void assign(std::size_t size, std::uint8_t value);
    // Lent memory of at least size bytes.
    void adopt(std::shared_ptr<std::uint8_t> memory, std::size_t size);

    std::uint8_t* data() { return m_memory.get(); }
    const std::uint8_t* data() const { return m_memory.get(); }
    std::size_t size() const { return m_size; }
    std::uint8_t& operator[](std::size_t i) { return m_memory.get()[i]; }
    std::uint8_t operator[](std::size_t i) const { return m_memory.get()[i]; }
    std::uint8_t* begin() { return data(); }
    std::uint8_t* end() { return data() + m_size; }
    const std::shared_ptr<std::uint8_t>& memory() const { return m_memory; }

  private:
    std::shared_ptr<std::uint8_t> m_memory;
    std::size_t m_size = 0;
};

// One captured screen frame: 32-bit BGRA, rows of bytesPerRow bytes. The picture is opaque:
// the fourth byte may be padding as the source left it. A consumer that finishes its work on
// the picture later, on a thread of its own, keeps a shared one alive through weak_from_this()
// instead of copying it.
struct PixelBuffer : std::enable_shared_from_this<PixelBuffer> {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    PixelBytes bytes;
    // The picture's place in its source's history, when the source keeps one (serial 0: none).
    std::shared_ptr<const FrameChanges> changes;
    std::uint64_t serial = 0;

    static std::shared_ptr<PixelBuffer> make(int width, int height);
    std::uint8_t* row(int y) { return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow; }
    const std::uint8_t* row(int y) const {
        return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow;
    }
};

enum class MediaType { video, audio, other };

// Which output of a capture stream a sample is for.
enum class StreamOutputType { screen, audio, microphone };

// What the capture stream hands to its outputs for every frame.
struct VideoSample {
    bool isValid = true;
    bool dataIsReady = true;
    MediaType mediaType = MediaType::video;
    std::shared_ptr<const PixelBuffer> imageBuffer;
    MediaTime presentationTime;
};

}  // namespace platform
