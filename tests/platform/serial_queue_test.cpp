#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include "support/eventually.h"

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "skald/platform/timer.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;

using test::eventually;

TEST(SerialQueueTest, RunsBlocksOneAtATimeInOrder) {
    SerialQueue queue("order");
    std::vector<int> seen;
    std::atomic<int> inFlight{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 1000; ++i) {
        queue.async([&, i] {
            if (inFlight.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            inFlight.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueueTest, BlocksFromManyThreadsNeverOverlap) {
    SerialQueue queue("many");
    std::atomic<int> inFlight{0};
    std::atomic<int> ran{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                queue.async([&] {
                    if (inFlight.fetch_add(1) != 0) overlapped = true;
                    ran.fetch_add(1);
                    inFlight.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : posters) t.join();
    queue.sync([] {});
    EXPECT_EQ(ran.load(), 1000);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueueTest, SyncFromItsOwnThreadRunsInline) {
    SerialQueue queue("inline");
    std::promise<bool> result;
    queue.async([&] {
        bool inner = false;
        queue.sync([&] { inner = queue.isCurrent(); });
        result.set_value(inner);
    });
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready) << "sync on its own queue deadlocked";
    EXPECT_TRUE(future.get());
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueueTest, DelayedBlocksWaitAndRunByDeadline) {
    SerialQueue queue("delays");
    std::mutex mutex;
    std::vector<int> order;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration firstAt{};
    queue.after(60ms, [&] {
        std::lock_guard guard(mutex);
        order.push_back(2);
    });
    queue.after(20ms, [&] {
        std::lock_guard guard(mutex);
        firstAt = std::chrono::steady_clock::now() - start;
        order.push_back(1);
    });
    queue.async([&] {
        std::lock_guard guard(mutex);
        order.push_back(0);
    });
    ASSERT_TRUE(eventually([&] {
        std::lock_guard guard(mutex);
        return order.size() == 3;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_GE(firstAt, 20ms);
}

TEST(SerialQueueTest, DestructionRunsQueuedBlocksAndDropsDelayedOnes) {
    std::atomic<int> immediate{0};
    std::atomic<bool> delayedRan{false};
    {
        SerialQueue queue("teardown");
        queue.async([] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 10; ++i) queue.async([&] { immediate.fetch_add(1); });
        queue.after(10s, [&] { delayedRan = true; });
    }
    EXPECT_EQ(immediate.load(), 10);
    EXPECT_FALSE(delayedRan.load());
}

TEST(SerialQueueTest, CanBeDestroyedFromItsOwnThread) {
    auto queue = std::make_shared<SerialQueue>("self");
    std::promise<void> released;
    auto* raw = queue.get();
    raw->async([q = std::move(queue), &released]() mutable {
        q.reset();  // last owner: the destructor runs on the queue's own thread
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueueTest, RepeatingTimerFiresUntilInvalidated) {
    SerialQueue queue("timer");
    std::atomic<int> fired{0};
    auto timer = queue.scheduleTimer(5ms, true, [&] { fired.fetch_add(1); });
    ASSERT_TRUE(eventually([&] { return fired.load() >= 3; }));
    EXPECT_TRUE(timer->isValid());
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    queue.sync([] {});
    const int atStop = fired.load();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fired.load(), atStop);
}

TEST(SerialQueueTest, OneShotTimerFiresOnceAndBecomesInvalid) {
    SerialQueue queue("oneshot");
    std::atomic<int> fired{0};
    auto timer = queue.scheduleTimer(5ms, false, [&] { fired.fetch_add(1); });
    ASSERT_TRUE(eventually([&] { return fired.load() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_FALSE(timer->isValid());
}

TEST(SerialQueueTest, TimerThatOutlivesItsQueueIsHarmless) {
    std::shared_ptr<Timer> timer;
    {
        SerialQueue queue("gone");
        timer = queue.scheduleTimer(10s, true, [] {});
    }
    EXPECT_FALSE(timer->isValid());
    timer->invalidate();
    timer.reset();
}

}  // namespace
}  // namespace skald::platform
