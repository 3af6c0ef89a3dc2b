#include "skald/platform/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/run_loop.h"
#include "skald/platform/timer.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;

// Test bodies run on the process's main thread.
class MainQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(MainQueue::isMainThread());
        MainQueue::unregisterLoop();
        MainQueue::drainPending();
    }
    void TearDown() override {
        MainQueue::unregisterLoop();
        MainQueue::drainPending();
    }
};

TEST_F(MainQueueTest, MainThreadIsRecordedAtLoadTime) {
    EXPECT_GT(MainQueue::mainThreadId(), 0);
    EXPECT_EQ(MainQueue::mainThreadId(), ::getpid());
    bool other = true;
    std::thread([&] { other = MainQueue::isMainThread(); }).join();
    EXPECT_FALSE(other);
}

TEST_F(MainQueueTest, WaitingForALoopEndsWhenOneIsRegisteredOrWhenWoken) {
    EXPECT_FALSE(MainQueue::waitForLoop(20ms)) << "nothing registers one";

    std::atomic<bool> sawLoop{false};
    std::thread waiter([&] { sawLoop = MainQueue::waitForLoop(10s); });
    std::this_thread::sleep_for(20ms);
    MainQueue::registerLoop([](Block block) { block(); });
    waiter.join();
    EXPECT_TRUE(sawLoop);
    MainQueue::unregisterLoop();

    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::thread woken([&] {
        sawLoop = MainQueue::waitForLoop(10s);
        done = true;
    });
    // A wake before the waiter waits is not for it: wake until it leaves.
    while (!done) {
        MainQueue::wakeLoopWaiters();
        std::this_thread::sleep_for(5ms);
    }
    woken.join();
    EXPECT_FALSE(sawLoop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(MainQueueTest, WithoutLoopMainThreadWorkRunsInline) {
    bool ran = false;
    EXPECT_EQ(MainQueue::async([&] { ran = true; }), MainQueue::Dispatch::RanInline);
    EXPECT_TRUE(ran);
}

TEST_F(MainQueueTest, WithoutLoopBackgroundWorkWaitsVisiblyUntilDrained) {
    std::atomic<bool> ranOnMain{false};
    MainQueue::Dispatch result{};
    std::thread([&] {
        result = MainQueue::async([&] { ranOnMain = MainQueue::isMainThread(); });
    }).join();
    EXPECT_EQ(result, MainQueue::Dispatch::Pending);
    EXPECT_EQ(MainQueue::pendingCount(), 1u);
    EXPECT_FALSE(ranOnMain.load());
    EXPECT_EQ(MainQueue::drainPending(), 1u);
    EXPECT_TRUE(ranOnMain.load());
}

TEST_F(MainQueueTest, PendingWorkMovesToALoopWhenOneRegisters) {
    std::atomic<bool> ran{false};
    std::thread([&] { MainQueue::async([&] { ran = MainQueue::isMainThread(); }); }).join();
    RunLoop loop;
    loop.postAfter(20ms, [&] { loop.stop(); });
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(MainQueue::pendingCount(), 0u);
}

TEST_F(MainQueueTest, SyncWithoutLoopFromBackgroundFailsInsteadOfHanging) {
    bool finished = true;
    bool ran = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread([&] { finished = MainQueue::syncWithTimeout([&] { ran = true; }, 10s); }).join();
    EXPECT_FALSE(finished);
    EXPECT_FALSE(ran);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(MainQueueTest, RunningLoopIsTheMainQueue) {
    RunLoop loop;
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> synced{false};
    std::thread worker([&] {
        // Wait until the loop has registered itself.
        while (!MainQueue::hasLoop()) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(MainQueue::async([&] { ranOnMain = MainQueue::isMainThread(); }),
                  MainQueue::Dispatch::Queued);
        synced = MainQueue::syncWithTimeout([] {}, 5s);
        loop.post([&] { loop.stop(); });
    });
    EXPECT_TRUE(loop.runFor(10s));
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_TRUE(synced.load());
    EXPECT_FALSE(MainQueue::hasLoop()) << "a loop that returned is no longer the main queue";
}

TEST_F(MainQueueTest, SyncTimesOutWhenTheLoopIsBusy) {
    RunLoop loop;
    std::atomic<bool> finished{true};
    std::thread worker([&] {
        while (!MainQueue::hasLoop()) std::this_thread::sleep_for(1ms);
        loop.post([] { std::this_thread::sleep_for(200ms); });
        finished = MainQueue::syncWithTimeout([] {}, 20ms);
        loop.post([&] { loop.stop(); });
    });
    loop.runFor(10s);
    worker.join();
    EXPECT_FALSE(finished.load());
}

TEST_F(MainQueueTest, RunLoopTimersAndDelayedBlocksRunOnTheLoop) {
    RunLoop loop;
    int ticks = 0;
    std::shared_ptr<Timer> timer = loop.scheduleTimer(2ms, true, [&] {
        if (++ticks == 3) timer->invalidate();
    });
    loop.postAfter(40ms, [&] { loop.stop(); });
    EXPECT_TRUE(loop.runFor(5s));
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(timer->isValid());
}

}  // namespace
}  // namespace skald::platform
