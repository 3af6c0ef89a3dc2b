// The exit gate in-process. A test program of its own: closing the gate parks
// every SDK thread that reaches its next unit of work, which other suites
// sharing the process would not survive.
#include "platform/process/process_exit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/serial_queue.h"
#include "support/eventually.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ProcessExitTest : public ::testing::Test {
  protected:
    void TearDown() override { ProcessExit::resetForTesting(); }

    static std::chrono::milliseconds timeExit(ProcessExit::Limits limits) {
        const auto start = Clock::now();
        ProcessExit::runExitSequence(limits);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }
};

TEST_F(ProcessExitTest, AWorkerParksAtItsNextUnitOnceClosed) {
    static std::atomic<int> units{0};
    std::thread([] {
        for (;;) {
            ProcessExit::runOrPark([] { units.fetch_add(1); });
            std::this_thread::sleep_for(1ms);
        }
    }).detach();
    ASSERT_TRUE(test::eventually([] { return units.load() > 3; }));

    EXPECT_LT(timeExit({100ms, 500ms}).count(), 400);
    EXPECT_TRUE(ProcessExit::isExiting());
    EXPECT_TRUE(ProcessExit::isClosed());
    const int atClose = units.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(units.load(), atClose);
}

TEST_F(ProcessExitTest, ClosingWaitsForAUnitUnderWayButNotBeyondItsLimit) {
    std::atomic<bool> inside{false}, finished{false};
    std::thread([&] {
        ProcessExit::Work unit;
        inside = true;
        std::this_thread::sleep_for(150ms);
        finished = true;
    }).detach();
    ASSERT_TRUE(test::eventually([&] { return inside.load(); }));
    const auto waited = timeExit({0ms, 2000ms});
    EXPECT_TRUE(finished.load()) << "the unit under way ends before exit goes on";
    EXPECT_LT(waited.count(), 1000);
    ProcessExit::resetForTesting();

    // A unit that takes too long is not waited for.
    std::atomic<bool> slowInside{false};
    std::thread slow([&] {
        ProcessExit::Work unit;
        slowInside = true;
        std::this_thread::sleep_for(800ms);
    });
    ASSERT_TRUE(test::eventually([&] { return slowInside.load(); }));
    const auto gaveUp = timeExit({0ms, 100ms});
    EXPECT_GE(gaveUp.count(), 90);
    EXPECT_LT(gaveUp.count(), 600);
    EXPECT_TRUE(ProcessExit::isClosed());
    {
        ProcessExit::Work late;
        EXPECT_FALSE(late) << "no new unit is admitted once closed";
    }
    slow.join();
}

TEST_F(ProcessExitTest, HoldsDelayTheExitUntilReleasedOrTheDrainLimit) {
    ProcessExit::hold();
    std::thread([] {
        std::this_thread::sleep_for(120ms);
        ProcessExit::release();
    }).detach();
    const auto released = timeExit({2000ms, 100ms});
    EXPECT_GE(released.count(), 100);
    EXPECT_LT(released.count(), 1500);
    EXPECT_EQ(ProcessExit::holds(), 0);
    ProcessExit::resetForTesting();

    ProcessExit::hold();
    const auto limited = timeExit({150ms, 100ms});
    EXPECT_GE(limited.count(), 140);
    EXPECT_LT(limited.count(), 1000);
    ProcessExit::release();
}

TEST_F(ProcessExitTest, AnExitFromInsideAUnitDoesNotWaitForItself) {
    std::chrono::milliseconds waited{};
    {
        ProcessExit::Work unit;
        ASSERT_TRUE(unit);
        ProcessExit::Work nested;
        EXPECT_TRUE(nested) << "nested units count as the one under way";
        waited = timeExit({0ms, 3000ms});
    }
    EXPECT_LT(waited.count(), 1000);
    EXPECT_TRUE(ProcessExit::isClosed());
}

TEST_F(ProcessExitTest, WakersAreCalledWhenTheExitStarts) {
    static std::atomic<int> woken{0};
    ProcessExit::addWaker([](void* context) { static_cast<std::atomic<int>*>(context)->store(1); },
                          &woken);
    ProcessExit::runExitSequence({0ms, 50ms});
    EXPECT_EQ(woken.load(), 1);
}

TEST_F(ProcessExitTest, AQueueStopsRunningBlocksAndSyncDoesNotHangOnceClosed) {
    // Leaked: its thread parks and could never be joined.
    auto* queue = new SerialQueue("exit-test");
    std::atomic<int> ran{0};
    queue->sync([&] { ran.fetch_add(1); });
    ASSERT_EQ(ran.load(), 1);

    ProcessExit::runExitSequence({0ms, 200ms});
    queue->async([&] { ran.fetch_add(1); });
    const auto start = Clock::now();
    queue->sync([&] { ran.fetch_add(1); });
    EXPECT_LT(Clock::now() - start, 500ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ran.load(), 1) << "nothing runs on the queue once the process exits";
}

}  // namespace
}  // namespace skald::platform
