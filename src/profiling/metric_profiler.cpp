#include "profiling/metric_profiler.h"

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "platform/dispatch/serial_queue.h"
#include "profiling/clocks.h"
#include "skald/platform/timer.h"
#include "util/current_date_provider.h"
#include "util/log.h"

namespace skald::profiling {

namespace {

Json series(const char* unit, Json values) {
    return Json{{"unit", unit}, {"values", std::move(values)}};
}

Json traceValues(const std::vector<MetricReading>& readings, uint64_t start, uint64_t end) {
    Json values = Json::array();
    for (const MetricReading& reading : readings) {
        if (reading.absoluteSystemTimestamp < start || reading.absoluteSystemTimestamp > end) {
            continue;
        }
        values.push_back(
            {{"elapsed_since_start_ns", std::to_string(reading.absoluteSystemTimestamp - start)},
             {"value", reading.value}});
    }
    return values;
}

Json continuousValues(const std::vector<MetricReading>& readings) {
    Json values = Json::array();
    for (const MetricReading& reading : readings) {
        values.push_back({{"timestamp", reading.absoluteNSDateInterval}, {"value", reading.value}});
    }
    return values;
}

}  // namespace

MetricProfiler::MetricProfiler(ProfilerMode) {}

MetricProfiler::~MetricProfiler() {
    stop();
}

void MetricProfiler::start() {
    std::lock_guard guard(mutex_);
    if (timer_) return;
    if (!queue_) queue_ = std::make_shared<platform::SerialQueue>("skald-metric-profiler");
    // The timer holds the profiler weakly through a plain pointer guarded by
    // stop(), which invalidates it before the profiler goes.
    timer_ = queue_->scheduleTimer(std::chrono::milliseconds(kIntervalMillis), true,
                                   [this] { recordMetrics(); });
}

void MetricProfiler::stop() {
    std::shared_ptr<platform::Timer> timer;
    std::shared_ptr<platform::SerialQueue> queue;
    {
        std::lock_guard guard(mutex_);
        timer = std::move(timer_);
        queue = queue_;
    }
    if (timer) timer->invalidate();
    // A tick that already began finishes before the profiler may go.
    if (queue && !queue->isCurrent()) queue->sync([] {});
}

void MetricProfiler::recordMetrics() {
    // The SDK's clock for the window, the real one for the CPU share.
    const uint64_t now = DependencyContainer::sharedInstance()->dateProvider()->systemTime();
    const uint64_t real = monotonicNanos();
    const double wall = wallClockSeconds();
    std::optional<MetricReading> cpu;
    if (const auto seconds = cpuReader_.cpuSeconds()) {
        const auto micros = static_cast<uint64_t>(*seconds * 1e6);
        std::lock_guard guard(mutex_);
        if (previousCpu_ && real > previousCpu_->wallNanos && micros >= previousCpu_->cpuMicros) {
            const double busy = static_cast<double>(micros - previousCpu_->cpuMicros) * 1000.0;
            const double elapsed = static_cast<double>(real - previousCpu_->wallNanos);
            const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
            cpu = MetricReading{busy / elapsed / processors * 100.0, now, wall};
        }
        previousCpu_ = CpuSample{micros, real};
    } else {
        SKALD_LOG_ERROR("Failed to read CPU usages: %s", "/proc/self/stat could not be read");
    }
    std::optional<MetricReading> memory;
    auto crashWrapper = DependencyContainer::sharedInstance()->crashWrapper();
    if (const uint64_t bytes = crashWrapper ? crashWrapper->appMemorySize() : 0; bytes > 0) {
        memory = MetricReading{static_cast<double>(bytes), now, wall};
    } else {
        SKALD_LOG_ERROR("Failed to read memory footprint: %s",
                        "/proc/self/statm could not be read");
    }
    addReadings(cpu, memory);
}

void MetricProfiler::addReadings(std::optional<MetricReading> cpu,
                                 std::optional<MetricReading> memory) {
    std::lock_guard guard(mutex_);
    if (cpu) cpuUsage_.push_back(*cpu);
    if (memory) memoryFootprint_.push_back(*memory);
}

Json MetricProfiler::serializeTraceProfileMetricsBetween(uint64_t start, uint64_t end) const {
    std::lock_guard guard(mutex_);
    Json metrics = Json::object();
    auto cpu = traceValues(cpuUsage_, start, end);
    if (!cpu.empty()) metrics["cpu_usage"] = series("percent", std::move(cpu));
    auto memory = traceValues(memoryFootprint_, start, end);
    if (!memory.empty()) metrics["memory_footprint"] = series("byte", std::move(memory));
    auto energy = traceValues(energy_, start, end);
    if (!energy.empty()) metrics["cpu_energy_usage"] = series("nanojoule", std::move(energy));
    return metrics;
}

Json MetricProfiler::serializeContinuousProfileMetrics() const {
    std::lock_guard guard(mutex_);
    Json metrics = Json::object();
    if (!cpuUsage_.empty()) metrics["cpu_usage"] = series("percent", continuousValues(cpuUsage_));
    if (!memoryFootprint_.empty()) {
        metrics["memory_footprint"] = series("byte", continuousValues(memoryFootprint_));
    }
    if (!energy_.empty()) {
        metrics["cpu_energy_usage"] = series("nanojoule", continuousValues(energy_));
    }
    return metrics;
}

void MetricProfiler::clear() {
    std::lock_guard guard(mutex_);
    cpuUsage_.clear();
    memoryFootprint_.clear();
    energy_.clear();
}

}  // namespace skald::profiling
