#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_block.h"
#include "platform/dispatch/dispatch_group.h"
#include "platform/dispatch/once_token.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;

TEST(DispatchGroupTest, TimedWaitReportsOutstandingWork) {
    DispatchGroup group;
    EXPECT_TRUE(group.wait(0ms)) << "an empty group is done at once";
    group.enter();
    group.enter();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(group.wait(30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    group.leave();
    EXPECT_FALSE(group.wait(1ms));
    std::thread worker([&] {
        std::this_thread::sleep_for(10ms);
        group.leave();
    });
    EXPECT_TRUE(group.wait(5s));
    worker.join();
}

TEST(DispatchGroupTest, UnbalancedLeaveDoesNotGoNegative) {
    DispatchGroup group;
    group.leave();
    EXPECT_EQ(group.count(), 0);
    group.enter();
    EXPECT_FALSE(group.wait(1ms)) << "a stray leave must not cancel a later enter";
    group.leave();
    EXPECT_TRUE(group.wait(1ms));
}

TEST(DispatchBlockTest, CancelledBlockDoesNotRun) {
    int runs = 0;
    DispatchBlock block([&] { ++runs; });
    block();
    block.cancel();
    block();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(block.isCancelled());
}

TEST(OnceTokenTest, RunsOnceAcrossThreadsUntilReset) {
    OnceToken token;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            token.run([&] {
                std::this_thread::sleep_for(5ms);
                runs.fetch_add(1);
            });
            // Every caller returns only after the one run has finished.
            EXPECT_EQ(runs.load(), 1);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(runs.load(), 1);
    token.reset();
    token.run([&] { runs.fetch_add(1); });
    EXPECT_EQ(runs.load(), 2);
}

}  // namespace
}  // namespace skald::platform
