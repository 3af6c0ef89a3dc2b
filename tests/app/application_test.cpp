#include "skald/app/application.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app_test_util.h"
#include "platform/app/scripted_frontend.h"
#include "util/dispatch_queue_wrapper.h"

namespace skald::app::test {
namespace {

using platform::NotificationCenter;

// Records the application notifications that reach the default centre.
class NotificationRecorder {
  public:
    explicit NotificationRecorder(std::vector<std::string>& log) {
        for (const char* name : {platform::kApplicationDidFinishLaunchingNotification,
                                 platform::kApplicationDidBecomeActiveNotification,
                                 platform::kApplicationWillResignActiveNotification,
                                 platform::kApplicationDidEnterBackgroundNotification,
                                 platform::kApplicationWillEnterForegroundNotification,
                                 platform::kApplicationWillTerminateNotification}) {
            NotificationCenter::defaultCenter().addObserver(this, name, nullptr,
                                                            [&log, this](const Notification& n) {
                                                                log.push_back("observer " + n.name);
                                                                senders.push_back(n.object);
                                                            });
        }
    }
    ~NotificationRecorder() { NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<const void*> senders;
};

class RecordingController : public ViewController {
  public:
    explicit RecordingController(std::vector<std::string>& log) : log_(log) {}
    void viewDidLoad() override {
        log_.push_back("viewDidLoad");
        windowWasVisible = window() != nullptr && window()->isVisible();
        window()->label().setText("Loaded");
    }
    bool windowWasVisible = true;

  private:
    std::vector<std::string>& log_;
};

using ApplicationTest = AppTest;

TEST_F(ApplicationTest, LaunchAndTerminationFollowTheDesktopOrder) {
    auto frontend = std::make_shared<ScriptedFrontend>();
    Application app(frontend);
    std::vector<std::string> log;
    auto controller = std::make_shared<RecordingController>(log);
    app.mainWindow().setTitle("Installer");
    app.mainWindow().setContentViewController(controller);
    NotificationRecorder recorder(log);

    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        log.push_back("delegate didFinishLaunching");
        EXPECT_TRUE(frontend->windowShown());
        EXPECT_FALSE(app.isActive());
    };
    delegate.didBecomeActive = [&] {
        log.push_back("delegate didBecomeActive");
        platform::MainQueue::async([&] { app.terminate(); });
    };
    delegate.willResignActive = [&] { log.push_back("delegate willResignActive"); };
    delegate.didEnterBackground = [&] { log.push_back("delegate didEnterBackground"); };
    delegate.willEnterForeground = [&] { log.push_back("delegate willEnterForeground"); };
    delegate.willTerminate = [&] {
        log.push_back("delegate willTerminate");
        EXPECT_FALSE(frontend->terminated());  // the window is still up
    };
    auto watchdog = armWatchdog(app);

    EXPECT_EQ(app.run(delegate), 0);

