#include "platform/net/reachability.h"

#include <gtest/gtest.h>

#include "support/eventually.h"

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "fake_netlink_source.h"
#include "support/log_capture.h"
#include "transport/reachability.h"

namespace skald {
namespace {

using namespace std::chrono_literals;
using platform::kReachabilityFlagReachable;
using platform::ReachabilityMonitor;
using test::defaultRouteVia;
using test::FakeNetlink;
using test::FakeNetlinkSource;

using test::eventually;

/// Collects every report of a monitor.
struct Reports {
    std::mutex mutex;
    std::vector<uint32_t> flags;

    void add(uint32_t value) {
        std::lock_guard guard(mutex);
        flags.push_back(value);
    }
    size_t size() {
        std::lock_guard guard(mutex);
        return flags.size();
    }
    uint32_t last() {
        std::lock_guard guard(mutex);
        return flags.empty() ? 0xFFFFFFFFu : flags.back();
    }
};

class ReachabilityMonitorTest : public ::testing::Test {
  protected:
    void start() {
        monitor =
            std::make_unique<ReachabilityMonitor>(std::make_unique<FakeNetlinkSource>(kernel));
        monitor->addListener([this](uint32_t flags) { reports.add(flags); });
        ASSERT_FALSE(monitor->start().has_value());
        ASSERT_TRUE(monitor->waitForFirstReport(5s));
    }
    /// Waits for the report that follows the ones seen so far.
    uint32_t nextReport(size_t seen) {
        EXPECT_TRUE(eventually([&] { return reports.size() > seen; }));
        return reports.last();
    }

    std::shared_ptr<FakeNetlink> kernel = test::makeFakeNetlink();
    Reports reports;
    std::unique_ptr<ReachabilityMonitor> monitor;
};

TEST_F(ReachabilityMonitorTest, FollowsTheDefaultRouteAndItsInterface) {
    start();
    EXPECT_EQ(reports.last(), 0u) << "no route at all";

    kernel->addRoute(defaultRouteVia(2));
    EXPECT_EQ(nextReport(1), kReachabilityFlagReachable);
    EXPECT_EQ(monitor->flags(), kReachabilityFlagReachable);

    // The link loses its carrier: the route stays but leads nowhere.
    kernel->setLink(2, IFF_UP);
    EXPECT_EQ(nextReport(2), 0u);

    kernel->setLink(2, IFF_UP | IFF_RUNNING);
    EXPECT_EQ(nextReport(3), kReachabilityFlagReachable);

    kernel->removeRoutes();
    EXPECT_EQ(nextReport(4), 0u);
}

TEST_F(ReachabilityMonitorTest, OnlyUsableDefaultRoutesCount) {
    kernel->setLink(3, IFF_UP | IFF_RUNNING);
    FakeNetlink::Route subnet = defaultRouteVia(2);
    subnet.destinationLength = 24;
    FakeNetlink::Route otherTable = defaultRouteVia(2);
    otherTable.table = 1000;
    FakeNetlink::Route unreachable = defaultRouteVia(2, AF_INET6);
    unreachable.type = RTN_UNREACHABLE;
    FakeNetlink::Route linkDown = defaultRouteVia(3);
    linkDown.flags = RTNH_F_LINKDOWN;
    for (const auto& route : {subnet, otherTable, unreachable, linkDown, defaultRouteVia(1)}) {
        kernel->addRoute(route);
    }
    start();
    EXPECT_EQ(reports.last(), 0u);

    // Through IPv6 only, and through one live hop of several.
    FakeNetlink::Route multipath = defaultRouteVia(0, AF_INET6);
    multipath.multipath = {7, 3};
    kernel->addRoute(multipath);
    EXPECT_EQ(nextReport(1), kReachabilityFlagReachable);
}

TEST_F(ReachabilityMonitorTest, DumpsAgainWhenMessagesWereLostOrTheDumpWasInterrupted) {
    kernel->addRoute(defaultRouteVia(2));
    kernel->interruptNextDump();
    start();
    // The interrupted link dump was repeated before anything was reported.
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports.last(), kReachabilityFlagReachable);
    EXPECT_EQ(kernel->dumpRequests(), 3);

