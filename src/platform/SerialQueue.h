#pragma once

#include "Executor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class SerialQueue;

// A repeating timer on a serial queue. Deadlines are absolute (start + k x interval), so a
// slow handler never makes the timer drift; a handler that runs late is told how many
// intervals went by since its previous run (1 when on time).
class QueueTimer {
  public:
    ~QueueTimer();
    QueueTimer(const QueueTimer&) = delete;
    QueueTimer& operator=(const QueueTimer&) = delete;

    // No handler starts after cancel() returns; a handler already running on another thread
    // is waited for (unless cancel() is called from that handler itself).
    void cancel();
    bool isCancelled() const;

  private:
    friend class SerialQueue;
    struct State;
    explicit QueueTimer(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

// One named thread that runs posted closures one at a time, ordered by their due time and,
// for equal due times, by the order in which they were posted.
class SerialQueue final : public Executor {
  public:
    using Clock = std::chrono::steady_clock;

    explicit SerialQueue(std::string label);
    // Runs every closure already due, drops the delayed ones not yet due, then joins.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return m_label; }

    void post(std::function<void()> task) override;
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> task);
    void postAt(Clock::time_point deadline, std::function<void()> task);

    // Runs the closure on the queue and waits for it. Runs it inline when called on the queue.
    void sync(const std::function<void()>& task);

    // Starts a repeating timer whose first run is due at firstDeadline. The handler receives the
    // number of intervals that passed since its previous run (missed intervals are folded in).
    std::unique_ptr<QueueTimer> startTimer(Clock::time_point firstDeadline,
                                           std::chrono::nanoseconds interval,
                                           std::function<void(std::uint64_t)> handler);

    // True when called from this queue's own thread.
    bool isCurrent() const;

    // Stops accepting work; what is already due still runs. Idempotent; called by the destructor.
    void shutdown();
    // Shuts down and waits until what was due has run and the thread has ended (from the queue's
    // own thread it cannot wait: the thread then ends after the running closure). Idempotent;
    // called by the destructor.
    void join();

    // The label of the queue the caller runs on, or empty text off any queue.
    static std::string currentLabel();

  private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared);
    bool enqueue(Clock::time_point deadline, std::function<void()> task);

    std::string m_label;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace platform
