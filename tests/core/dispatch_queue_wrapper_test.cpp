#include "util/dispatch_queue_wrapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "skald/platform/main_queue.h"
#include "platform/dispatch/run_loop.h"
#include "support/log_capture.h"
#include "support/test_dispatch_queue_wrapper.h"
#include "util/timer_factory.h"

namespace skald {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueueWrapperTest, BackgroundQueueIsSerialAndLabelled) {
    DispatchQueueWrapper wrapper;
    EXPECT_EQ(wrapper.label(), "skald-default");
    std::promise<std::string> name;
    wrapper.dispatchAsync([&] {
        char buffer[16] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name.set_value(buffer);
    });
    EXPECT_EQ(name.get_future().get(), "skald-default");
    EXPECT_FALSE(wrapper.isCurrentQueue());
    bool onQueue = false;
    wrapper.dispatchSync([&] { onQueue = wrapper.isCurrentQueue(); });
    EXPECT_TRUE(onQueue);
}

TEST(DispatchQueueWrapperTest, CancelledDelayedBlockNeverRuns) {
    DispatchQueueWrapper wrapper;
    std::atomic<int> kept{0};
    std::atomic<int> cancelled{0};
    auto doomed = wrapper.createDispatchBlock([&] { cancelled.fetch_add(1); });
    auto keeper = wrapper.createDispatchBlock([&] { kept.fetch_add(1); });
    wrapper.dispatchAfter(0.02, doomed);
    wrapper.dispatchAfter(0.03, keeper);
    wrapper.dispatchCancel(doomed);
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (kept.load() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(kept.load(), 1);
    EXPECT_EQ(cancelled.load(), 0);
}

TEST(DispatchQueueWrapperTest, MainQueueWorkRunsInlineOnMainThread) {
    DispatchQueueWrapper wrapper;
    bool ran = false;
    wrapper.dispatchAsyncOnMainQueue([&] { ran = true; });
    EXPECT_TRUE(ran) << "on the main thread the block runs before the call returns";
}

TEST(DispatchQueueWrapperTest, MainQueueWorkWithoutLoopIsReported) {
    test::LogCapture capture(Level::Warning);
    DispatchQueueWrapper wrapper;
    std::thread([&] { wrapper.dispatchAsyncOnMainQueue([] {}); }).join();
    EXPECT_TRUE(capture.contains("No main loop is registered"));
    std::thread([&] { EXPECT_FALSE(wrapper.dispatchSyncOnMainQueue([] {}, 0.05)); }).join();
    EXPECT_TRUE(capture.contains("did not run the block within"));
    platform::MainQueue::drainPending();
}

TEST(DispatchQueueWrapperTest, OnceRunsOnceUntilTokenReset) {
    DispatchQueueWrapper wrapper;
    OnceToken token;
    int runs = 0;
    wrapper.dispatchOnce(token, [&] { ++runs; });
    wrapper.dispatchOnce(token, [&] { ++runs; });
    EXPECT_EQ(runs, 1);
    token.reset();
    wrapper.dispatchOnce(token, [&] { ++runs; });
    EXPECT_EQ(runs, 2);
}

TEST(DispatchQueueWrapperTest, TestDoubleHoldsDelayedBlocksUntilFired) {
    test::TestDispatchQueueWrapper wrapper;
    int runs = 0;
    wrapper.dispatchAfter(3.0, [&] { ++runs; });
    auto cancelled = wrapper.createDispatchBlock([&] { runs += 100; });
    wrapper.dispatchAfter(1.0, cancelled);
    wrapper.dispatchCancel(cancelled);
    ASSERT_EQ(wrapper.delayed().size(), 2u);
    EXPECT_DOUBLE_EQ(wrapper.delayed()[0].seconds, 3.0);
    EXPECT_EQ(runs, 0);
    wrapper.fireDelayed();
    EXPECT_EQ(runs, 1);
}

TEST(TimerFactoryTest, TimersFireOnTheMainLoopWhenOneRuns) {
    TimerFactory factory;
    platform::RunLoop loop;
    std::atomic<int> onMain{0};
    auto timer = factory.scheduledTimer(0.005, true, [&] {
        if (platform::MainQueue::isMainThread()) onMain.fetch_add(1);
        if (onMain.load() == 2) loop.stop();
    });
    EXPECT_TRUE(loop.runFor(5s));
    timer->invalidate();
    EXPECT_EQ(onMain.load(), 2);
}

TEST(TimerFactoryTest, WithoutMainLoopTimersStillFire) {
    TimerFactory factory;
    std::promise<bool> fired;
    auto timer = factory.scheduledTimer(
        0.005, false, [&] { fired.set_value(platform::MainQueue::isMainThread()); });
    auto future = fired.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(future.get());
    EXPECT_FALSE(timer->isValid());
}

}  // namespace
}  // namespace skald
