#include "platform/MainQueue.h"
#include "platform/SerialQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include "Pump.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;

TEST(MainQueueTest, WorkPostedFromAnyThreadRunsOnTheMainThreadInOrder) {
    ASSERT_TRUE(platform::MainQueue::isMainThread());
    std::vector<int> order;
    std::atomic<bool> offMain{false};
    platform::SerialQueue worker("test.worker");
    worker.post([&] {
        EXPECT_FALSE(platform::MainQueue::isMainThread());
        for (int i = 0; i < 3; ++i) {
            platform::MainQueue::post([&, i] {
                if (!platform::MainQueue::isMainThread()) {
                    offMain = true;
                }
                order.push_back(i);
            });
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(offMain);
}

TEST(MainQueueTest, PostAfterWaitsAtLeastTheDelay) {
    QElapsedTimer timer;
    timer.start();
    qint64 ranAfter = -1;
    platform::MainQueue::postAfter(50ms, [&] { ranAfter = timer.elapsed(); });
    platform::SerialQueue worker("test.poster");
    bool fromWorker = false;
    worker.post([&] {
        platform::MainQueue::postAfter(10ms,
                                       [&] { fromWorker = platform::MainQueue::isMainThread(); });
    });
    ASSERT_TRUE(pumpUntil([&] { return ranAfter >= 0 && fromWorker; }));
    EXPECT_GE(ranAfter, 50);
}
