#include "skald/platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "skald/platform/main_queue.h"
#include "platform/dispatch/run_loop.h"
#include "support/eventually.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;

int senderA;
int senderB;
int targetA;
int targetB;

TEST(NotificationCenterTest, DeliversByNameAndSenderWithUserInfo) {
    NotificationCenter center;
    std::vector<std::string> seen;
    Json info;
    center.addObserver("done", nullptr, [&](const Notification& n) {
        seen.push_back("any:" + n.name);
        info = n.userInfo;
        EXPECT_EQ(n.object, &senderA);
    });
    center.addObserver("done", &senderB,
                       [&](const Notification& n) { seen.push_back("fromB:" + n.name); });
    center.addObserver("", nullptr,
                       [&](const Notification& n) { seen.push_back("all:" + n.name); });

    center.postNotificationName("done", &senderA, Json{{"step", 3}});
    center.postNotificationName("other");

    EXPECT_EQ(seen, (std::vector<std::string>{"any:done", "all:done", "all:other"}));
    EXPECT_EQ(info, (Json{{"step", 3}}));
}

TEST(NotificationCenterTest, ObserversAreCalledInTheOrderTheyWereAdded) {
    NotificationCenter center;
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        center.addObserver("n", nullptr, [&order, i](const Notification&) { order.push_back(i); });
    }
    center.postNotificationName("n");
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(NotificationCenterTest, RemovalByTokenAndByTarget) {
    NotificationCenter center;
    std::vector<std::string> seen;
    auto token =
        center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("token"); });
    center.addObserver(&targetA, "n", nullptr, [&](const Notification&) { seen.push_back("a1"); });
    center.addObserver(&targetA, "m", nullptr, [&](const Notification&) { seen.push_back("a2"); });
    center.addObserver(&targetB, "n", nullptr, [&](const Notification&) { seen.push_back("b"); });
    center.addObserver(&targetB, "n", &senderA, [&](const Notification&) { seen.push_back("bA"); });
    center.addObserver(&targetB, "m", nullptr, [&](const Notification&) { seen.push_back("bm"); });
    ASSERT_TRUE(token);
    EXPECT_EQ(center.observerCount(), 6u);

    center.removeObserver(token);
    center.removeObserver(token);  // twice is harmless
    center.removeObserver(&targetA);
    center.removeObserver(&targetB, "n", &senderA);  // only that one of B's
    center.postNotificationName("n", &senderA);
    center.postNotificationName("m");

    EXPECT_EQ(seen, (std::vector<std::string>{"b", "bm"}));
    EXPECT_EQ(center.observerCount(), 2u);
}

TEST(NotificationCenterTest, ObserverRemovingItselfIsNotCalledAgain) {
    NotificationCenter center;
    int calls = 0;
    ObserverToken token;
    token = center.addObserver("n", nullptr, [&](const Notification&) {
        ++calls;
        center.removeObserver(token);
    });
    center.postNotificationName("n");
    center.postNotificationName("n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenterTest, RemovalDuringAPostReachesTheRestOfThatPost) {
    NotificationCenter center;
    std::vector<std::string> seen;
    center.addObserver("n", nullptr, [&](const Notification&) {
        seen.push_back("first");
        center.removeObserver(&targetB);
        // Added during the post: only later posts reach it.
        center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("late"); });
    });
    center.addObserver(&targetB, "n", nullptr, [&](const Notification&) { seen.push_back("b"); });

    center.postNotificationName("n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first"}));
}

TEST(NotificationCenterTest, CallbacksMayPostAgainWithoutDeadlock) {
    NotificationCenter center;
    std::vector<std::string> seen;
    center.addObserver("outer", nullptr, [&](const Notification&) {
        seen.push_back("outer");
        center.postNotificationName("inner");
    });
    center.addObserver("inner", nullptr, [&](const Notification&) { seen.push_back("inner"); });
    center.postNotificationName("outer");
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
}

TEST(NotificationCenterTest, ConcurrentPostsAndRemovalsLoseNothingAndCallNothingRemoved) {
    NotificationCenter center;
    std::atomic<int> stable{0};
    std::atomic<bool> removedCalledAfterRemoval{false};
    center.addObserver("n", nullptr, [&](const Notification&) { ++stable; });

    std::atomic<bool> removed{false};
    std::atomic<int> churn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) center.postNotificationName("n");
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            auto token = center.addObserver("n", nullptr, [&](const Notification&) { ++churn; });
            center.removeObserver(token);
        }
        auto token = center.addObserver("n", nullptr, [&](const Notification&) {
            if (removed.load()) removedCalledAfterRemoval = true;
        });
        center.removeObserver(token);
        removed = true;
    });
    for (auto& thread : threads) thread.join();
    center.postNotificationName("n");

    EXPECT_EQ(stable.load(), 4 * 500 + 1);
    EXPECT_FALSE(removedCalledAfterRemoval.load());
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenterTest, MainQueueObserversRunOnTheMainThread) {
    ASSERT_TRUE(MainQueue::isMainThread());
    NotificationCenter center;
    std::atomic<int> onMain{0};
    std::atomic<int> onPoster{0};
    center.addObserver(
        "n", nullptr, [&](const Notification&) { onMain += MainQueue::isMainThread() ? 1 : 100; },
        NotificationCenter::Delivery::MainQueue);
    center.addObserver("n", nullptr, [&](const Notification&) {
        onPoster += MainQueue::isMainThread() ? 100 : 1;
    });

    RunLoop loop;
    std::thread poster([&] {
        center.postNotificationName("n");
        // The poster does not wait for the main queue.
        EXPECT_EQ(onPoster.load(), 1);
        MainQueue::async([&] { loop.stop(); });
    });
    EXPECT_TRUE(loop.runFor(10s));
    poster.join();
    EXPECT_EQ(onMain.load(), 1);

    // Posted on the main thread, it is delivered at once.
    center.postNotificationName("n");
    EXPECT_EQ(onMain.load(), 2);
}

TEST(NotificationCenterTest, MainQueueObserverRemovedBeforeDeliveryIsNotCalled) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    auto token = center.addObserver(
        "n", nullptr, [&](const Notification&) { ++calls; },
        NotificationCenter::Delivery::MainQueue);
    RunLoop loop;
    std::thread([&] { center.postNotificationName("n"); }).join();
    center.removeObserver(token);
    loop.postAfter(20ms, [&] { loop.stop(); });
    loop.runFor(10s);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
}  // namespace skald::platform