    kernel->pushOverrun();
    nextReport(1);
    EXPECT_EQ(kernel->dumpRequests(), 5);
}

TEST_F(ReachabilityMonitorTest, IgnoresMalformedAndForeignMessages) {
    start();
    // Counted before the pushes: the monitor may report before the test looks.
    const auto seen = reports.size();
    // A cut message, a reply to somebody else's dump, and a truncated route.
    kernel->push(std::string("\x20\x00\x00\x00\x18\x00", 6));
    kernel->push(FakeNetlink::routeMessage(RTM_NEWROUTE, NLM_F_MULTI, 99, defaultRouteVia(2),
                                           FakeNetlink::kPort));
    std::string shortRoute =
        test::NetlinkMessage(RTM_NEWROUTE, 0, 0, 0).payload(uint16_t{0}).finish();
    kernel->push(shortRoute);
    nextReport(seen);  // the truncated route still counts as news
    EXPECT_EQ(reports.last(), 0u);
    EXPECT_TRUE(monitor->isRunning());
}

TEST_F(ReachabilityMonitorTest, StopClosesTheSourceAndSilencesListeners) {
    start();
    monitor->stop();
    EXPECT_TRUE(kernel->closed());
    const auto seen = reports.size();
    kernel->addRoute(defaultRouteVia(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(reports.size(), seen);
    EXPECT_TRUE(monitor->start().has_value()) << "a stopped monitor does not start again";
}

TEST(ReachabilityMonitorSmokeTest, ReadsTheKernelsRouteTable) {
    ReachabilityMonitor monitor;
    std::optional<Error> failure;
    monitor.setDiagnosticHandler([&](const Error& error) { failure = error; });
    if (auto error = monitor.start()) {
        GTEST_SKIP() << "no route socket here: " << error->description();
    }
    ASSERT_TRUE(monitor.waitForFirstReport(5s));
    const uint32_t flags = *monitor.flags();
    EXPECT_TRUE(flags == 0 || flags == kReachabilityFlagReachable) << flags;
    EXPECT_FALSE(failure.has_value()) << failure->description();
    monitor.stop();
}

// MARK: - The SDK's observer set

class RecordingObserver : public ReachabilityObserver {
  public:
    void connectivityChanged(bool connected, const std::string& typeDescription) override {
        std::lock_guard guard(mutex);
        calls.emplace_back(connected, typeDescription);
        if (onCall) onCall();
    }
    std::vector<std::pair<bool, std::string>> snapshot() {
        std::lock_guard guard(mutex);
        return calls;
    }

    std::mutex mutex;
    std::vector<std::pair<bool, std::string>> calls;
    std::function<void()> onCall;
};

class ReachabilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Reachability::setMonitorFactory([this] {
            ++monitorsMade;
            return std::make_shared<ReachabilityMonitor>(
                std::make_unique<FakeNetlinkSource>(kernel));
        });
    }
    void TearDown() override {
        reachability.removeAllObservers();
        Reachability::setMonitorFactory(nullptr);
    }

    test::LogCapture log;
    std::shared_ptr<FakeNetlink> kernel = test::makeFakeNetlink();
    std::atomic<int> monitorsMade{0};
    Reachability reachability;
    std::shared_ptr<RecordingObserver> observer = std::make_shared<RecordingObserver>();
};

TEST_F(ReachabilityTest, OnlyAChangeOfTheReachableBitIsReported) {
    reachability.addObserver(observer);
    ASSERT_TRUE(eventually([&] { return observer->snapshot().size() == 1; }));
    log.clear();

    Reachability::connectivityCallback(kReachabilityFlagReachable);
    Reachability::connectivityCallback(kReachabilityFlagReachable | 1 | 8);
    Reachability::connectivityCallback(0);
    Reachability::connectivityCallback(1);

    const auto calls = observer->snapshot();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], std::make_pair(false, std::string("none"))) << "the monitor's first report";
    EXPECT_EQ(calls[1], std::make_pair(true, std::string("wifi")));
    EXPECT_EQ(calls[2], std::make_pair(false, std::string("none")));
    EXPECT_TRUE(log.contains(
        "No change in reachability state. SkaldConnectivityShouldReportChange will return NO for "
        "flags 11, skald_current_reachability_state 2"));
    EXPECT_EQ(log.count("SkaldConnectivityShouldReportChange returned NO for flags 1, will not "
                        "report change to observers."),
              1u);
    EXPECT_TRUE(log.contains("SkaldConnectivityCallback called with target: skald.io; flags: 2"));
    EXPECT_EQ(log.count("Notifying observers..."), 2u);
    EXPECT_EQ(log.count("Finished notifying observers."), 2u);
}

