// App hangs: the watchdog against a main queue the test controls, and the
// integration against a real main loop that the test blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "core/anr_tracker.h"
#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "crash/async_safe/monitors.h"
#include "integrations/anr_tracking_integration.h"
#include "platform/dispatch/run_loop.h"
#include "sdk/sdk_fixture.h"
#include "skald/platform/main_queue.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/thread_wrapper.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
using platform::MainQueue;

class ForegroundCrashWrapper : public CrashWrapper {
  public:
    bool isApplicationInForeground() override { return foreground; }
    std::atomic<bool> foreground{true};
};

struct CountingListener : ANRTrackerListener {
    void anrDetected() override { ++detected; }
    void anrStopped() override { ++stopped; }
    std::atomic<int> detected{0};
    std::atomic<int> stopped{0};
};

/// Records the watchdog threads it sees; can make every sleep look far longer.
class RecordingThreadWrapper : public ThreadWrapper {
  public:
    void sleepForTimeInterval(double seconds) override {
        ThreadWrapper::sleepForTimeInterval(seconds);
        if (oversleep) clock->offset += 60.0;
    }
    void threadStarted(const std::string& id) override {
        std::lock_guard lock(mutex);
        started.insert(id);
    }

    struct Clock : CurrentDateProvider {
        Date date() override { return system.date(); }
        int64_t timezoneOffset() override { return system.timezoneOffset(); }
        uint64_t systemTime() override { return system.systemTime(); }
        double systemUptime() override { return system.systemUptime() + offset; }
        DefaultCurrentDateProvider system;
        std::atomic<double> offset{0};
    };
    std::shared_ptr<Clock> clock = std::make_shared<Clock>();
    std::atomic<bool> oversleep{false};
    std::mutex mutex;
    std::set<std::string> started;
};

/// A main queue that runs its blocks only when the test says so: a main
/// thread that hangs until then.
class ControlledMainQueue {
  public:
    ControlledMainQueue() {
        MainQueue::registerLoop([this](platform::Block block) {
            std::lock_guard lock(mutex_);
            blocks_.push_back(std::move(block));
        });
    }
    ~ControlledMainQueue() { MainQueue::unregisterLoop(); }

    size_t runPending() {
        std::deque<platform::Block> blocks;
        {
            std::lock_guard lock(mutex_);
            blocks.swap(blocks_);
        }
        for (auto& block : blocks) block();
        return blocks.size();
    }
    /// Answers every probe for `duration`, as a live main loop does.
    void answerFor(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            runPending();
            std::this_thread::sleep_for(5ms);
        }
    }

  private:
    std::mutex mutex_;
    std::deque<platform::Block> blocks_;
};

