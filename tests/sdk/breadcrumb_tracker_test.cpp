// Breadcrumbs nobody asks for: the start marker, activation changes and
// connectivity changes, through the SDK onto the current scope.
#include "integrations/breadcrumb_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "integrations/auto_breadcrumb_tracking_integration.h"
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

}  // namespace
}  // namespace skald::test