TEST_F(ReachabilityTest, TheMonitorRunsWhileObserversAreRegistered) {
    kernel->addRoute(defaultRouteVia(2));
    reachability.addObserver(observer);
    ASSERT_TRUE(eventually([&] { return observer->snapshot().size() == 1; }));
    EXPECT_EQ(observer->snapshot()[0], std::make_pair(true, std::string("wifi")));
    EXPECT_TRUE(kernel->opened());

    // A change in the routing table reaches the observer through the queue.
    kernel->removeRoutes();
    ASSERT_TRUE(eventually([&] { return observer->snapshot().size() == 2; }));
    EXPECT_EQ(observer->snapshot()[1], std::make_pair(false, std::string("none")));

    auto second = std::make_shared<RecordingObserver>();
    reachability.addObserver(second);
    reachability.addObserver(second);
    EXPECT_TRUE(log.contains("Observer already added. Doing nothing."));
    EXPECT_EQ(monitorsMade.load(), 1);

    reachability.removeObserver(observer.get());
    EXPECT_FALSE(kernel->closed());
    reachability.removeObserver(second.get());
    EXPECT_TRUE(kernel->closed());
    EXPECT_TRUE(log.contains("Cleaning up reachability queue."));

    log.clear();
    Reachability::connectivityCallback(kReachabilityFlagReachable);
    EXPECT_TRUE(log.contains("No reachability observers registered. Nothing to do."));
}

TEST_F(ReachabilityTest, AfterAllObserversLeftTheFirstCallbackNotifiesAgain) {
    reachability.addObserver(observer);
    ASSERT_TRUE(eventually([&] { return observer->snapshot().size() == 1; }));
    Reachability::connectivityCallback(kReachabilityFlagReachable);
    ASSERT_EQ(observer->snapshot().size(), 2u);

    reachability.removeAllObservers();
    kernel = test::makeFakeNetlink();
    kernel->addRoute(defaultRouteVia(2));
    auto again = std::make_shared<RecordingObserver>();
    reachability.addObserver(again);
    // Reachable as before, yet reported: the last value started over as unknown.
    ASSERT_TRUE(eventually([&] { return again->snapshot().size() == 1; }));
    EXPECT_EQ(again->snapshot()[0], std::make_pair(true, std::string("wifi")));
    EXPECT_EQ(monitorsMade.load(), 2);
}

TEST_F(ReachabilityTest, ObserversMayLeaveWhileBeingNotifiedAndAreHeldWeakly) {
    observer->onCall = [&] { reachability.removeObserver(observer.get()); };
    reachability.addObserver(observer);
    ASSERT_TRUE(eventually([&] { return kernel->closed(); }));
    EXPECT_EQ(observer->snapshot().size(), 1u);

    kernel = test::makeFakeNetlink();
    auto shortLived = std::make_shared<RecordingObserver>();
    reachability.addObserver(shortLived);
    ASSERT_TRUE(eventually([&] { return shortLived->snapshot().size() == 1; }));
    shortLived.reset();
    log.clear();
    Reachability::connectivityCallback(kReachabilityFlagReachable);
    EXPECT_TRUE(log.contains("No reachability observers registered. Nothing to do."));
}

}  // namespace
}  // namespace skald