template <typename Predicate>
bool waitFor(Predicate predicate, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class ANRTrackerTest : public ::testing::Test {
  protected:
    // 50 ms between probes: a hang after 250 ms.
    static constexpr double kTimeout = 0.25;

    void TearDown() override {
        if (tracker) {
            tracker->clear();
            waitFor([&] { return tracker->state() == ANRTracker::State::NotRunning; });
        }
    }

    std::shared_ptr<ANRTracker> makeTracker() {
        tracker = std::make_shared<ANRTracker>(kTimeout, crashWrapper,
                                               std::make_shared<DispatchQueueWrapper>(),
                                               threadWrapper, threadWrapper->clock);
        tracker->addListener(listener);
        return tracker;
    }

    std::shared_ptr<ForegroundCrashWrapper> crashWrapper =
        std::make_shared<ForegroundCrashWrapper>();
    std::shared_ptr<RecordingThreadWrapper> threadWrapper =
        std::make_shared<RecordingThreadWrapper>();
    std::shared_ptr<CountingListener> listener = std::make_shared<CountingListener>();
    std::shared_ptr<ANRTracker> tracker;
};

TEST_F(ANRTrackerTest, HangIsReportedOnceAndItsEndOnceWhenTheMainQueueAnswers) {
    ControlledMainQueue mainQueue;
    makeTracker();
    ASSERT_TRUE(waitFor([&] { return listener->detected == 1; }));
    // The same hang goes on: no second report.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(listener->detected, 1);
    EXPECT_EQ(listener->stopped, 0);

    EXPECT_GT(mainQueue.runPending(), 0u);
    ASSERT_TRUE(waitFor([&] { return listener->stopped == 1; }));

    // A new hang after the main thread answered is a new report.
    ASSERT_TRUE(waitFor([&] { return listener->detected == 2; }));
    EXPECT_EQ(listener->stopped, 1);
}

TEST_F(ANRTrackerTest, MainQueueThatAnswersGivesNoHang) {
    ControlledMainQueue mainQueue;
    makeTracker();
    mainQueue.answerFor(800ms);
    EXPECT_EQ(listener->detected, 0);
}

TEST_F(ANRTrackerTest, HangInTheBackgroundIsNotReportedEvenAfterComingBack) {
    ControlledMainQueue mainQueue;
    crashWrapper->foreground = false;
    makeTracker();
    std::this_thread::sleep_for(500ms);
    crashWrapper->foreground = true;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(listener->detected, 0);
    // The end of the unreported hang is still told.
    mainQueue.runPending();
    ASSERT_TRUE(waitFor([&] { return listener->stopped == 1; }));
}

TEST_F(ANRTrackerTest, OversleptPassesAreIgnored) {
    ControlledMainQueue mainQueue;
    threadWrapper->oversleep = true;
    makeTracker();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(listener->detected, 0);
    threadWrapper->oversleep = false;
    ASSERT_TRUE(waitFor([&] { return listener->detected == 1; }));
}

TEST_F(ANRTrackerTest, WithoutAMainLoopNothingIsProbedUntilOneIsRegistered) {
    ASSERT_FALSE(MainQueue::hasLoop());
    const size_t pendingBefore = MainQueue::pendingCount();
    makeTracker();
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(listener->detected, 0);
    EXPECT_EQ(MainQueue::pendingCount(), pendingBefore);

    ControlledMainQueue mainQueue;
    ASSERT_TRUE(waitFor([&] { return listener->detected == 1; }));
}

TEST_F(ANRTrackerTest, StopWakesAWatchdogThatWaitsForAMainLoop) {
    makeTracker();
    ASSERT_TRUE(waitFor([&] { return tracker->state() == ANRTracker::State::Running; }));
    std::this_thread::sleep_for(100ms);
    tracker->removeListener(listener.get());
    EXPECT_TRUE(waitFor([&] { return tracker->state() == ANRTracker::State::NotRunning; }, 500ms));
}

TEST_F(ANRTrackerTest, LastListenerLeavingStopsTheWatchdogAndANewOneStartsAnother) {
    ControlledMainQueue mainQueue;
    makeTracker();
    ASSERT_TRUE(waitFor([&] { return tracker->state() == ANRTracker::State::Running; }));
    tracker->removeListener(listener.get());
    // Within one sleep interval, give or take the scheduler.
    ASSERT_TRUE(waitFor([&] { return tracker->state() == ANRTracker::State::NotRunning; }, 500ms));

    tracker->addListener(listener);
    ASSERT_TRUE(waitFor([&] { return tracker->state() == ANRTracker::State::Running; }));
    std::lock_guard lock(threadWrapper->mutex);
    EXPECT_EQ(threadWrapper->started.size(), 2u);
}

TEST_F(ANRTrackerTest, ListenerThatIsGoneIsNotCalled) {
    ControlledMainQueue mainQueue;
    makeTracker();
    auto second = std::make_shared<CountingListener>();
    tracker->addListener(second);
    second.reset();
    ASSERT_TRUE(waitFor([&] { return listener->detected == 1; }));
}

TEST(ANRTrackingIntegrationTest, RefusesWithoutTimeoutUnderADebuggerAndWhenNotShared) {
    Options options;
    options.appHangTimeoutInterval = 0;
    EXPECT_FALSE(std::make_shared<ANRTrackingIntegration>()->installWithOptions(options));

    options.appHangTimeoutInterval = 2;
    BaseIntegration::setDebuggerAttachedProbe([] { return true; });
    EXPECT_FALSE(std::make_shared<ANRTrackingIntegration>()->installWithOptions(options));
    BaseIntegration::setDebuggerAttachedProbe(nullptr);

    ANRTrackingIntegration onTheStack;
    EXPECT_FALSE(onTheStack.installWithOptions(options));
}

// ---- The integration against a real main loop ---------------------------------

__attribute__((noinline)) void appHangTestBlockMainThread(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
    asm volatile("" ::: "memory");  // keeps the call out of a tail position
}

class AppHangIntegrationTest : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        // Names in the stacks: the test looks for a function by name.
        options->debug = true;
        makeClient();
        // As in a host with crash handling on: the stopped threads may then
        // walk their stacks with the unwind tables, which need its fault
        // handlers to recover from a broken stack.
        crash::signalMonitorApi()->setEnabled(true);
        SDK::setCurrentHub(hub);
        DependencyContainer::sharedInstance()->setCrashWrapper(crashWrapper);
        integration = std::make_shared<ANRTrackingIntegration>();
        ASSERT_TRUE(integration->installWithOptions(*options));
        hub->addInstalledIntegration(integration, ANRTrackingIntegration::kName);
    }
    void TearDown() override {
        integration->uninstall();
        crash::signalMonitorApi()->setEnabled(false);
        CurrentHubFixture::TearDown();
    }

    /// Runs the main loop, which blocks for `block` once, then answers for
    /// two more seconds.
    void runMainLoopBlockedFor(std::chrono::milliseconds block) {
        platform::RunLoop loop;
        loop.postAfter(200ms, [block] { appHangTestBlockMainThread(block); });
        loop.runFor(200ms + block + 2s);
    }

    std::vector<Json> appHangEvents() const {
        std::vector<Json> events;
        for (const auto& envelope : transport->envelopes()) {
            Json event = itemJson(*envelope, "event");
            if (event.is_object() && event["exception"]["values"][0]["type"] == "App Hanging")
                events.push_back(event);
        }
        return events;
    }

    std::shared_ptr<ForegroundCrashWrapper> crashWrapper =
        std::make_shared<ForegroundCrashWrapper>();
    std::shared_ptr<ANRTrackingIntegration> integration;
};

