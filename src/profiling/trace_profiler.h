#pragma once

#include <memory>
#include <string>

#include "skald/date.h"
#include "skald/id.h"

namespace skald {
class EnvelopeItem;
class Hub;
class Transaction;
}  // namespace skald

namespace skald::profiling {

class Profiler;

/// The profiler shared by every sampled transaction that runs at once. It
/// stops when the last of them finishes or is dropped, or after 30 seconds.
class TraceProfiler {
  public:
    static constexpr double kTimeoutSeconds = 30;

    /// Starts (or joins) the shared profiler for the tracer `tracerId`.
    static bool startWithTracer(const Id& tracerId);
    static bool isCurrentlyProfiling();
    static void recordMetrics();
    static void scheduleTimeoutTimer();
    static void timeoutTimerExpired();

    /// Stops and drops the shared profiler (tests).
    static void reset();
    /// Profilers stop after this many seconds (tests); 0 restores 30.
    static void setTimeoutForTesting(double seconds);
};

/// Which tracers use which profiler.
void trackProfilerForTracer(const std::shared_ptr<Profiler>& profiler, const Id& tracerId);
void discardProfilerForTracer(const Id& tracerId);
/// The profiler the finished tracer used; its count goes down as for a discard.
std::shared_ptr<Profiler> profilerForFinishedTracer(const Id& tracerId);
/// Profilers still tracked (tests).
size_t trackedProfilerCount();

}  // namespace skald::profiling
