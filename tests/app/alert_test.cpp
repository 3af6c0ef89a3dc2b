#include "skald/app/alert.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app_test_util.h"
#include "platform/app/scripted_frontend.h"
#include "support/eventually.h"

namespace skald::app::test {
namespace {

Alert crashAlert() {
    Alert alert;
    alert.setAlertStyle(AlertStyle::Critical);
    alert.setMessageText("The installer quit unexpectedly.");
    alert.setInformativeText("Try again, or download it yourself.");
    alert.addButtonWithTitle("Try again");
    alert.addButtonWithTitle("Download in Safari");
    return alert;
}

class AlertTest : public AppTest {
  protected:
    std::shared_ptr<ScriptedFrontend> frontend = std::make_shared<ScriptedFrontend>();
    Application app{frontend};
    LambdaDelegate delegate;
    std::shared_ptr<platform::Timer> watchdog = armWatchdog(app);
};

TEST_F(AlertTest, ModalAlertReturnsTheScriptedButtonAndIsRecorded) {
    frontend->enqueueResponse(kAlertSecondButtonReturn);
    frontend->enqueueResponse(kAlertThirdButtonReturn);
    std::vector<ModalResponse> responses;
    delegate.didFinishLaunching = [&] {
        responses.push_back(crashAlert().runModal());
        Alert three;
        three.addButtonWithTitle("A");
        three.addButtonWithTitle("B");
        three.addButtonWithTitle("C");
        responses.push_back(three.runModal());
        // Nothing scripted: the first button, the alert's default. Without
        // buttons an alert gets "OK".
        responses.push_back(Alert().runModal());
        app.terminate();
    };
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(responses, (std::vector<ModalResponse>{1001, 1002, 1000}));

    const auto alerts = frontend->alerts();
    ASSERT_EQ(alerts.size(), 3u);
    EXPECT_EQ(alerts[0].request.style, AlertStyle::Critical);
    EXPECT_EQ(alerts[0].request.messageText, "The installer quit unexpectedly.");
    EXPECT_EQ(alerts[0].request.informativeText, "Try again, or download it yourself.");
    EXPECT_EQ(alerts[0].request.buttons,
              (std::vector<std::string>{"Try again", "Download in Safari"}));
    EXPECT_FALSE(alerts[0].request.sheet);
    EXPECT_EQ(alerts[0].response, 1001);
    EXPECT_EQ(alerts[2].request.buttons, (std::vector<std::string>{"OK"}));
    EXPECT_EQ(alerts[2].request.style, AlertStyle::Warning);
    EXPECT_EQ(alerts[2].response, 1000);
}

TEST_F(AlertTest, ModalAlertKeepsTheMainLoopRunning) {
    frontend->setAnswersUnscriptedAlerts(false);
    std::atomic<bool> backgroundBlockRan{false};
    bool timerRan = false;
    ModalResponse response = 0;
    std::thread poster;
    std::thread responder;
    delegate.didFinishLaunching = [&] {
        poster = std::thread([&] {
            platform::MainQueue::async(
                [&] { backgroundBlockRan = platform::MainQueue::isMainThread(); });
        });
        app.dispatchAfter(30ms, [&] {
            timerRan = true;
            // Answered only once the other thread's block has had its turn.
            responder = std::thread([&] {
                EXPECT_TRUE(skald::test::eventually([&] { return backgroundBlockRan.load(); }));
                EXPECT_TRUE(frontend->respond(kAlertSecondButtonReturn));
            });
        });
        response = crashAlert().runModal();
        EXPECT_TRUE(timerRan);
        app.terminate();
    };
    EXPECT_EQ(app.run(delegate), 0);
    poster.join();
    responder.join();
    EXPECT_EQ(response, kAlertSecondButtonReturn);
    EXPECT_TRUE(backgroundBlockRan.load());
}

TEST_F(AlertTest, TerminatingDuringAModalAlertEndsItWithAbort) {
    frontend->setAnswersUnscriptedAlerts(false);
    ModalResponse response = 0;
    bool continuedAfterAlert = false;
    delegate.didFinishLaunching = [&] {
        app.dispatchAfter(20ms, [&] { app.terminate(); });
        response = crashAlert().runModal();
        continuedAfterAlert = true;
    };
    EXPECT_EQ(app.run(delegate), 0);
    EXPECT_EQ(response, kModalResponseAbort);
    EXPECT_TRUE(continuedAfterAlert);
    EXPECT_EQ(frontend->openAlertCount(), 0u);
}

TEST_F(AlertTest, ModalAlertNeedsTheRunningApplicationOnTheMainThread) {
    EXPECT_EQ(crashAlert().runModal(), kModalResponseAbort);  // not running yet
    ModalResponse offMain = 0;
    delegate.didFinishLaunching = [&] {
        std::thread([&] { offMain = crashAlert().runModal(); }).join();
        app.terminate();
    };
    app.run(delegate);
    EXPECT_EQ(offMain, kModalResponseAbort);
    EXPECT_TRUE(frontend->alerts().empty());
}

TEST_F(AlertTest, SheetReturnsAtOnceAndCompletesLaterOnTheMainThread) {
    frontend->enqueueResponse(kAlertSecondButtonReturn);
    frontend->setResponseDelay(40ms);
    std::vector<std::string> log;
    delegate.didFinishLaunching = [&] {
        Alert alert = crashAlert();
        alert.beginSheetModalForWindow(app.mainWindow(), [&](ModalResponse response) {
            EXPECT_TRUE(platform::MainQueue::isMainThread());
            log.push_back("completed " + std::to_string(response));
            app.terminate();
        });
        log.push_back("returned");
        EXPECT_EQ(frontend->openAlertCount(), 1u);
    };
    app.run(delegate);
    EXPECT_EQ(log, (std::vector<std::string>{"returned", "completed 1001"}));
    ASSERT_EQ(frontend->alerts().size(), 1u);
    EXPECT_TRUE(frontend->alerts()[0].request.sheet);
}

TEST_F(AlertTest, SheetsAreAnsweredOldestFirstAndMayBeginOffTheMainThread) {
    frontend->setAnswersUnscriptedAlerts(false);
    std::vector<std::string> log;
    std::thread responder;
    delegate.didFinishLaunching = [&] {
        Alert first;
        first.setMessageText("first");
        first.beginSheetModalForWindow(app.mainWindow(), [&](ModalResponse r) {
            log.push_back("first " + std::to_string(r));
        });
        std::thread([&] {
            Alert second;
            second.setMessageText("second");
            second.beginSheetModalForWindow(app.mainWindow(), [&](ModalResponse r) {
                EXPECT_TRUE(platform::MainQueue::isMainThread());
                log.push_back("second " + std::to_string(r));
                app.terminate();
            });
        }).join();
        responder = std::thread([&] {
            ASSERT_TRUE(skald::test::eventually([&] { return frontend->openAlertCount() == 2; }));
            frontend->respond(1000);
            ASSERT_TRUE(skald::test::eventually([&] { return frontend->openAlertCount() == 1; }));
            frontend->respond(1000);
        });
    };
    app.run(delegate);
    responder.join();
    EXPECT_EQ(log, (std::vector<std::string>{"first 1000", "second 1000"}));
}

TEST_F(AlertTest, OpenSheetIsDroppedWhenTheApplicationTerminates) {
    frontend->setAnswersUnscriptedAlerts(false);
    bool completed = false;
    delegate.didFinishLaunching = [&] {
        crashAlert().beginSheetModalForWindow(app.mainWindow(),
                                              [&](ModalResponse) { completed = true; });
        app.dispatchAfter(20ms, [&] { app.terminate(); });
    };
    app.run(delegate);
    EXPECT_FALSE(completed);
    EXPECT_FALSE(frontend->respond(1000));  // nothing is open any more
}

TEST(AlertRequestTest, DismissingAnswersCancelOrTheDefaultButton) {
    AlertRequest request;
    request.buttons = {"Try again", "cancel"};
    EXPECT_EQ(request.dismissResponse(), kAlertSecondButtonReturn);
    request.buttons = {"Try again", "Download in Safari"};
    EXPECT_EQ(request.dismissResponse(), kAlertFirstButtonReturn);
}

}  // namespace
}  // namespace skald::app::test
