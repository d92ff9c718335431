#include "platform/SerialQueue.h"
#include "platform/Single.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

using namespace std::chrono_literals;
using platform::Single;

namespace {
using IntSingle = Single<int, std::string>;
}

TEST(SingleTest, IsLazyAndRunsItsWorkOncePerSubscription) {
    int runs = 0;
    IntSingle single([&](IntSingle::Emit deliver) { deliver(++runs); });
    EXPECT_EQ(runs, 0) << "nothing may run before a subscriber attaches";

    std::vector<int> values;
    auto first = single.subscribe([&](IntSingle::Result r) { values.push_back(*r); });
    auto second = single.subscribe([&](IntSingle::Result r) { values.push_back(*r); });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(values, (std::vector<int>{1, 2}));
}

TEST(SingleTest, DeliversOnlyTheFirstResultAndNothingAfterCancel) {
    IntSingle::Emit captured;
    IntSingle single([&](IntSingle::Emit deliver) {
        deliver(1);
        deliver(std::unexpected(std::string("late error")));
        captured = deliver;
    });
    int calls = 0;
    auto token = single.subscribe([&](IntSingle::Result r) {
        ++calls;
        EXPECT_EQ(*r, 1);
    });
    captured(3);
    EXPECT_EQ(calls, 1);

    IntSingle::Emit pending;
    IntSingle slow([&](IntSingle::Emit deliver) { pending = deliver; });
    bool delivered = false;
    {
        auto scoped = slow.subscribe([&](IntSingle::Result) { delivered = true; });
    }  // the token went out of scope: the subscription is cancelled
    pending(5);
    EXPECT_FALSE(delivered);

    auto kept = slow.subscribe([&](IntSingle::Result) { delivered = true; });
    kept.detach();  // a detached token lets the result through
    pending(6);
    EXPECT_TRUE(delivered);
}

TEST(SingleTest, ReceiveOnDeliversOnTheGivenQueue) {
    platform::SerialQueue queue("test.receive");
    std::promise<std::string> label;
    auto token = IntSingle::just(4).receiveOn(queue).subscribe([&](IntSingle::Result r) {
        label.set_value(platform::SerialQueue::currentLabel() + ":" + std::to_string(*r));
    });
    auto future = label.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), "test.receive:4");
}

TEST(SingleTest, OperatorsPassValuesAndErrorsThrough) {
    std::string seen;
    auto a = IntSingle::just(2)
                 .map([](int v) { return v * 10; })
                 .flatMap([](int v) {
                     return Single<std::string, std::string>::just("v" + std::to_string(v));
                 })
                 .subscribe([&](auto r) { seen = *r; });
    EXPECT_EQ(seen, "v20");

    bool mapped = false;
    auto b = IntSingle::fail("boom")
                 .map([&](int v) {
                     mapped = true;
                     return v;
                 })
                 .mapError([](std::string e) { return e.size(); })
                 .subscribe([&](Single<int, std::size_t>::Result r) {
                     ASSERT_FALSE(r);
                     EXPECT_EQ(r.error(), 4u);
                 });
    EXPECT_FALSE(mapped);

    int innerRuns = 0;
    auto c = IntSingle::fail("outer")
                 .flatMap([&](int) {
                     ++innerRuns;
                     return IntSingle::just(1);
                 })
                 .subscribe([&](IntSingle::Result r) { EXPECT_EQ(r.error(), "outer"); });
    EXPECT_EQ(innerRuns, 0);
}