    EXPECT_EQ(log, (std::vector<std::string>{
                       "viewDidLoad",
                       "delegate didFinishLaunching",
                       "observer NSApplicationDidFinishLaunchingNotification",
                       "delegate didBecomeActive",
                       "observer NSApplicationDidBecomeActiveNotification",
                       "delegate willResignActive",
                       "observer NSApplicationWillResignActiveNotification",
                       "delegate didEnterBackground",
                       "observer NSApplicationDidEnterBackgroundNotification",
                       "delegate willTerminate",
                       "observer NSApplicationWillTerminateNotification",
                   }));
    EXPECT_FALSE(controller->windowWasVisible);
    EXPECT_TRUE(std::all_of(recorder.senders.begin(), recorder.senders.end(),
                            [&](const void* sender) { return sender == &app; }));
    // The window showed the controller's label text, and then went away.
    auto events = frontend->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, ScriptedEvent::Kind::WindowShown);
    EXPECT_EQ(events.front().text, "Installer");
    EXPECT_EQ(events.back().kind, ScriptedEvent::Kind::Terminated);
    EXPECT_FALSE(app.isRunning());
    EXPECT_FALSE(platform::MainQueue::hasLoop());
}

TEST_F(ApplicationTest, WithoutTheFocusTheApplicationIsInTheBackground) {
    auto frontend = std::make_shared<ScriptedFrontend>();
    Application app(frontend);
    std::vector<std::string> log;
    NotificationRecorder recorder(log);
    int activations = 0;
    LambdaDelegate delegate;
    delegate.didBecomeActive = [&] {
        log.push_back("delegate didBecomeActive");
        if (++activations == 1) {
            // The focus goes away and comes back; the second loss is a
            // repeat that changes nothing.
            frontend->loseFocus();
            frontend->loseFocus();
            platform::MainQueue::async([&] {
                EXPECT_FALSE(app.isActive());
                EXPECT_TRUE(app.isInBackground());
                log.push_back("--");
                frontend->regainFocus();
            });
        } else {
            EXPECT_FALSE(app.isInBackground());
            platform::MainQueue::async([&] {
                log.push_back("--");
                frontend->loseFocus();
                platform::MainQueue::async([&] { app.terminate(); });
            });
        }
    };
    delegate.willResignActive = [&] { log.push_back("delegate willResignActive"); };
    delegate.didEnterBackground = [&] { log.push_back("delegate didEnterBackground"); };
    delegate.willEnterForeground = [&] { log.push_back("delegate willEnterForeground"); };
    delegate.willTerminate = [&] { log.push_back("delegate willTerminate"); };
    auto watchdog = armWatchdog(app);

    EXPECT_EQ(app.run(delegate), 0);

    EXPECT_EQ(log, (std::vector<std::string>{
                       "observer NSApplicationDidFinishLaunchingNotification",
                       // The first activation: the application starts in the foreground.
                       "delegate didBecomeActive",
                       "observer NSApplicationDidBecomeActiveNotification",
                       "delegate willResignActive",
                       "observer NSApplicationWillResignActiveNotification",
                       "delegate didEnterBackground",
                       "observer NSApplicationDidEnterBackgroundNotification",
                       "--",
                       "delegate willEnterForeground",
                       "observer NSApplicationWillEnterForegroundNotification",
                       "delegate didBecomeActive",
                       "observer NSApplicationDidBecomeActiveNotification",
                       "--",
                       "delegate willResignActive",
                       "observer NSApplicationWillResignActiveNotification",
                       "delegate didEnterBackground",
                       "observer NSApplicationDidEnterBackgroundNotification",
                       // Terminating in the background resigns nothing more.
                       "delegate willTerminate",
                       "observer NSApplicationWillTerminateNotification",
                   }));
}

TEST_F(ApplicationTest, TerminateFromAnotherThreadEndsTheRunOnce) {
    auto frontend = std::make_shared<ScriptedFrontend>();
    Application app(frontend);
    int willTerminate = 0;
    LambdaDelegate delegate;
    delegate.willTerminate = [&] { ++willTerminate; };
    std::thread terminator;
    delegate.didFinishLaunching = [&] {
        terminator = std::thread([&] {
            app.terminate();
            app.terminate();
        });
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    terminator.join();
    EXPECT_EQ(willTerminate, 1);
}

TEST_F(ApplicationTest, TerminateBeforeRunEndsItWithoutLaunching) {
    Application app(std::make_shared<ScriptedFrontend>());
    std::vector<std::string> log;
    app.mainWindow().setContentViewController(std::make_shared<RecordingController>(log));
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] { log.push_back("launched"); };
    app.terminate();
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_TRUE(log.empty());
}

TEST_F(ApplicationTest, MainQueueBlocksFromOtherThreadsRunOnTheLoopInOrder) {
    Application app(std::make_shared<ScriptedFrontend>());
    DispatchQueueWrapper sdkQueue("app-test");
    std::vector<int> order;
    std::atomic<int> offMain{0};
    std::thread poster;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        poster = std::thread([&] {
            for (int i = 0; i < 200; ++i) {
                // Both the platform call and the SDK's wrapper reach the loop.
                auto block = [&, i] {
                    if (!platform::MainQueue::isMainThread()) ++offMain;
                    order.push_back(i);
                };
                if (i % 2 == 0) {
                    platform::MainQueue::async(block);
                } else {
                    sdkQueue.dispatchAsyncOnMainQueue(block);
                }
            }
            platform::MainQueue::async([&] { app.terminate(); });
        });
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    poster.join();
    ASSERT_EQ(order.size(), 200u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(offMain.load(), 0);
}

TEST_F(ApplicationTest, BlocksQueuedBeforeTheLoopRunAfterTheLaunch) {
    Application app(std::make_shared<ScriptedFrontend>());
    std::vector<std::string> log;
    std::thread([&] {
        platform::MainQueue::async([&] {
            log.push_back("queued early");
            app.terminate();
        });
    }).join();
    ASSERT_EQ(platform::MainQueue::pendingCount(), 1u);
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] { log.push_back("launched"); };
    delegate.didBecomeActive = [&] { log.push_back("active"); };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"launched", "active", "queued early"}));
}

