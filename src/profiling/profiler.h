#pragma once

#include <memory>
#include <mutex>

#include "profiling/metric_profiler.h"
#include "profiling/profiler_state.h"
#include "skald/id.h"

namespace skald::profiling {

class SamplingProfiler;

enum class TruncationReason { Normal = 0, Timeout = 1, Backgrounded = 2 };

/// "normal", "timeout" or "backgrounded".
const char* truncationReasonName(TruncationReason reason);

/// One profiling run: the sampler feeding a state, and the metric readings.
/// Only one runs at a time in the process.
class Profiler {
  public:
    /// Starts sampling and the metric profiler.
    explicit Profiler(ProfilerMode mode);
    ~Profiler();
    Profiler(const Profiler&) = delete;
    Profiler& operator=(const Profiler&) = delete;

    void start();
    void stopForReason(TruncationReason reason);
    bool isRunning() const;

    ProfilerMode mode() const { return mode_; }
    const Id& profilerId() const { return profilerId_; }
    void setProfilerId(const Id& id) { profilerId_ = id; }
    TruncationReason truncationReason() const;
    const std::shared_ptr<ProfilerState>& state() const { return state_; }
    MetricProfiler& metricProfiler() { return *metricProfiler_; }

    /// The sampler of the running profiler, if any (benchmarks and tests).
    static std::shared_ptr<SamplingProfiler> currentSampler();

  private:
    ProfilerMode mode_;
    Id profilerId_;
    std::shared_ptr<ProfilerState> state_;
    std::unique_ptr<MetricProfiler> metricProfiler_;
    mutable std::mutex mutex_;
    TruncationReason truncationReason_ = TruncationReason::Normal;
    std::shared_ptr<SamplingProfiler> sampler_;
};

/// The rate at which stacks are sampled.
inline constexpr double kSamplingFrequencyHz = 101;

}  // namespace skald::profiling
