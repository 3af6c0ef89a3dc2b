// Breadcrumbs nobody asks for: the start marker, activation changes and
// connectivity changes, through the SDK onto the current scope.
#include "integrations/breadcrumb_tracker.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/dependency_container.h"
#include "integrations/auto_breadcrumb_tracking_integration.h"
#include "platform/fake_netlink_source.h"
#include "platform/net/reachability.h"
#include "sdk/sdk_fixture.h"
#include "skald/breadcrumb.h"
#include "skald/platform/notification_center.h"
#include "skald/sdk.h"

namespace skald::test {
namespace {

/// Keeps its observers for the test to call, instead of watching the network.
class FakeReachability : public Reachability {
  public:
    void addObserver(const std::shared_ptr<ReachabilityObserver>& observer) override {
        observers.push_back(observer);
    }
    void removeObserver(const ReachabilityObserver* observer) override {
        std::erase_if(observers, [&](const auto& held) { return held.get() == observer; });
    }
    void removeAllObservers() override { observers.clear(); }
    void report(bool connected) {
        for (const auto& observer : std::vector(observers))
            observer->connectivityChanged(connected, connected ? "wifi" : "none");
    }
    std::vector<std::shared_ptr<ReachabilityObserver>> observers;
};

class BreadcrumbTrackerTest : public CurrentHubFixture {
  protected:
    std::vector<Json> crumbs() const {
        std::vector<Json> all;
        for (const auto& crumb : scope->breadcrumbs()) all.push_back(crumb->serialize());
        return all;
    }

    platform::NotificationCenter center;
    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
};

TEST_F(BreadcrumbTrackerTest, StartLifecycleAndConnectivityGiveTheirBreadcrumbsInOrder) {
    AutoBreadcrumbTrackingIntegration integration;
    integration.installWithTracker(std::make_shared<BreadcrumbTracker>(center, reachability));
    center.postNotificationName(platform::kApplicationWillResignActiveNotification);
    center.postNotificationName(platform::kApplicationDidBecomeActiveNotification);
    reachability->report(false);
    reachability->report(true);

    const auto all = crumbs();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0]["category"], "started");
    EXPECT_EQ(all[0]["type"], "debug");
    EXPECT_EQ(all[0]["message"], "Breadcrumb Tracking");
    EXPECT_EQ(all[0]["level"], "info");
    EXPECT_EQ(all[1]["category"], "app.lifecycle");
    EXPECT_EQ(all[1]["type"], "navigation");
    EXPECT_EQ(all[1]["data"], (Json{{"state", "background"}}));
    EXPECT_EQ(all[2]["data"], (Json{{"state", "foreground"}}));
    EXPECT_EQ(all[3]["category"], "device.connectivity");
    EXPECT_EQ(all[3]["type"], "connectivity");
    EXPECT_EQ(all[3]["data"], (Json{{"connectivity", "none"}}));
    EXPECT_EQ(all[4]["data"], (Json{{"connectivity", "wifi"}}));
}

TEST_F(BreadcrumbTrackerTest, AfterUninstallNothingMoreIsRecorded) {
    AutoBreadcrumbTrackingIntegration integration;
    integration.installWithTracker(std::make_shared<BreadcrumbTracker>(center, reachability));
    integration.uninstall();
    EXPECT_TRUE(reachability->observers.empty());
    center.postNotificationName(platform::kApplicationDidBecomeActiveNotification);
    reachability->report(true);
    EXPECT_EQ(crumbs().size(), 1u) << "only the start marker";
}

TEST_F(BreadcrumbTrackerTest, BeforeBreadcrumbStillDecides) {
    options->beforeBreadcrumb = [](std::shared_ptr<Breadcrumb> crumb) {
        return crumb->category == "device.connectivity" ? nullptr : crumb;
    };
    AutoBreadcrumbTrackingIntegration integration;
    integration.installWithTracker(std::make_shared<BreadcrumbTracker>(center, reachability));
    reachability->report(true);
    const auto all = crumbs();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]["category"], "started");
}

TEST_F(BreadcrumbTrackerTest, WithTheOptionOffNothingIsInstalled) {
    options->enableAutoBreadcrumbTracking = false;
    AutoBreadcrumbTrackingIntegration integration;
    EXPECT_FALSE(integration.installWithOptions(*options));
    EXPECT_TRUE(crumbs().empty());
}

