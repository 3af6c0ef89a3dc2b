#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/system/process_usage.h"
#include "skald/json.h"

namespace skald::platform {
class SerialQueue;
class Timer;
}  // namespace skald::platform

namespace skald::profiling {

enum class ProfilerMode { Trace = 0, Continuous = 1 };

struct MetricReading {
    double value = 0;
    /// Nanoseconds of the monotonic clock.
    uint64_t absoluteSystemTimestamp = 0;
    /// Wall-clock seconds since 1970.
    double absoluteNSDateInterval = 0;
};

/// Process CPU usage and memory footprint (resident and swapped) every 100 ms while a profiler
/// runs. Energy has no source on Linux without privileges: that series stays empty and is left out
/// of the payloads.
class MetricProfiler {
  public:
    static constexpr int kIntervalMillis = 100;

    explicit MetricProfiler(ProfilerMode mode);
    ~MetricProfiler();
    MetricProfiler(const MetricProfiler&) = delete;
    MetricProfiler& operator=(const MetricProfiler&) = delete;

    void start();
    void stop();
    /// One reading of each series now.
    void recordMetrics();
    /// Readings with start ≤ timestamp ≤ end, as elapsed times from start.
    Json serializeTraceProfileMetricsBetween(uint64_t start, uint64_t end) const;
    /// Every reading, with wall-clock timestamps.
    Json serializeContinuousProfileMetrics() const;
    void clear();

    /// For tests: readings as if they were recorded.
    void addReadings(std::optional<MetricReading> cpu, std::optional<MetricReading> memory);

  private:
    struct CpuSample {
        uint64_t cpuMicros;
        uint64_t wallNanos;
    };

    mutable std::mutex mutex_;
    std::vector<MetricReading> cpuUsage_;
    std::vector<MetricReading> memoryFootprint_;
    std::vector<MetricReading> energy_;
    std::optional<CpuSample> previousCpu_;
    platform::ProcessCpuReader cpuReader_;
    std::shared_ptr<platform::SerialQueue> queue_;
    std::shared_ptr<platform::Timer> timer_;
};

}  // namespace skald::profiling
