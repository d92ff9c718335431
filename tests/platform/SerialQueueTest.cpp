#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::SerialQueue;

namespace {

// Waits (bounded) until the predicate holds; timings are never asserted, only outcomes.
template <class F>
bool eventually(F predicate, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(SerialQueueTest, RunsPostsOneAtATimeInPostingOrderOnItsOwnLabelledThread) {
    SerialQueue queue("test.order");
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::string> labels;
    for (int i = 0; i < 500; ++i) {
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            seen.push_back(i);
            if (i % 100 == 0) {
                labels.push_back(SerialQueue::currentLabel());
            }
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(seen[i], i);
    }
    EXPECT_FALSE(overlapped);
    for (const auto& label : labels) {
        EXPECT_EQ(label, "test.order");
    }
    EXPECT_EQ(SerialQueue::currentLabel(), "");
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTest, KeepsEachProducersOrderUnderConcurrentPosting) {
    SerialQueue queue("test.producers");
    constexpr int kProducers = 4;
    constexpr int kEach = 1000;
    std::vector<std::vector<int>> seen(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                queue.post([&, p, i] { seen[p].push_back(i); });
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
    queue.sync([] {});
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_EQ(seen[p][i], i);
        }
    }
}

TEST(SerialQueueTest, DelayedWorkRunsByDeadlineNotBeforeIt) {
    SerialQueue queue("test.delay");
    std::mutex mutex;
    std::vector<std::string> order;
    const auto start = SerialQueue::Clock::now();
    SerialQueue::Clock::time_point lateRanAt{};
    queue.postAfter(60ms, [&] {
        std::lock_guard lock(mutex);
        order.push_back("late");
        lateRanAt = SerialQueue::Clock::now();
    });
    queue.postAfter(20ms, [&] {
        std::lock_guard lock(mutex);
        order.push_back("early");
    });
    queue.post([&] {
        std::lock_guard lock(mutex);
        order.push_back("now");
    });
    // Equal deadlines keep posting order.
    const auto deadline = start + 40ms;
    for (int i = 0; i < 3; ++i) {
        queue.postAt(deadline, [&, i] {
            std::lock_guard lock(mutex);
            order.push_back("tie" + std::to_string(i));
        });
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return order.size() == 6;
    }));
    EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "tie0", "tie1", "tie2", "late"}));
    EXPECT_GE(lateRanAt - start, 60ms);
}

TEST(SerialQueueTest, SyncWaitsForTheWorkAndRunsInlineOnTheQueueItself) {
    SerialQueue queue("test.sync");
    int value = 0;
    queue.post([&] {
        std::this_thread::sleep_for(10ms);
        value = 1;
    });
    queue.sync([&] { value *= 10; });
    EXPECT_EQ(value, 10);

    bool innerRan = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { innerRan = true; });  // would deadlock if it queued
    });
    EXPECT_TRUE(innerRan);
}

TEST(SerialQueueTest, ShutdownFinishesDueWorkDropsFutureWorkAndRefusesNewWork) {
    std::atomic<int> ran{0};
    std::atomic<bool> delayedRan{false};
    {
        SerialQueue queue("test.shutdown");
        queue.post([&] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 10; ++i) {
            queue.post([&] { ran.fetch_add(1); });
        }
        queue.postAfter(10s, [&] { delayedRan = true; });
    }  // the destructor must neither hang for 10 s nor skip the due work
    EXPECT_EQ(ran.load(), 10);
    EXPECT_FALSE(delayedRan.load());

    SerialQueue queue("test.closed");
    queue.shutdown();
    bool ranAfterShutdown = false;
    queue.post([&] { ranAfterShutdown = true; });
    queue.sync([&] { ranAfterShutdown = true; });  // must not block forever
    EXPECT_FALSE(ranAfterShutdown);
}

TEST(SerialQueueTest, CanBeDestroyedFromOneOfItsOwnClosures) {
    auto queue = std::make_shared<SerialQueue>("test.self");
    std::promise<void> done;
    auto* raw = queue.get();
    raw->post([queue = std::move(queue), &done]() mutable {
        queue.reset();  // last reference released on the queue's own thread
        done.set_value();
    });
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(QueueTimerTest, FiresOnAbsoluteDeadlinesAndFoldsMissedIntervalsIntoOneRun) {
    SerialQueue queue("test.timer");
    std::mutex mutex;
    std::vector<std::uint64_t> ticks;
    constexpr auto interval = 10ms;
    const auto start = SerialQueue::Clock::now() + interval;
    auto timer = queue.startTimer(start, interval, [&](std::uint64_t n) {
        std::lock_guard lock(mutex);
        ticks.push_back(n);
    });
    // Make the queue busy for several intervals: the next run must report the gap.
    queue.postAfter(25ms, [] { std::this_thread::sleep_for(45ms); });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        std::uint64_t sum = 0;
        for (auto n : ticks) {
            sum += n;
        }
        return sum >= 15;
    }));
    timer->cancel();
    const auto stoppedAt = SerialQueue::Clock::now();

    std::lock_guard lock(mutex);
    std::uint64_t sum = 0;
    std::uint64_t largest = 0;
    for (auto n : ticks) {
        EXPECT_GE(n, 1u);
        sum += n;
        largest = std::max(largest, n);
    }
    EXPECT_GE(largest, 3u) << "a run after a 45 ms stall must report the missed intervals";
    EXPECT_GT(ticks.size(), 0u);
    // No drift: the runs account for every deadline that passed, give or take one.
    const auto deadlines = static_cast<std::uint64_t>((stoppedAt - start) / interval) + 1;
    EXPECT_LE(sum, deadlines + 1);
    EXPECT_GE(sum + 2, std::min<std::uint64_t>(deadlines, 15));
}

TEST(QueueTimerTest, NoRunStartsAfterCancelFromAnotherThreadOrFromTheHandler) {
    SerialQueue queue("test.cancel");
    std::atomic<int> runs{0};
    auto timer = queue.startTimer(SerialQueue::Clock::now(), 2ms, [&](std::uint64_t) {
        runs.fetch_add(1);
        std::this_thread::sleep_for(3ms);
    });
    ASSERT_TRUE(eventually([&] { return runs.load() >= 3; }));
    timer->cancel();
    const int afterCancel = runs.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(runs.load(), afterCancel);
    EXPECT_TRUE(timer->isCancelled());

    std::atomic<int> selfRuns{0};
    std::unique_ptr<platform::QueueTimer> selfTimer;
    std::promise<void> started;
    selfTimer = queue.startTimer(SerialQueue::Clock::now(), 1ms, [&](std::uint64_t) {
        if (selfRuns.fetch_add(1) == 0) {
            started.get_future().wait();
        }
        selfTimer->cancel();
    });
    started.set_value();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(selfRuns.load(), 1);
}

TEST(QueueTimerTest, StopsWithItsQueue) {
    std::atomic<int> runs{0};
    std::unique_ptr<platform::QueueTimer> timer;
    {
        SerialQueue queue("test.timer-owner");
        timer = queue.startTimer(SerialQueue::Clock::now(), 1ms,
                                 [&](std::uint64_t) { runs.fetch_add(1); });
        ASSERT_TRUE(eventually([&] { return runs.load() >= 2; }));
    }
    const int atShutdown = runs.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(runs.load(), atShutdown);
    timer.reset();  // cancelling after the queue is gone is harmless
}
