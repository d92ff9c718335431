#include "SerialQueue.h"

#include <atomic>
#include <map>
#include <utility>

#include <pthread.h>

namespace platform {

namespace {
thread_local const std::string* t_currentLabel = nullptr;
}

struct SerialQueue::Shared {
    explicit Shared(std::string l) : label(std::move(l)) {}
    const std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    // Keyed by (deadline, sequence): equal deadlines keep posting order.
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> tasks;
    std::uint64_t sequence = 0;
    bool stopping = false;
    std::thread::id threadId;
};

SerialQueue::SerialQueue(std::string label)
    : m_label(std::move(label)), m_shared(std::make_shared<Shared>(m_label)) {
    m_thread = std::thread(&SerialQueue::run, m_shared);
    std::lock_guard lock(m_shared->mutex);
    m_shared->threadId = m_thread.get_id();
}

SerialQueue::~SerialQueue() {
    join();
}

void SerialQueue::join() {
    shutdown();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // Called from one of its own closures: the thread finishes that closure and exits on
        // its own; the shared state outlives this object.
        m_thread.detach();
    } else if (m_thread.joinable()) {
        m_thread.join();
    }
}

void SerialQueue::shutdown() {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
    }
    m_shared->wake.notify_all();
}

void SerialQueue::run(std::shared_ptr<Shared> shared) {
    t_currentLabel = &shared->label;
    // The label's tail names the thread in debuggers and profilers (at most 15 characters).
    const std::string name =
        shared->label.size() > 15 ? shared->label.substr(shared->label.size() - 15) : shared->label;
    pthread_setname_np(pthread_self(), name.c_str());
    std::unique_lock lock(shared->mutex);
    for (;;) {
        if (shared->tasks.empty()) {
            if (shared->stopping) {
                break;
            }
            shared->wake.wait(lock);
            continue;
        }
        auto first = shared->tasks.begin();
        const auto now = Clock::now();
        if (first->first.first > now) {
            if (shared->stopping) {
                // Delayed work that is not due yet is dropped at shutdown.
                shared->tasks.clear();
                break;
            }
            shared->wake.wait_until(lock, first->first.first);
            continue;
        }
        auto task = std::move(first->second);
        shared->tasks.erase(first);
        lock.unlock();
        task();
        task = nullptr;  // release captures off the lock
        lock.lock();
    }
    t_currentLabel = nullptr;
}

bool SerialQueue::enqueue(Clock::time_point deadline, std::function<void()> task) {
    // Notify under the lock: once it is released the task may run and even destroy this queue,
    // so nothing of this object may be touched afterwards.
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->stopping) {
        return false;
    }
    m_shared->tasks.emplace(std::make_pair(deadline, m_shared->sequence++), std::move(task));
    m_shared->wake.notify_one();
    return true;
}

void SerialQueue::post(std::function<void()> task) {
    enqueue(Clock::now(), std::move(task));
}

void SerialQueue::postAfter(std::chrono::nanoseconds delay, std::function<void()> task) {
    enqueue(Clock::now() + delay, std::move(task));
}

void SerialQueue::postAt(Clock::time_point deadline, std::function<void()> task) {
    enqueue(deadline, std::move(task));
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    const bool queued = enqueue(Clock::now(), [&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    if (!queued) {
        return;
    }
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
    return t_currentLabel == &m_shared->label;
}

std::string SerialQueue::currentLabel() {
    return t_currentLabel ? *t_currentLabel : std::string();
}

// --- QueueTimer ---

struct QueueTimer::State {
    using Clock = SerialQueue::Clock;
    std::function<void(std::uint64_t)> handler;
    Clock::time_point start;
    std::chrono::nanoseconds interval{};
    std::uint64_t lastIndex = 0;  // index of the deadline handled last (1-based; 0 = none yet)
    std::atomic<bool> cancelled{false};
    // Held while the handler runs so that cancel() from another thread can wait it out.
    std::recursive_mutex running;
};

QueueTimer::QueueTimer(std::shared_ptr<State> state) : m_state(std::move(state)) {}

QueueTimer::~QueueTimer() {
    cancel();
}

void QueueTimer::cancel() {
    m_state->cancelled = true;
    // Waits for a handler in progress on another thread; recursive, so a handler may cancel
    // its own timer.
    std::lock_guard lock(m_state->running);
}

bool QueueTimer::isCancelled() const {
    return m_state->cancelled;
}

std::unique_ptr<QueueTimer> SerialQueue::startTimer(Clock::time_point firstDeadline,
                                                    std::chrono::nanoseconds interval,
                                                    std::function<void(std::uint64_t)> handler) {
    if (interval <= std::chrono::nanoseconds::zero()) {
        interval = std::chrono::nanoseconds(1);
    }
    auto state = std::make_shared<QueueTimer::State>();
    state->handler = std::move(handler);
    state->start = firstDeadline;
    state->interval = interval;

    // Each run schedules the next one at the first deadline still ahead of it.
    std::weak_ptr<Shared> weakShared = m_shared;
    auto fire = std::make_shared<std::function<void()>>();
    *fire = [state, weakShared, weakFire = std::weak_ptr(fire)]() {
        std::unique_lock lock(state->running);
        if (state->cancelled) {
            return;
        }
        const auto now = Clock::now();
        const auto elapsed = now - state->start;
        // Deadline k (0-based) is start + k x interval; count the ones already reached.
        const std::uint64_t reached =
            elapsed < Clock::duration::zero()
                ? 1
                : static_cast<std::uint64_t>(elapsed / state->interval) + 1;
        const std::uint64_t ticks = reached - state->lastIndex;
        state->lastIndex = reached;
        state->handler(ticks);
        if (state->cancelled) {
            return;
        }
        const auto next = state->start + state->interval * static_cast<std::int64_t>(reached);
        auto shared = weakShared.lock();
        auto self = weakFire.lock();
        if (!shared || !self) {
            return;
        }
        std::lock_guard queueLock(shared->mutex);
        if (!shared->stopping) {
            shared->tasks.emplace(std::make_pair(next, shared->sequence++), [self] { (*self)(); });
        }
    };
    // The queue's task list owns the closure between runs; the timer object only owns the state.
    enqueue(firstDeadline, [fire] { (*fire)(); });
    return std::unique_ptr<QueueTimer>(new QueueTimer(state));
}

}  // namespace platform
