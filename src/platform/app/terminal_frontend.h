#pragma once

#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/app/asio_main_loop.h"
#include "skald/app/frontend.h"

namespace skald::app {

struct TerminalOptions {
    int inputFd = STDIN_FILENO;
    int outputFd = STDOUT_FILENO;
    /// Redraw the status line in place with ANSI sequences. Unset: when the
    /// output is a terminal and TERM is not "dumb".
    std::optional<bool> interactive;
    /// Ctrl-C, SIGTERM and SIGHUP terminate the application in order (a
    /// second one kills it the usual way).
    bool handleSignals = true;
    /// Columns when the output's size cannot be asked.
    int fallbackColumns = 80;
};

/// Shows the application on a terminal.
///
/// On an interactive terminal: the window's title once, then one status
/// line, redrawn in place, with the label and a progress bar with its
/// percentage; an indeterminate bar shows a block that moves to and fro
/// while it animates. The cursor is hidden while the line is drawn and given
/// back when the application ends (or aborts).
///
/// Otherwise (output to a file or a pipe, or TERM=dumb): plain lines without
/// control characters: the title, each new label text, and the progress as
/// "Progress: N%" whenever it reaches another tenth (in either direction).
///
/// Alerts are printed as their message, informative text and numbered
/// buttons, followed by a prompt on standard input:
/// - a number picks that button; so does a button's title (any case);
/// - an empty line (Return) picks the first button, the alert's default;
/// - anything else asks again;
/// - at the end of the input the alert is dismissed as Escape would: the
///   button titled "Cancel" when there is one, otherwise the first. Later
///   alerts are then dismissed the same way at once, so an installer run
///   without input cannot wait forever.
/// With several alerts open, the newest modal alert is asked first, then the
/// sheets in the order they opened. Input typed on a terminal before an alert
/// appears is discarded, so a stray Return cannot answer it unseen; input
/// from a pipe or a file is kept and answers the alerts in order.
class TerminalFrontend final : public Frontend {
  public:
    explicit TerminalFrontend(TerminalOptions options = {});
    ~TerminalFrontend() override;

    bool isInteractive() const { return interactive_; }

    std::string name() const override { return "terminal"; }
    MainLoop& loop() override { return loop_; }
    void start(FrontendHost& host) override;
    void showWindow(Window& window) override;
    void titleDidChange(Window& window) override;
    void labelDidChange(Window& window) override;
    void progressDidChange(Window& window, ProgressChange change) override;
    void presentAlert(const AlertRequest& request, AlertCompletion completion) override;
    void stop() override;
    void prepareForAbort() override;

  private:
    class InputReader;
    class SignalWatcher;
    struct Prompt {
        AlertRequest request;
        AlertCompletion completion;
    };

    void write(const std::string& text);
    std::string styled(const std::string& text, const char* code) const;

    // Interactive status line.
    int columns() const;
    std::string statusLine() const;
    void requestRedraw();
    void drawStatus();
    void clearStatus();
    void updateAnimation();

    // Plain lines.
    void printPlainLabel();
    void printPlainProgress();

    // Alerts.
    Prompt* activePrompt();
    void refreshPrompts();
    void printPrompt(const Prompt& prompt);
    void printPromptLine(const Prompt& prompt);
    /// Handles one line for the prompt; true when it answered it.
    bool handleLine(Prompt& prompt, const std::string& line);
    void answer(Prompt& prompt, ModalResponse response, const std::string& echo);
    void onInput(std::string chunk, bool endOfInput);

    TerminalOptions options_;
    bool interactive_ = false;
    bool color_ = false;
    bool inputIsTerminal_ = false;
    AsioMainLoop loop_;
    FrontendHost* host_ = nullptr;
    Window* window_ = nullptr;
    bool stopped_ = false;
    bool outputBroken_ = false;

    bool cursorHidden_ = false;
    bool statusVisible_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::shared_ptr<platform::Timer> redrawTimer_;
    std::shared_ptr<platform::Timer> animationTimer_;
    int animationFrame_ = 0;

    std::string lastPlainLabel_;
    int lastPlainTenth_ = -1;

    std::vector<std::unique_ptr<Prompt>> prompts_;
    const Prompt* displayed_ = nullptr;
    std::string inputBuffer_;
    bool endOfInput_ = false;
    bool readPending_ = false;
    std::unique_ptr<InputReader> reader_;
    std::unique_ptr<SignalWatcher> signals_;
};

}  // namespace skald::app
