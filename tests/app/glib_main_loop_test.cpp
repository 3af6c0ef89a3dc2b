// A GLib host's main context as the SDK's main queue: blocks posted from any
// thread run on the thread that iterates the context, in order.
#include "skald/glib_main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace skald {
namespace {

using platform::MainQueue;

TEST(GMainContextQueue, BlocksFromOtherThreadsRunOnTheContextsThreadInOrder) {
    GMainContext* context = g_main_context_new();
    useGMainContext(context);
    ASSERT_TRUE(MainQueue::hasLoop());

    std::vector<int> order;
    std::atomic<int> ran{0};
    std::atomic<int> offMain{0};
    std::thread poster([&] {
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(MainQueue::async([&, i] {
                          if (!MainQueue::isMainThread()) ++offMain;
                          order.push_back(i);
                          ++ran;
                      }),
                      MainQueue::Dispatch::Queued);
        }
    });
    poster.join();
    EXPECT_EQ(ran.load(), 0) << "nothing runs until the context is iterated";
    for (int spins = 0; spins < 1000 && ran.load() < 10; ++spins)
        g_main_context_iteration(context, FALSE);
    EXPECT_EQ(ran.load(), 10);
    EXPECT_EQ(offMain.load(), 0);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

    // A waiting caller on another thread is answered by the iterating one.
    std::atomic<bool> answered{false};
    std::thread waiter(
        [&] { answered = MainQueue::syncWithTimeout([] {}, std::chrono::seconds(5)); });
    for (int spins = 0; spins < 5000 && !answered.load(); ++spins) {
        g_main_context_iteration(context, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiter.join();
    EXPECT_TRUE(answered.load());
    MainQueue::unregisterLoop();
    g_main_context_unref(context);
}

}  // namespace
}  // namespace skald
