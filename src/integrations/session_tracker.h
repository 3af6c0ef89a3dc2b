#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "skald/date.h"

namespace skald {

class Options;
namespace platform {
class NotificationCenter;
}  // namespace platform

/// Starts and ends release-health sessions from the application's
/// activation notifications: a new session when the application becomes
/// active after being away for the session interval or longer, the same one
/// when it comes back sooner, and the end of the session when it terminates.
/// The time it left the foreground is stored, so that the next run can close
/// a session that a killed process left open.
class SessionTracker {
  public:
    /// The name hybrid SDKs post alongside the system's did-become-active.
    static constexpr const char* kHybridSdkDidBecomeActive = "SkaldHybridSdkDidBecomeActive";

    SessionTracker(uint64_t sessionIntervalMillis, platform::NotificationCenter& center);
    ~SessionTracker();
    SessionTracker(const SessionTracker&) = delete;
    SessionTracker& operator=(const SessionTracker&) = delete;

    /// Closes the session of the previous run left on disk, then follows
    /// the notifications.
    void start();
    void stop();

    void didBecomeActive();
    void willResignActive();
    void willTerminate();

  private:
    uint64_t sessionIntervalMillis_;
    platform::NotificationCenter& center_;
    std::mutex mutex_;
    std::optional<Date> lastInForeground_;
    bool wasDidBecomeActiveCalled_ = false;
};

}  // namespace skald
