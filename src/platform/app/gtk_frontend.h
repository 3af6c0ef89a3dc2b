#pragma once

#include <memory>
#include <string>

#include "skald/app/frontend.h"

namespace skald::app {

/// Shows the application in a GTK 3 window: the title, the status label and
/// a progress bar (pulsing while indeterminate and animating). Alerts are
/// GtkMessageDialogs on top of the window, modal; a dialog closed without a
/// button (Escape, its close button) answers as Cancel would (see
/// AlertRequest::dismissResponse). Closing the window terminates the
/// application. The application is active while one of its windows has the
/// focus; focus moving between the window and its dialogs is not reported.
///
/// The GLib main context is the main loop: blocks are idle sources of the
/// default context, timers are its timeouts, and a modal alert iterates the
/// context nested.
///
/// GTK is initialised without changing the process's locale (number
/// formatting of the rest of the program stays as it is).
class GtkFrontend final : public Frontend {
  public:
    /// Null when GTK cannot open a display.
    static std::shared_ptr<GtkFrontend> create();
    ~GtkFrontend() override;

    std::string name() const override { return "gtk"; }
    MainLoop& loop() override;
    void start(FrontendHost& host) override;
    void showWindow(Window& window) override;
    void titleDidChange(Window& window) override;
    void labelDidChange(Window& window) override;
    void progressDidChange(Window& window, ProgressChange change) override;
    void presentAlert(const AlertRequest& request, AlertCompletion completion) override;
    void stop() override;

    struct Impl;

  private:
    GtkFrontend();
    std::unique_ptr<Impl> impl_;
};

}  // namespace skald::app
