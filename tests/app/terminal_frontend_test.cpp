#include "platform/app/terminal_frontend.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app_test_util.h"

namespace skald::app::test {
namespace {

// Runs an application on a terminal frontend whose output goes into a pipe
// and whose input comes from another.
class TerminalFrontendTest : public AppTest {
  protected:
    Pipe output;
    Pipe input;
    std::unique_ptr<PipeCollector> collector = std::make_unique<PipeCollector>(output.read);

    std::shared_ptr<TerminalFrontend> makeFrontend(std::optional<bool> interactive = {}) {
        TerminalOptions options;
        options.inputFd = input.read;
        options.outputFd = output.write;
        options.interactive = interactive;
        options.handleSignals = false;
        options.fallbackColumns = 40;
        return std::make_shared<TerminalFrontend>(options);
    }

    // Runs until terminated; gives everything written.
    std::string run(Application& app, ApplicationDelegate& delegate) {
        auto watchdog = armWatchdog(app);
        EXPECT_EQ(app.run(delegate), 0);
        output.closeWrite();
        return collector->finish();
    }

    static bool hasControlCharacters(const std::string& text) {
        return std::any_of(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f;
        });
    }
};

TEST_F(TerminalFrontendTest, PlainOutputPrintsLabelsAndEveryTenthOfProgress) {
    auto frontend = makeFrontend();
    ASSERT_FALSE(frontend->isInteractive());  // a pipe is no terminal
    Application app(frontend);
    Window& window = app.mainWindow();
    window.setTitle("Installer");
    window.label().setText("Downloading\tnow");
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        for (int i = 1; i <= 200; ++i) {
            platform::MainQueue::async(
                [&, i] { window.progressIndicator().setDoubleValue(i * 0.5); });
        }
        platform::MainQueue::async([&] {
            window.label().setText("Installing...");
            window.label().setText("Installing...");  // unchanged: printed once
            window.progressIndicator().setIndeterminate(true);
            window.progressIndicator().startAnimation();
            app.dispatchAfter(150ms, [&] { app.terminate(); });
        });
    };
    const std::string text = run(app, delegate);

    std::string expected = "Installer\nDownloading now\n";
    for (int tenth = 1; tenth <= 10; ++tenth) {
        expected += "Progress: " + std::to_string(tenth * 10) + "%\n";
    }
    expected += "Installing...\n";
    EXPECT_EQ(text, expected);
    EXPECT_FALSE(hasControlCharacters(text));
}

TEST_F(TerminalFrontendTest, PlainProgressShowsARestartAndDeterminateValuesAfterIndeterminate) {
    Application app(makeFrontend());
    auto& bar = app.mainWindow().progressIndicator();
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        bar.setDoubleValue(35);
        bar.setDoubleValue(0);  // the download started again
        bar.setDoubleValue(120);
        bar.setIndeterminate(true);
        bar.setIndeterminate(false);
        bar.setDoubleValue(100);
        app.terminate();
    };
    EXPECT_EQ(run(app, delegate), "Progress: 30%\nProgress: 0%\nProgress: 100%\nProgress: 100%\n");
}

Alert twoButtons(const std::string& message, const std::string& second) {
    Alert alert;
    alert.setAlertStyle(AlertStyle::Critical);
    alert.setMessageText(message);
    alert.setInformativeText("First line.\nSecond line.");
    alert.addButtonWithTitle("Try again");
    alert.addButtonWithTitle(second);
    return alert;
}

TEST_F(TerminalFrontendTest, AlertIsAnsweredByNumberFromTheInput) {
    input.put("2\n");
    Application app(makeFrontend());
    ModalResponse response = 0;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        response = twoButtons("Vantorel is already running", "Cancel").runModal();
        app.terminate();
    };
    const std::string text = run(app, delegate);
    EXPECT_EQ(response, kAlertSecondButtonReturn);
    EXPECT_EQ(text,
              "\n(!) Vantorel is already running\n"
              "First line.\nSecond line.\n"
              "  1) Try again\n  2) Cancel\n"
              "Choose 1-2 [1]: 2\n");
}

