#pragma once

#include <optional>

#include "skald/id.h"

namespace skald::profiling {

/// Profiling started and stopped by the host, sent in chunks every 10
/// seconds. Its profiler id stays the same for the life of the process.
class ContinuousProfiler {
  public:
    static constexpr double kChunkPeriodSeconds = 10;
    static constexpr const char* kStartedNotification =
        "io.skald.notification.continuous-profile-started";

    static void start();
    /// Asks for a stop: the next chunk is the last.
    static void stop();
    static bool isCurrentlyProfiling();
    /// The id while a profiler runs.
    static std::optional<Id> currentProfilerID();
    /// How many times a profiler started in this process; spans compare it to
    /// learn that one started while they ran.
    static uint64_t startCount();
    /// The process's profiler id once one has started, running or not.
    static std::optional<Id> processProfilerID();

    static void scheduleTimer();
    static void timerExpired();
    /// Stops at once, without a last chunk (SDK close).
    static void stopTimerAndCleanup();

    /// Chunks come this often (tests shorten it); 0 restores 10 seconds.
    static void setChunkPeriodForTesting(double seconds);
};

}  // namespace skald::profiling
