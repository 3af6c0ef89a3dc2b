#pragma once

#include <memory>
#include <optional>
#include <string>

#include "skald/date.h"
#include "skald/id.h"

namespace skald {

class EnvelopeItem;
class Transaction;

/// What a tracer needs of profiling. Without a profiler nothing runs: no
/// launch profile, no continuous profiler, and starting one fails.
class TraceProfilerHooks {
  public:
    virtual ~TraceProfilerHooks() = default;

    virtual bool isLaunchProfileRunning() { return false; }
    virtual std::optional<std::string> continuousProfilerId() { return std::nullopt; }
    /// Starts the profiler kept for `internalId`; whether it runs.
    virtual bool start(const Id& /*internalId*/) { return false; }
    virtual void recordMetrics() {}
    virtual void discard(const Id& /*internalId*/) {}
    /// The profile item for a finished transaction, or null.
    virtual std::shared_ptr<EnvelopeItem> profileItem(const Transaction& /*transaction*/,
                                                      Date /*startTimestamp*/) {
        return nullptr;
    }

    /// The hooks in use; never null.
    static std::shared_ptr<TraceProfilerHooks> shared();
    /// Null restores the hooks that do nothing.
    static void setShared(std::shared_ptr<TraceProfilerHooks> hooks);
};

}  // namespace skald
