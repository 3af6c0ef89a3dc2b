#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "skald/date.h"
#include "skald/id.h"
#include "skald/json.h"

namespace skald {

class EnvelopeItem;
class Hub;
class Transaction;

/// What the core needs of profiling, which sits in a layer above it. Until a
/// profiler is installed nothing runs: no launch profile, no continuous
/// profiler, and starting one fails.
class ProfilingHooks {
  public:
    virtual ~ProfilingHooks() = default;

    // --- Tracers ---
    virtual bool isLaunchProfileRunning() { return false; }
    virtual std::optional<std::string> continuousProfilerId() { return std::nullopt; }
    /// How many continuous profilers started in this process so far.
    virtual uint64_t continuousProfilerStartCount() { return 0; }
    /// The process's continuous profiler id once one has started.
    virtual std::optional<std::string> startedContinuousProfilerId() { return std::nullopt; }
    /// Starts the profiler kept for `internalId`; whether it runs.
    virtual bool start(const Id& /*internalId*/) { return false; }
    virtual void recordMetrics() {}
    virtual void discard(const Id& /*internalId*/) {}
    /// The profile item for the finished transaction of the tracer
    /// `internalId`, or null.
    virtual std::shared_ptr<EnvelopeItem> profileItem(const Id& /*internalId*/,
                                                      const Transaction& /*transaction*/,
                                                      Date /*startTimestamp*/) {
        return nullptr;
    }

    // --- The SDK's entry ---
    virtual void startContinuousProfiler() {}
    virtual void stopContinuousProfiler() {}
    /// Sends what the continuous profiler holds and stops it (close).
    virtual void closeContinuousProfiler() {}
    /// The trace profile payload of the profiler kept for `traceId` within
    /// the window, or nothing.
    virtual std::optional<Json> collectProfile(uint64_t /*startSystemTime*/,
                                               uint64_t /*endSystemTime*/, const Id& /*traceId*/) {
        return std::nullopt;
    }

    /// The hooks in use; never null.
    static std::shared_ptr<ProfilingHooks> shared();
    /// Null restores the hooks that do nothing.
    static void setShared(std::shared_ptr<ProfilingHooks> hooks);
};

}  // namespace skald
