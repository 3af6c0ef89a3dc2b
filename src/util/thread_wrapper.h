#pragma once

#include <string>

namespace skald {

/// How SDK threads sleep and announce themselves. Virtual so that tests can
/// make time pass without waiting.
class ThreadWrapper {
  public:
    virtual ~ThreadWrapper() = default;

    virtual void sleepForTimeInterval(double seconds);
    /// Bookkeeping hooks for tests; nothing by default.
    virtual void threadStarted(const std::string& /*threadId*/) {}
    virtual void threadFinished(const std::string& /*threadId*/) {}
};

}  // namespace skald