TEST_F(TerminalFrontendTest, InvalidAnswersAskAgainAndTitlesAndReturnAlsoAnswer) {
    input.put("x\n9\n  CANCEL \n\n");
    Application app(makeFrontend());
    std::vector<ModalResponse> responses;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        responses.push_back(twoButtons("First", "Cancel").runModal());
        responses.push_back(twoButtons("Second", "Cancel").runModal());  // Return: default
        app.terminate();
    };
    const std::string text = run(app, delegate);
    EXPECT_EQ(responses, (std::vector<ModalResponse>{1001, 1000}));
    const std::string retry = "Please answer with a number from 1 to 2.\nChoose 1-2 [1]: ";
    EXPECT_NE(text.find("Choose 1-2 [1]: x\n" + retry + "9\n" + retry + "CANCEL\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Choose 1-2 [1]: Try again\n"), std::string::npos) << text;
}

TEST_F(TerminalFrontendTest, EndOfInputDismissesWithCancelOrTheDefaultButton) {
    input.closeWrite();
    Application app(makeFrontend());
    std::vector<ModalResponse> responses;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        responses.push_back(twoButtons("Running", "Cancel").runModal());
        responses.push_back(twoButtons("Crashed", "Download in Safari").runModal());
        app.terminate();
    };
    const std::string text = run(app, delegate);
    EXPECT_EQ(responses, (std::vector<ModalResponse>{1001, 1000}));
    EXPECT_NE(text.find("[1]: (end of input) Cancel\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[1]: (end of input) Try again\n"), std::string::npos) << text;
}

TEST_F(TerminalFrontendTest, ModalOpenedOverAShownSheetIsAskedFirstThenTheSheetAgain) {
    Application app(makeFrontend());
    std::vector<std::string> log;
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        twoButtons("Sheet", "Cancel")
            .beginSheetModalForWindow(app.mainWindow(), [&](ModalResponse r) {
                log.push_back("sheet " + std::to_string(r));
                app.terminate();
            });
        app.dispatchAfter(30ms, [&] {
            app.dispatchAfter(30ms, [&] { input.put("2\n"); });
            log.push_back("modal " + std::to_string(twoButtons("Modal", "Cancel").runModal()));
            input.put("1\n");
        });
    };
    const std::string text = run(app, delegate);
    EXPECT_EQ(log, (std::vector<std::string>{"modal 1001", "sheet 1000"}));
    const auto sheet = text.find("(!) Sheet");
    const auto modal = text.find("(!) Modal");
    const auto sheetAgain = text.find("(!) Sheet", modal);
    EXPECT_TRUE(sheet < modal && modal < sheetAgain && sheetAgain != std::string::npos) << text;
}

TEST_F(TerminalFrontendTest, InteractiveStatusLineIsRedrawnInPlaceAndFitsTheWidth) {
    Application app(makeFrontend(true));
    Window& window = app.mainWindow();
    window.label().setText("A label far too long to fit beside the bar in forty columns");
    LambdaDelegate delegate;
    delegate.didFinishLaunching = [&] {
        app.dispatchAfter(60ms, [&] { window.progressIndicator().setDoubleValue(45); });
        app.dispatchAfter(120ms, [&] {
            window.progressIndicator().setIndeterminate(true);
            window.progressIndicator().startAnimation();
        });
        app.dispatchAfter(600ms, [&] { app.terminate(); });
    };
    const std::string text = run(app, delegate);

    EXPECT_EQ(text.rfind("\x1b[?25l", 0), 0u) << "the cursor is hidden first";
    EXPECT_NE(text.find(" 45%"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 7), "\n\x1b[?25h") << "and given back at the end";

    // Each drawing starts with a carriage return and clears the rest of the line.
    std::vector<std::string> frames;
    size_t at = 0;
    while ((at = text.find('\r', at)) != std::string::npos) {
        const size_t end = text.find("\x1b[K", at);
        ASSERT_NE(end, std::string::npos);
        frames.push_back(text.substr(at + 1, end - at - 1));
        at = end;
    }
    ASSERT_GE(frames.size(), 4u);
    for (const auto& frame : frames) {
        EXPECT_LE(frame.size(), 39u) << frame;
        EXPECT_NE(frame.find("..."), std::string::npos) << frame;
    }
    // The indeterminate bar moves while it animates.
    std::vector<std::string> moving;
    for (const auto& frame : frames) {
        if (frame.find("====") != std::string::npos) moving.push_back(frame);
    }
    std::sort(moving.begin(), moving.end());
    EXPECT_GE(std::unique(moving.begin(), moving.end()) - moving.begin(), 2);
}

}  // namespace
}  // namespace skald::app::test
