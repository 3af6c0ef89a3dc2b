#pragma once

#include <string>

#include "skald/app/application.h"

namespace vantorel {

/// Starts the SDK when the application has finished launching, before the
/// controller asks whether the last run crashed.
class AppDelegate : public skald::app::ApplicationDelegate {
  public:
    explicit AppDelegate(std::string dsn) : dsn_(std::move(dsn)) {}
    void applicationDidFinishLaunching(const skald::platform::Notification&) override;
    void applicationWillTerminate(const skald::platform::Notification&) override {}

  private:
    std::string dsn_;
};

}  // namespace vantorel