// ---- Connectivity from the kernel's routing table ------------------------------

/// The tracker on the real reachability monitor; the routing table is either
/// a network namespace of the test's own or, where the test may not make one,
/// a scripted netlink source.
class ConnectivityBreadcrumbTest : public CurrentHubFixture {
  protected:
    void TearDown() override {
        integration.uninstall();
        Reachability::setMonitorFactory(nullptr);
        CurrentHubFixture::TearDown();
    }

    void install() {
        integration.installWithTracker(std::make_shared<BreadcrumbTracker>(
            center, DependencyContainer::sharedInstance()->reachability()));
    }

    std::vector<std::string> connectivityInScope() const {
        std::vector<std::string> values;
        for (const auto& crumb : scope->breadcrumbs()) {
            if (crumb->category == "device.connectivity")
                values.push_back(crumb->data ? crumb->data->value("connectivity", "") : "");
        }
        return values;
    }

    bool waitForConnectivity(size_t count) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (connectivityInScope().size() < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    /// The next event carries the start marker first and the connectivity
    /// changes after it, in the order they happened.
    void expectInNextEvent(const std::vector<std::string>& connectivity) {
        hub->captureMessage("after the route changes");
        const auto envelopes = transport->envelopes();
        ASSERT_FALSE(envelopes.empty());
        const Json event = itemJson(*envelopes.back(), "event");
        std::vector<std::string> categories;
        std::vector<std::string> values;
        for (const auto& crumb : event["breadcrumbs"]) {
            categories.push_back(crumb["category"]);
            if (crumb["category"] == "device.connectivity")
                values.push_back(crumb["data"]["connectivity"]);
        }
        ASSERT_FALSE(categories.empty());
        EXPECT_EQ(categories.front(), "started");
        EXPECT_EQ(values, connectivity) << event["breadcrumbs"].dump(1);
    }

    platform::NotificationCenter center;
    AutoBreadcrumbTrackingIntegration integration;
};

int runCommand(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

TEST_F(ConnectivityBreadcrumbTest, RouteChangesInANetworkNamespaceGiveBreadcrumbsInOrder) {
    bool inNamespace = false;
    // A network namespace belongs to the thread that makes it; the monitor's
    // socket and the `ip` commands started from this thread live in it.
    std::thread namespaced([&] {
        if (::unshare(CLONE_NEWNET) != 0 || runCommand("ip link set lo up") != 0) return;
        inNamespace = true;
        install();
        // Only the loopback link: not reachable.
        ASSERT_TRUE(waitForConnectivity(1));
        ASSERT_EQ(runCommand("ip link add skv0 type veth peer name skv1 && "
                             "ip link set skv1 up && ip link set skv0 up && "
                             "ip addr add 10.211.0.1/24 dev skv0"),
                  0);
        ASSERT_EQ(runCommand("ip route add default via 10.211.0.2 dev skv0"), 0);
        ASSERT_TRUE(waitForConnectivity(2));
        ASSERT_EQ(runCommand("ip route del default"), 0);
        ASSERT_TRUE(waitForConnectivity(3));
    });
    namespaced.join();
    if (!inNamespace)
        GTEST_SKIP() << "no network namespace (needs root and iproute2); the "
                        "scripted netlink test covers the same path";
    ASSERT_FALSE(HasFatalFailure());
    expectInNextEvent({"none", "wifi", "none"});
}

TEST_F(ConnectivityBreadcrumbTest, NetlinkMessagesFedToTheMonitorGiveBreadcrumbsInOrder) {
    auto kernel = makeFakeNetlink();
    Reachability::setMonitorFactory([kernel] {
        return std::make_shared<platform::ReachabilityMonitor>(
            std::make_unique<FakeNetlinkSource>(kernel));
    });
    install();
    ASSERT_TRUE(waitForConnectivity(1));
    kernel->addRoute(defaultRouteVia(2));
    ASSERT_TRUE(waitForConnectivity(2));
    kernel->removeRoutes();
    ASSERT_TRUE(waitForConnectivity(3));
    expectInNextEvent({"none", "wifi", "none"});
}

}  // namespace
}  // namespace skald::test
