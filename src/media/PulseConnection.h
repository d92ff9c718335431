#pragma once

// Internal to the PulseAudio engine and device discovery.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace platform::pulse {

inline constexpr std::chrono::milliseconds kConnectTimeout{2000};

// A context on its own threaded main loop. Every call below except open() and the destructor
// expects the loop lock to be held (see Lock).
class Connection {
  public:
    // Connects without autospawning a server; fails with a readable text after the timeout.
    static std::expected<std::unique_ptr<Connection>, std::string> open(
        const char* clientName, std::chrono::milliseconds timeout);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_threaded_mainloop* loop() const { return m_loop; }
    pa_context* context() const { return m_context; }
    bool inLoopThread() const;

    // Waits (lock held) until done() is true; false when the timeout passed first.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Waits for an operation to finish and releases it; false on timeout or a null operation.
    bool finish(pa_operation* operation, std::chrono::milliseconds timeout);
    // Wakes the waiters (from a callback).
    void signal();
    std::string lastError() const;

    class Lock {
      public:
        explicit Lock(Connection& connection) : m_loop(connection.loop()) {
            pa_threaded_mainloop_lock(m_loop);
        }
        ~Lock() { pa_threaded_mainloop_unlock(m_loop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* m_loop;
    };

  private:
    Connection() = default;

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

}  // namespace platform::pulse