TEST_F(ApplicationTest, DelayedBlocksAndTimersRunOnTheLoopAtTheirTime) {
    Application app(std::make_shared<ScriptedFrontend>());
    std::vector<std::string> log;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration lateAt{};
    int ticks = 0;
    std::shared_ptr<platform::Timer> repeating;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        app.dispatchAfter(120ms, [&] {
            lateAt = std::chrono::steady_clock::now() - start;
            log.push_back("late");
            EXPECT_TRUE(platform::MainQueue::isMainThread());
            app.terminate();
        });
        app.dispatchAfter(20ms, [&] { log.push_back("early"); });
        auto cancelled = app.scheduleTimer(40ms, false, [&] { log.push_back("cancelled"); });
        cancelled->invalidate();
        repeating = app.scheduleTimer(10ms, true, [&] {
            if (++ticks == 3) repeating->invalidate();
        });
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"early", "late"}));
    EXPECT_GE(lateAt, 120ms);
    EXPECT_EQ(ticks, 3);
}

// ---- Uncaught exceptions ----

struct SeenException {
    std::string name;
    std::string reason;
    Json userInfo;
    std::vector<uintptr_t> addresses;
    int calls = 0;
};
SeenException gSeen;

void recordException(const AppException& exception) {
    gSeen.name = exception.name();
    gSeen.reason = exception.reason();
    gSeen.userInfo = exception.userInfo();
    gSeen.addresses = exception.callStackReturnAddresses();
    ++gSeen.calls;
}

TEST_F(ApplicationTest, UncaughtExceptionReachesTheHandlerAndTerminates) {
    gSeen = {};
    platform::setUncaughtExceptionHandler(&recordException);
    Application app(std::make_shared<ScriptedFrontend>());
    app.setUncaughtExceptionAction(UncaughtExceptionAction::Terminate);
    bool terminated = false;
    bool afterThrow = false;
    LambdaDelegate delegate;
    delegate.willTerminate = [&] { terminated = true; };
    delegate.didFinishLaunching = [&] {
        std::thread([] {
            platform::MainQueue::async([] {
                AppException::raise("TestException", "it broke", Json{{"key", 1}});
            });
        }).join();
        platform::MainQueue::async([&] { afterThrow = true; });
    };
    auto watchdog = armWatchdog(app);

    EXPECT_EQ(app.run(delegate), 1);
    EXPECT_EQ(gSeen.calls, 1);
    EXPECT_EQ(gSeen.name, "TestException");
    EXPECT_EQ(gSeen.reason, "it broke");
    EXPECT_EQ(gSeen.userInfo, (Json{{"key", 1}}));
    EXPECT_FALSE(gSeen.addresses.empty());
    EXPECT_TRUE(terminated);
    EXPECT_FALSE(afterThrow);  // queued blocks are dropped at termination
}

