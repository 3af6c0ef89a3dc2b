#pragma once

#include "skald/app/application.h"

namespace skald::app {

/// An application whose uncaught application-layer exceptions also reach the
/// SDK: each is written as a crash report by the crash reporter's handler,
/// captured as an error event, and then ends the process with `abort`. Use
/// it in place of `Application` in a host that started the SDK.
class CrashExceptionApplication : public Application {
  public:
    using Application::Application;

    /// Turns crash-on-exceptions on, then reports as `Application` does
    /// (which calls the crash reporter's uncaught-exception handler).
    void reportException(const AppException& exception) override;
    /// Captures the exception with the SDK, then aborts.
    [[noreturn]] void crashOnException(const AppException& exception) override;
};

}  // namespace skald::app
