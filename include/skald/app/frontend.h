#pragma once

#include <functional>
#include <string>

#include "skald/app/alert.h"
#include "skald/app/main_loop.h"
#include "skald/app/window.h"

namespace skald::app {

/// What a frontend reports back to the application.
class FrontendHost {
  public:
    virtual ~FrontendHost() = default;
    /// The user gave the application's windows the focus, or took it away.
    virtual void frontendDidBecomeActive() = 0;
    virtual void frontendWillResignActive() = 0;
    /// The user asked to quit: closed the window or interrupted the terminal.
    virtual void frontendRequestsTermination(int exitCode) = 0;
};

/// How the application is shown: a terminal, a GTK window, or a script for
/// tests. The application calls every method on the main thread; the
/// frontend owns the main loop the application runs on.
class Frontend {
  public:
    using AlertCompletion = std::function<void(ModalResponse)>;

    virtual ~Frontend() = default;

    virtual std::string name() const = 0;
    virtual MainLoop& loop() = 0;

    /// Once, when the application starts running, before anything is shown.
    virtual void start(FrontendHost& host) = 0;
    /// Shows the window with its current contents.
    virtual void showWindow(Window& window) = 0;
    virtual void titleDidChange(Window& window) = 0;
    virtual void labelDidChange(Window& window) = 0;
    virtual void progressDidChange(Window& window, ProgressChange change) = 0;

    /// Shows an alert and returns at once. `completion` is called once, on
    /// the main thread, with 1000 + the index of the chosen button (or the
    /// request's dismiss response); never from inside this call, and not at
    /// all when the frontend stops first.
    virtual void presentAlert(const AlertRequest& request, AlertCompletion completion) = 0;

    /// The application terminates: close alerts and the window, give the
    /// terminal back. Nothing is shown afterwards.
    virtual void stop() = 0;
    /// The process is about to abort: put back what must not stay broken
    /// (the terminal's cursor). Must not block.
    virtual void prepareForAbort() {}
};

}  // namespace skald::app