TEST_F(ApplicationTest, ExceptionInALaunchStepIsReportedAndTheLaunchGoesOnWhenContinuing) {
    gSeen = {};
    platform::setUncaughtExceptionHandler(&recordException);
    Application app(std::make_shared<ScriptedFrontend>());
    app.setUncaughtExceptionAction(UncaughtExceptionAction::Continue);
    bool becameActive = false;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [] { AppException::raise("LaunchException", "no"); };
    delegate.didBecomeActive = [&] {
        becameActive = true;
        app.terminate();
    };
    auto watchdog = armWatchdog(app);
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(gSeen.calls, 1);
    EXPECT_EQ(gSeen.name, "LaunchException");
    EXPECT_TRUE(becameActive);
}

void printException(const AppException& exception) {
    std::fprintf(stderr, "handler saw %s\n", exception.name().c_str());
}

TEST_F(ApplicationTest, UncaughtExceptionAbortsByDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            platform::setUncaughtExceptionHandler(&printException);
            Application app(std::make_shared<ScriptedFrontend>());
            LambdaDelegate delegate;
            delegate.didFinishLaunching = [] {
                platform::MainQueue::async([] { AppException::raise("Boom", "bad state"); });
            };
            app.run(delegate);
        },
        "Uncaught exception 'Boom', reason: 'bad state'(.|\n)*handler saw Boom");
}

__attribute__((noinline)) AppException makeExceptionHere(uintptr_t& returnAddress) {
    returnAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    AppException exception("Here", "made here");
    // Keeps the constructor call from becoming a tail call.
    asm volatile("" ::: "memory");
    return exception;
}

TEST(AppExceptionTest, CallStackStartsAtTheCodeThatMadeIt) {
    uintptr_t returnAddress = 0;
    const AppException exception = makeExceptionHere(returnAddress);
    const auto& addresses = exception.callStackReturnAddresses();
    ASSERT_GE(addresses.size(), 2u);
    // First the maker's frame, then the return into this test.
    EXPECT_EQ(addresses[1], returnAddress);
    EXPECT_STREQ(exception.what(), "Here: made here");
}

// ---- Choosing the frontend ----

TEST(FrontendChoiceTest, CommandLineOption) {
    auto kind = [](std::vector<const char*> args) {
        args.insert(args.begin(), "installer");
        return frontendKindFromArguments(static_cast<int>(args.size()), args.data());
    };
    EXPECT_EQ(kind({}), FrontendKind::Terminal);
    EXPECT_EQ(kind({"--frontend=gtk"}), FrontendKind::Gtk);
    EXPECT_EQ(kind({"--other", "--frontend", "scripted"}), FrontendKind::Scripted);
    EXPECT_EQ(kind({"--frontend=auto"}), FrontendKind::Auto);
    EXPECT_EQ(kind({"--frontend=qt"}), FrontendKind::Terminal);
    EXPECT_EQ(kind({"--frontend"}), FrontendKind::Terminal);
    EXPECT_EQ(kind({"--frontends=gtk"}), FrontendKind::Terminal);
    // The last one given wins, as with most programs.
    EXPECT_EQ(kind({"--frontend=gtk", "--frontend=scripted"}), FrontendKind::Scripted);
}

TEST(FrontendChoiceTest, AutoWithoutADisplayIsTheTerminal) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const std::string savedDisplay = display ? display : "";
    const std::string savedWayland = wayland ? wayland : "";
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "", 1);
    EXPECT_EQ(makeFrontend(FrontendKind::Auto)->name(), "terminal");
    EXPECT_EQ(makeFrontend(FrontendKind::Scripted)->name(), "scripted");
    if (display) ::setenv("DISPLAY", savedDisplay.c_str(), 1);
    if (wayland) {
        ::setenv("WAYLAND_DISPLAY", savedWayland.c_str(), 1);
    } else {
        ::unsetenv("WAYLAND_DISPLAY");
    }
}

}  // namespace
}  // namespace skald::app::test
