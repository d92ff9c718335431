#pragma once

#include "platform/Reachability.h"
#include "platform/Single.h"

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>

// Subscribes and blocks until the result (or 10 s pass: then nothing).
template <class T, class E>
std::optional<std::expected<T, E>> await(const platform::Single<T, E>& single,
                                         std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto promise = std::make_shared<std::promise<std::expected<T, E>>>();
    auto future = promise->get_future();
    auto token = single.subscribe(
        [promise](std::expected<T, E> result) { promise->set_value(std::move(result)); });
    if (future.wait_for(limit) != std::future_status::ready) {
        return std::nullopt;
    }
    return future.get();
}

class FixedReachability final : public platform::Reachability {
  public:
    explicit FixedReachability(bool reachable) : m_reachable(reachable) {}
    bool isReachable() const override { return m_reachable; }
    void set(bool reachable) { m_reachable = reachable; }

  private:
    std::atomic<bool> m_reachable;
};

// Collects log lines for the life of the object.
#include <mutex>
#include <vector>
#include "platform/Log.h"
class LogCapture {
  public:
    LogCapture() {
        platform::setLogSink([this](std::string_view line) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(line);
        });
    }
    ~LogCapture() { platform::setLogSink({}); }
    std::vector<std::string> lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : lines()) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
