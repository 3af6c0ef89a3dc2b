// The crash state follows the application notifications once the SDK has
// installed crash handling: from the application layer, and from a host that
// posts the notifications itself. Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <utility>

#include "crash/async_safe/app_state.h"
#include "crash/recording/app_state_monitor.h"
#include "crash/recording/monitor_activation.h"
#include "integrations/crash_integration.h"
#include "integrations/crash_reporter.h"
#include "skald/app/application.h"
#include "platform/app/scripted_frontend.h"
#include "skald/platform/notification_center.h"
#include "skald/options.h"
#include "skald/sdk.h"
#include "support/temp_directory.h"
#include "util/json_bytes.h"

namespace skald::crash {
namespace {

using platform::NotificationCenter;

double gFakeNow = 1000;
double fakeClock() {
    return gFakeNow;
}

class AppStateNotifications : public ::testing::Test {
  protected:
    void SetUp() override {
        registry::setDebuggerProbe([] { return false; });
        gFakeNow = 1000;
        appstate::setClock(fakeClock);
        options.cacheDirectoryPath = directory.path();
    }
    void TearDown() override { appstate::setClock(nullptr); }

    Json savedState() const {
        std::ifstream in(CrashReporter::shared().installPath() + "/Data/CrashState.json");
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return parseJsonBytes(text).value_or(Json());
    }
    static void post(const char* name) {
        NotificationCenter::defaultCenter().postNotificationName(name);
    }
    static const appstate::AppState& state() { return appstate::currentState(); }

    test::TempDirectory directory;
    Options options;
};

// What an application delegate does in a host: starts the SDK once launched.
struct StartingDelegate : app::ApplicationDelegate {
    std::function<void()> start;
    std::function<void()> active;
    void applicationDidFinishLaunching(const platform::Notification&) override { start(); }
    void applicationDidBecomeActive(const platform::Notification&) override {
        if (active) std::exchange(active, nullptr)();
    }
};

TEST_F(AppStateNotifications, AScriptedApplicationsActivityReachesTheCrashState) {
    std::function<void()> steps;
    auto frontend = std::make_shared<app::ScriptedFrontend>();
    app::Application application(frontend);
    StartingDelegate delegate;
    delegate.start = [&] {
        SDK::startWithConfigureOptions(
            [&](Options& sdkOptions) { sdkOptions.cacheDirectoryPath = directory.path(); });
    };

    // Steps on the loop, each once the observers heard of the last change
    // (the delegate hears of it before them).
    delegate.active = [&] { application.dispatchAfter(std::chrono::milliseconds(0), steps); };
    steps = [&] {
        EXPECT_TRUE(state().applicationIsActive);
        EXPECT_TRUE(state().applicationIsInForeground);
        gFakeNow += 5;
        frontend->loseFocus();
        application.dispatchAfter(std::chrono::milliseconds(0), [&] {
            EXPECT_FALSE(state().applicationIsActive);
            EXPECT_FALSE(state().applicationIsInForeground);
            EXPECT_DOUBLE_EQ(state().activeDurationSinceLaunch, 5);
            // Entering the background saved the active time.
            EXPECT_DOUBLE_EQ(savedState().value("activeDurationSinceLastCrash", -1.0), 5);
            gFakeNow += 7;
            frontend->regainFocus();
            application.dispatchAfter(std::chrono::milliseconds(0), [&] {
                EXPECT_TRUE(state().applicationIsActive);
                EXPECT_DOUBLE_EQ(state().backgroundDurationSinceLaunch, 7);
                EXPECT_EQ(state().sessionsSinceLaunch, 2);
                gFakeNow += 3;
                application.terminate();
            });
        });
    };
    application.scheduleTimer(std::chrono::seconds(20), false, [&] {
        ADD_FAILURE() << "the application did not terminate in time";
        application.terminate();
    });
    EXPECT_EQ(application.run(delegate), 0);

    // Termination resigned first: its last three seconds were active ones.
    EXPECT_DOUBLE_EQ(CrashReporter::shared().activeDurationSinceLaunch(), 8);
    EXPECT_DOUBLE_EQ(CrashReporter::shared().backgroundDurationSinceLaunch(), 7);
    const Json saved = savedState();
    EXPECT_EQ(saved.value("crashedLastLaunch", true), false);
    EXPECT_DOUBLE_EQ(saved.value("activeDurationSinceLastCrash", -1.0), 8);
    EXPECT_DOUBLE_EQ(saved.value("backgroundDurationSinceLastCrash", -1.0), 7);
    EXPECT_EQ(saved.value("sessionsSinceLastCrash", 0), 2);
    SDK::close();
}

TEST_F(AppStateNotifications, AHostPostingTheNotificationsItselfIsHeard) {
    CrashIntegration integration;
    ASSERT_TRUE(integration.installWithOptions(options));

    // A resign without an activation counts nothing.
    post(platform::kApplicationWillResignActiveNotification);
    EXPECT_DOUBLE_EQ(state().activeDurationSinceLaunch, 0);

    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(state().applicationIsActive);
    gFakeNow += 4;
    // A repeated activation keeps the time from the first one.
    post(platform::kApplicationDidBecomeActiveNotification);
    gFakeNow += 2;
    post(platform::kApplicationWillResignActiveNotification);
    EXPECT_DOUBLE_EQ(state().activeDurationSinceLaunch, 6);
    EXPECT_TRUE(state().applicationIsInForeground) << "an inactive host stays in the foreground";

    post(platform::kApplicationDidEnterBackgroundNotification);
    gFakeNow += 10;
    // Activation without a foreground notification comes to the foreground.
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_DOUBLE_EQ(state().backgroundDurationSinceLaunch, 10);
    EXPECT_EQ(state().sessionsSinceLaunch, 2);

    // Terminating while active: the active time is active, not background.
    gFakeNow += 1;
    post(platform::kApplicationWillTerminateNotification);
    EXPECT_DOUBLE_EQ(state().activeDurationSinceLaunch, 7);
    EXPECT_DOUBLE_EQ(state().backgroundDurationSinceLastCrash, 10);
    gFakeNow += 50;
    post(platform::kApplicationWillTerminateNotification);
    EXPECT_DOUBLE_EQ(savedState().value("activeDurationSinceLastCrash", -1.0), 7);
    EXPECT_DOUBLE_EQ(savedState().value("backgroundDurationSinceLastCrash", -1.0), 10)
        << "a second termination adds nothing";

    integration.uninstall();
}

TEST_F(AppStateNotifications, UninstallStopsObservingAndAStartObservesAgain) {
    auto& center = NotificationCenter::defaultCenter();
    const size_t before = center.observerCount();
    CrashIntegration integration;
    ASSERT_TRUE(integration.installWithOptions(options));
    // The five application notifications, and the locale change.
    EXPECT_EQ(center.observerCount(), before + 6);
    integration.uninstall();
    EXPECT_EQ(center.observerCount(), before);

    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_FALSE(state().applicationIsActive);

    // Started again (a second install also adds no second set).
    CrashIntegration again;
    ASSERT_TRUE(again.installWithOptions(options));
    ASSERT_TRUE(again.installWithOptions(options));
    EXPECT_EQ(center.observerCount(), before + 6);
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(state().applicationIsActive);
    again.uninstall();
}

}  // namespace
}  // namespace skald::crash