TEST_F(AppHangIntegrationTest, BlockedForThreeSecondsGivesOneEventWithTheMainThreadsStack) {
    runMainLoopBlockedFor(3000ms);
    const auto events = appHangEvents();
    ASSERT_EQ(events.size(), 1u);
    const Json& event = events[0];
    EXPECT_EQ(event["level"], "error");
    const Json& exception = event["exception"]["values"][0];
    EXPECT_EQ(exception["value"], "App hanging for at least 2000 ms.");
    EXPECT_EQ(exception["mechanism"]["type"], "AppHang");
    EXPECT_EQ(exception["stacktrace"]["snapshot"], true);

    bool blockerFound = false;
    for (const auto& frame : exception["stacktrace"]["frames"]) {
        if (frame.value("function", "").find("appHangTestBlockMainThread") != std::string::npos)
            blockerFound = true;
    }
    EXPECT_TRUE(blockerFound) << exception["stacktrace"].dump(1);

    // Every thread is listed, the main thread first and current; the
    // watchdog's own thread among the others, each with a stack.
    const Json& threads = event["threads"]["values"];
    ASSERT_GE(threads.size(), 2u);
    EXPECT_EQ(threads[0]["main"], true);
    EXPECT_EQ(threads[0]["current"], true);
    bool watchdogListed = false;
    for (size_t i = 1; i < threads.size(); ++i) {
        EXPECT_EQ(threads[i]["current"], false);
        EXPECT_TRUE(threads[i].contains("stacktrace")) << threads[i].dump();
        if (threads[i].value("name", "") == "skald-app-hang") watchdogListed = true;
    }
    EXPECT_TRUE(watchdogListed);
}

TEST_F(AppHangIntegrationTest, BlockedForOneAndAHalfSecondsGivesNoEvent) {
    runMainLoopBlockedFor(1500ms);
    EXPECT_TRUE(appHangEvents().empty());
}

TEST_F(AppHangIntegrationTest, PausedTrackingGivesNoEventAndResumedTrackingReportsAgain) {
    SDK::pauseAppHangTracking();
    runMainLoopBlockedFor(3000ms);
    EXPECT_TRUE(appHangEvents().empty());
    SDK::resumeAppHangTracking();
    runMainLoopBlockedFor(3000ms);
    EXPECT_EQ(appHangEvents().size(), 1u);
}

}  // namespace
}  // namespace skald::test
