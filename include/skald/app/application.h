#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string_view>

#include "skald/app/alert.h"
#include "skald/app/frontend.h"
#include "skald/app/window.h"
#include "skald/platform/app_exception.h"
#include "skald/platform/notification_center.h"

namespace skald::app {

using platform::AppException;
using platform::Notification;

/// The application's delegate. Each method runs on the main thread before
/// the notification of the same name reaches the other observers.
class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching(const Notification&) {}
    virtual void applicationDidBecomeActive(const Notification&) {}
    virtual void applicationWillResignActive(const Notification&) {}
    virtual void applicationDidEnterBackground(const Notification&) {}
    virtual void applicationWillEnterForeground(const Notification&) {}
    virtual void applicationWillTerminate(const Notification&) {}
};

/// How the application shows itself.
///
/// `--frontend=NAME` (or `--frontend NAME`) on the command line chooses:
/// - `terminal` (the default): a status line and a progress bar on the
///   terminal, alerts as numbered choices read from standard input;
/// - `gtk`: a GTK 3 window; without a usable display the terminal is used
///   instead, with a note on standard error;
/// - `auto`: GTK when DISPLAY or WAYLAND_DISPLAY is set (and GTK can open
///   it), the terminal otherwise;
/// - `scripted`: records what it would show and answers every alert with
///   its first button (for smoke runs; tests configure their own).
/// An unknown name falls back to the terminal with a note on standard error.
enum class FrontendKind { Terminal, Gtk, Auto, Scripted };

std::optional<FrontendKind> parseFrontendKind(std::string_view name);
/// The frontend chosen by the arguments (the program name included), or
/// `fallback` when none is given.
FrontendKind frontendKindFromArguments(int argc, const char* const* argv,
                                       FrontendKind fallback = FrontendKind::Terminal);
/// Makes the frontend of `kind`, resolving `Auto` and falling back to the
/// terminal when GTK cannot start.
std::shared_ptr<Frontend> makeFrontend(FrontendKind kind);

/// What happens after an uncaught `AppException` was reported.
enum class UncaughtExceptionAction {
    /// The process aborts (SIGABRT), as on the desktop platform: a crash
    /// reporter that hooked the handler has written its report, and the run
    /// must not look like a clean exit (no will-terminate notification).
    Abort,
    /// The application terminates in order and `run` returns 1.
    Terminate,
    /// The exception is only reported; the loop goes on.
    Continue,
};

/// The application: one per process, made and run on the main thread.
///
/// `run` shows the main window and runs the main loop of the frontend,
/// which is the main queue for as long as it runs. At launch, in this order:
/// the window's content controller loads (`viewDidLoad`), the window is
/// shown, the delegate's `applicationDidFinishLaunching` runs and then
/// the launch-finished notification reaches the other observers, and the
/// application becomes active (delegate, then notification). Later the
/// frontend may report the loss and return of the focus. An application
/// without the focus is in the background, so the loss is will resign
/// active followed by did enter background, and the return is will enter
/// foreground followed by did become active. The application starts in the
/// foreground: the first activation has no will-enter-foreground.
///
/// `terminate` resigns active and enters the background when active, runs
/// the delegate's `applicationWillTerminate`, posts the will-terminate
/// notification, closes the window and alerts, and makes `run` return; blocks
/// still queued for the main loop are dropped.
///
/// Every block the application runs on its loop (main-queue blocks, timers,
/// alert completions, the launch steps, notifications it posts) runs guarded:
/// an `AppException` that escapes is handed to `reportException` and then
/// handled by the uncaught-exception action (abort by default). Any other
/// exception that escapes ends the process through `std::terminate`, with
/// the exception still current for the terminate handler.
class Application : private FrontendHost {
  public:
    /// A frontend of `frontend` kind (see FrontendKind).
    explicit Application(FrontendKind frontend = FrontendKind::Terminal);
    explicit Application(std::shared_ptr<Frontend> frontend);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    /// The living application, or null.
    static Application* shared();

    Window& mainWindow() { return *mainWindow_; }
    Frontend& frontend() { return *frontend_; }
    ApplicationDelegate* delegate() const { return delegate_; }

    /// Main thread only, once. Runs until `terminate`; returns the exit code: 0,
    /// 1 after an uncaught exception with the Terminate action, 128 + the
    /// signal when the terminal was interrupted, -1 when called off the main
    /// thread or while already running.
    int run(ApplicationDelegate& delegate);
    /// From any thread (off the main thread it is queued on the main loop).
    /// Before `run` it makes `run` return at once without launching.
    void terminate();

    bool isRunning() const { return running_.load(); }
    bool isActive() const { return active_.load(); }
    bool isInBackground() const { return background_.load(); }
    bool isTerminating() const { return terminating_.load(); }

    /// Main-loop timers and delayed blocks; their blocks run guarded.
    std::shared_ptr<platform::Timer> scheduleTimer(Duration interval, bool repeats, Block block);
    void dispatchAfter(Duration delay, Block block);

    /// See Alert::runModal and Alert::beginSheetModalForWindow.
    ModalResponse runModal(AlertRequest request);
    void beginSheet(AlertRequest request, std::function<void(ModalResponse)> completion);

    /// Writes the exception to standard error and calls the uncaught
    /// exception handler, if one is set.
    virtual void reportException(const AppException& exception);
    /// With crash-on-exceptions set, an uncaught exception is reported and
    /// then handed here instead of to the uncaught-exception action. Ends the
    /// process with `abort`.
    [[noreturn]] virtual void crashOnException(const AppException& exception);
    void setCrashOnExceptions(bool crash) { crashOnExceptions_ = crash; }
    bool crashOnExceptions() const { return crashOnExceptions_.load(); }
    void setUncaughtExceptionAction(UncaughtExceptionAction action) { exceptionAction_ = action; }
    UncaughtExceptionAction uncaughtExceptionAction() const { return exceptionAction_.load(); }

    /// Runs `block` guarded as described above.
    void invoke(const Block& block);

  private:
    void frontendDidBecomeActive() override;
    void frontendWillResignActive() override;
    void frontendRequestsTermination(int exitCode) override;

    void launch();
    void becomeActive();
    void resignActive();
    void enterBackground();
    void enterForeground();
    void terminateWithExitCode(int exitCode);
    void handleUncaughtException(const AppException& exception);
    void post(Block block);
    /// Wraps a block so that it runs guarded, while the application lives.
    Block guarded(Block block);

    std::shared_ptr<Frontend> frontend_;
    std::unique_ptr<Window> mainWindow_;
    ApplicationDelegate* delegate_ = nullptr;
    std::atomic<bool> running_{false};
    std::atomic<bool> active_{false};
    std::atomic<bool> background_{false};
    std::atomic<bool> terminating_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int> exitCode_{0};
    std::atomic<UncaughtExceptionAction> exceptionAction_{UncaughtExceptionAction::Abort};
    std::atomic<bool> crashOnExceptions_{false};
    // Blocks queued on the loop check it before they run; cleared when the
    // application goes away.
    std::shared_ptr<std::atomic<bool>> alive_;
};

}  // namespace skald::app
