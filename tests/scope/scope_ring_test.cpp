#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "skald/scope.h"
#include "scope/scope_test_doubles.h"
#include "support/log_capture.h"

namespace skald {
namespace {

using test::crumb;
using test::messagesOf;
using Messages = std::vector<std::string>;

TEST(ScopeRingTest, KeepsTheNewestInChronologicalOrderAcrossWraps) {
    Scope scope(3);
    EXPECT_TRUE(scope.breadcrumbs().empty());
    scope.addBreadcrumb(crumb("A"));
    scope.addBreadcrumb(crumb("B"));
    EXPECT_EQ(messagesOf(scope.breadcrumbs()), (Messages{"A", "B"}));
    scope.addBreadcrumb(crumb("C"));
    scope.addBreadcrumb(crumb("D"));
    EXPECT_EQ(messagesOf(scope.breadcrumbs()), (Messages{"B", "C", "D"}));

    // An event gets the oldest ones when its max is below the ring's count.
    auto event = scope.applyToEvent(std::make_shared<Event>(), 2);
    EXPECT_EQ(messagesOf(event->breadcrumbs), (Messages{"B", "C"}));
    event = scope.applyToEvent(std::make_shared<Event>(), 100);
    EXPECT_EQ(messagesOf(event->breadcrumbs), (Messages{"B", "C", "D"}));

    // More than one full turn of the ring.
    for (const char* m : {"E", "F", "G", "H"}) scope.addBreadcrumb(crumb(m));
    EXPECT_EQ(messagesOf(scope.breadcrumbs()), (Messages{"F", "G", "H"}));
}

TEST(ScopeRingTest, ClearStartsTheRingAfresh) {
    Scope scope(2);
    for (const char* m : {"A", "B", "C"}) scope.addBreadcrumb(crumb(m));
    scope.clearBreadcrumbs();
    EXPECT_TRUE(scope.breadcrumbs().empty());
    scope.addBreadcrumb(crumb("D"));
    EXPECT_EQ(messagesOf(scope.breadcrumbs()), (Messages{"D"}));
    scope.addBreadcrumb(crumb("E"));
    scope.addBreadcrumb(crumb("F"));
    EXPECT_EQ(messagesOf(scope.breadcrumbs()), (Messages{"E", "F"}));
}

TEST(ScopeRingTest, CapacityZeroStoresNothingAndTellsNoObserver) {
    Scope scope(0);
    auto observer = std::make_shared<test::RecordingObserver>();
    scope.addObserver(observer);
    test::LogCapture log;
    scope.addBreadcrumb(crumb("A"));
    scope.addBreadcrumb(crumb("B"));
    EXPECT_EQ(scope.maxBreadcrumbs(), 0u);
    EXPECT_TRUE(scope.breadcrumbs().empty());
    EXPECT_TRUE(observer->calls().empty());
    EXPECT_FALSE(log.contains("Add breadcrumb"));
    EXPECT_TRUE(scope.applyToEvent(std::make_shared<Event>(), 10)->breadcrumbs.empty());

    // A copy of an empty ring keeps capacity 0 and still stores nothing.
    Scope copy(scope);
    copy.addBreadcrumb(crumb("C"));
    copy.addBreadcrumb(nullptr);
    EXPECT_TRUE(copy.breadcrumbs().empty());
}

TEST(ScopeRingTest, LogsEachAddedBreadcrumbWithItsDescription) {
    test::LogCapture log;
    Scope scope(2);
    auto added = crumb("hello");
    scope.addBreadcrumb(added);
    EXPECT_TRUE(log.contains("Add breadcrumb: <Breadcrumb: "));
    EXPECT_TRUE(log.contains(R"("message":"hello")"));
}

TEST(ScopeRingTest, CopyOfAWrappedRingContinuesInOrder) {
    Scope original(3);
    for (const char* m : {"A", "B", "C", "D", "E"}) original.addBreadcrumb(crumb(m));
    Scope copy(original);
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (Messages{"C", "D", "E"}));
    copy.addBreadcrumb(crumb("F"));
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (Messages{"D", "E", "F"}));
    copy.addBreadcrumb(crumb("G"));
    copy.addBreadcrumb(crumb("H"));
    copy.addBreadcrumb(crumb("I"));
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (Messages{"G", "H", "I"}));
    EXPECT_EQ(messagesOf(original.breadcrumbs()), (Messages{"C", "D", "E"}));
}

TEST(ScopeRingTest, CopyOfAPartlyFilledRingFillsUpBeforeDropping) {
    Scope original(3);
    original.addBreadcrumb(crumb("A"));
    Scope copy(original);
    copy.addBreadcrumb(crumb("B"));
    copy.addBreadcrumb(crumb("C"));
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (Messages{"A", "B", "C"}));
    copy.addBreadcrumb(crumb("D"));
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (Messages{"B", "C", "D"}));
    EXPECT_EQ(copy.maxBreadcrumbs(), 3u);
}

TEST(ScopeRingTest, ConcurrentAddsKeepCapacityOrderAndTheObserverInStep) {
    constexpr std::size_t kCapacity = 16;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    Scope scope(kCapacity);
    auto observer = std::make_shared<test::RecordingObserver>();
    scope.addObserver(observer);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&scope, t] {
            for (int i = 0; i < kPerThread; ++i) {
                scope.addBreadcrumb(crumb(std::to_string(t) + ":" + std::to_string(i)));
                if (i % 50 == 0) (void)scope.breadcrumbs();
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const Messages kept = messagesOf(scope.breadcrumbs());
    ASSERT_EQ(kept.size(), kCapacity);
    // Each thread's breadcrumbs stay in the order that thread added them.
    std::map<std::string, int> lastOfThread;
    for (const auto& message : kept) {
        const auto colon = message.find(':');
        const std::string thread = message.substr(0, colon);
        const int index = std::stoi(message.substr(colon + 1));
        if (lastOfThread.count(thread)) {
            EXPECT_LT(lastOfThread[thread], index);
        }
        lastOfThread[thread] = index;
    }
    // The observer heard every add, in the ring's own order.
    const auto calls = observer->calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kPerThread));
    Messages lastHeard;
    for (std::size_t i = calls.size() - kCapacity; i < calls.size(); ++i) {
        lastHeard.push_back(
            Json::parse(calls[i].substr(calls[i].find(' ') + 1)).get<std::string>());
    }
    EXPECT_EQ(lastHeard, kept);
}

}  // namespace
}  // namespace skald
