#include "profiling/profiling_hooks_impl.h"

#include <mutex>

#include "core/profiling_hooks.h"
#include "core/tracing/transaction.h"
#include "profiling/continuous_profiler.h"
#include "profiling/launch_profile.h"
#include "profiling/profile_payload.h"
#include "profiling/profiler.h"
#include "profiling/thread_handle.h"
#include "profiling/trace_profiler.h"
#include "skald/sdk.h"

namespace skald::profiling {

namespace {

class Hooks final : public ProfilingHooks {
  public:
    bool isLaunchProfileRunning() override { return profiling::isLaunchProfileRunning(); }

    std::optional<std::string> continuousProfilerId() override {
        auto id = ContinuousProfiler::currentProfilerID();
        return id ? std::optional(id->skaldIdString()) : std::nullopt;
    }

    uint64_t continuousProfilerStartCount() override { return ContinuousProfiler::startCount(); }

    std::optional<std::string> startedContinuousProfilerId() override {
        auto id = ContinuousProfiler::processProfilerID();
        return id ? std::optional(id->skaldIdString()) : std::nullopt;
    }

    bool start(const Id& internalId) override { return TraceProfiler::startWithTracer(internalId); }

    void recordMetrics() override { TraceProfiler::recordMetrics(); }

    void discard(const Id& internalId) override { discardProfilerForTracer(internalId); }

    std::shared_ptr<EnvelopeItem> profileItem(const Id& internalId, const Transaction& transaction,
                                              Date startTimestamp) override {
        auto profiler = profilerForFinishedTracer(internalId);
        if (!profiler) return nullptr;
        return profileItemForTransaction(*profiler, transaction, startTimestamp, SDK::currentHub());
    }

    void startContinuousProfiler() override { ContinuousProfiler::start(); }
    void stopContinuousProfiler() override { ContinuousProfiler::stop(); }

    void closeContinuousProfiler() override {
        if (!ContinuousProfiler::isCurrentlyProfiling()) return;
        ContinuousProfiler::stop();
        ContinuousProfiler::timerExpired();
    }

    std::optional<Json> collectProfile(uint64_t startSystemTime, uint64_t endSystemTime,
                                       const Id& traceId) override {
        auto profiler = profilerForFinishedTracer(traceId);
        if (!profiler) return std::nullopt;
        const TraceProfileInput input =
            traceProfileInput(*profiler, startSystemTime, endSystemTime);
        auto payload = traceProfilePayload(input, SDK::currentHub());
        if (!payload) return std::nullopt;
        (*payload)["platform"] = "cocoa";
        (*payload)["transaction"] = {
            {"active_thread_id", static_cast<int64_t>(ThreadHandle::current())}};
        return payload;
    }
};

}  // namespace

void installProfilingHooks() {
    static std::mutex mutex;
    std::lock_guard guard(mutex);
    if (!std::dynamic_pointer_cast<Hooks>(ProfilingHooks::shared())) {
        ProfilingHooks::setShared(std::make_shared<Hooks>());
    }
}

}  // namespace skald::profiling
