#include "PixelBuffer.h"

#include <algorithm>
#include <atomic>

namespace platform {

namespace {

std::atomic<std::uint64_t> g_nextHistory{1};

}  // namespace

FrameChanges::FrameChanges(int width, int height)
    : m_id(g_nextHistory.fetch_add(1)), m_width(width), m_height(height) {}

std::uint64_t FrameChanges::record(const std::vector<PixelArea>& areas) {
    Entry entry;
    for (const PixelArea& area : areas) {
        const int left = std::max(area.x, 0);
        const int top = std::max(area.y, 0);
        const int right = std::min(area.x + area.width, m_width);
        const int bottom = std::min(area.y + area.height, m_height);
        if (right > left && bottom > top) {
            entry.areas.push_back({left, top, right - left, bottom - top});
        }
    }
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(entry));
    if (m_entries.size() > kDepth) {
        m_entries.pop_front();
    }
    return ++m_last;
}

std::uint64_t FrameChanges::recordWhole() {
    std::lock_guard lock(m_mutex);
    m_entries.push_back({true, {}});
    if (m_entries.size() > kDepth) {
        m_entries.pop_front();
    }
    return ++m_last;
}

std::optional<std::vector<PixelArea>> FrameChanges::changedBetween(std::uint64_t since,
                                                                   std::uint64_t upTo) const {
    std::lock_guard lock(m_mutex);
    const std::uint64_t first = m_last + 1 - m_entries.size();
    if (since == 0 || since + 1 < first || upTo > m_last || since > upTo) {
        return std::nullopt;
    }
    std::vector<PixelArea> areas;
    std::int64_t covered = 0;
    for (std::uint64_t serial = since + 1; serial <= upTo; ++serial) {
        const Entry& entry = m_entries[static_cast<std::size_t>(serial - first)];
        if (entry.whole) {
            return std::nullopt;
        }
        for (const PixelArea& area : entry.areas) {
            // A panel that changes on every frame shows up once, not once a frame.
            if (std::find(areas.begin(), areas.end(), area) == areas.end()) {
                areas.push_back(area);
                covered += static_cast<std::int64_t>(area.width) * area.height;
            }
        }
    }
    // Past half the frame, many small pieces cost more than one pass over all of it.
    if (2 * covered > static_cast<std::int64_t>(m_width) * m_height) {
        return std::nullopt;
    }
    return areas;
}

void PixelBytes::assign(std::size_t size, std::uint8_t value) {
    m_memory = std::shared_ptr<std::uint8_t>(new std::uint8_t[size],
                                             std::default_delete<std::uint8_t[]>());
    m_size = size;
    std::fill(begin(), end(), value);
}

void PixelBytes::adopt(std::shared_ptr<std::uint8_t> memory, std::size_t size) {
    m_memory = std::move(memory);
    m_size = m_memory ? size : 0;
}

std::shared_ptr<PixelBuffer> PixelBuffer::make(int width, int height) {
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->width = std::max(width, 0);
    buffer->height = std::max(height, 0);
    buffer->bytesPerRow = buffer->width * 4;
    buffer->bytes.assign(static_cast<std::size_t>(buffer->bytesPerRow) * buffer->height, 0);
    return buffer;
}

}  // namespace platform
