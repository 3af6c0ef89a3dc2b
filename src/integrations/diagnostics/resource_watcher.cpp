#include "integrations/diagnostics/resource_watcher.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "integrations/diagnostics/thread_stack_sampler.h"
#include "platform/process/process_exit.h"
#include "skald/options.h"
#include "skald/platform/metric_manager.h"
#include "util/log.h"

namespace skald {

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Json measurement(double value, const char* unit) {
    return Json{{"value", std::round(value * 1000) / 1000}, {"unit", unit}};
}

}  // namespace

ResourceWatcherSettings ResourceWatcherSettings::fromOptions(const Options& options) {
    ResourceWatcherSettings settings;
    settings.cpuShare = options.cpuExceptionBudget > 0 && options.cpuExceptionWindow > 0
                            ? options.cpuExceptionBudget
                            : 0;
    settings.cpuWindowSeconds = options.cpuExceptionWindow;
    settings.diskWriteBytes = options.diskWriteBudgetPerDay;
    return settings;
}

ResourceWatcher::ResourceWatcher(ResourceWatcherSettings settings, Deliver deliver)
    : settings_(settings),
      deliver_(std::move(deliver)),
      cpuWindow_(settings.cpuShare, settings.cpuWindowSeconds),
      diskBudget_(settings.diskWriteBytes, settings.diskWritePeriodSeconds) {
    if (!deliver_) {
        deliver_ = [](const platform::DiagnosticPayload& payload) {
            platform::MetricManager::shared().deliverDiagnosticPayloads({payload});
        };
    }
}

ResourceWatcher::~ResourceWatcher() = default;

void ResourceWatcher::start() {
    std::lock_guard guard(mutex_);
    if (started_ || stopped_) return;
    auto self = weak_from_this().lock();
    if (!self) {
        SKALD_LOG_ERROR("The resource watcher must be shared to start.");
        return;
    }
    try {
        // Detached: it must not hold up the host's exit. It keeps the
        // watcher alive until it notices `stop`.
        std::thread([self = std::move(self)] { self->run(); }).detach();
        started_ = true;
    } catch (const std::system_error& error) {
        SKALD_LOG_ERROR("Could not start the resource watcher: %s", error.what());
    }
}

void ResourceWatcher::stop() {
    {
        std::lock_guard guard(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

bool ResourceWatcher::isStopped() {
    std::lock_guard guard(mutex_);
    return stopped_;
}

void ResourceWatcher::run() {
    ::pthread_setname_np(::pthread_self(), "skald-resources");
    const auto interval = std::chrono::duration<double>(settings_.tickSeconds);
    platform::ProcessCpuReader cpuReader;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, interval, [this] { return stopped_; });
            if (stopped_) return;
        }
        bool exiting = false;
        platform::ProcessExit::runOrPark([&] {
            try {
                tick(cpuReader);
            } catch (const std::exception& error) {
                SKALD_LOG_ERROR("The resource watcher failed: %s", error.what());
            }
            exiting = platform::ProcessExit::isExiting();
        });
        if (exiting) return;
    }
}

void ResourceWatcher::tick(platform::ProcessCpuReader& cpuReader) {
    const double now = monotonicSeconds();
    if (settings_.cpuShare > 0) {
        if (const auto cpu = cpuReader.cpuSeconds()) {
            const auto reading = cpuWindow_.add(now, *cpu);
            samples_.dropOlderThan(now - settings_.cpuWindowSeconds);
            if (reading.overBudget) sampleBusiestThreads(now);
            if (reading.exceeded) {
                reportCpuException(*reading.exceeded);
                samples_.clear();
            }
        }
    }
    if (settings_.diskWriteBytes > 0) {
        if (const auto written = platform::processWriteBytes()) {
            if (const auto exceeded = diskBudget_.add(now, *written)) reportDiskWrites(*exceeded);
        }
    }
}

void ResourceWatcher::sampleBusiestThreads(double now) {
    const auto usage = platform::threadCpuTimes();
    // Deltas against the previous tick when it was read then, else totals.
    const bool fresh =
        lastThreadCpuTime_ >= 0 && now - lastThreadCpuTime_ <= settings_.tickSeconds * 1.5;
    const pid_t self = ::gettid();
    std::vector<std::pair<double, pid_t>> busiest;
    std::vector<pid_t> all;
    std::map<pid_t, double> current;
    for (const auto& thread : usage) {
        all.push_back(thread.thread);
        current[thread.thread] = thread.cpuSeconds;
        if (thread.thread == self) continue;
        double used = thread.cpuSeconds;
        if (fresh) {
            const auto last = lastThreadCpu_.find(thread.thread);
            used -= last != lastThreadCpu_.end() ? last->second : 0;
        }
        if (used > 0) busiest.emplace_back(used, thread.thread);
    }
    lastThreadCpu_ = std::move(current);
    lastThreadCpuTime_ = now;

    std::sort(busiest.begin(), busiest.end(), std::greater<>());
    if (busiest.size() > settings_.busiestThreads) busiest.resize(settings_.busiestThreads);
    std::vector<pid_t> wanted;
    for (const auto& entry : busiest) wanted.push_back(entry.second);
    for (const auto& stack : sampleThreadStacks(wanted, all)) {
        samples_.add(
            mxFramesForAddresses(stack.addresses.data(), static_cast<int>(stack.addresses.size())),
            now);
    }
}

void ResourceWatcher::reportCpuException(const CpuBudgetWindow::Exceeded& exceeded) {
    SKALD_LOG_INFO("The process used %.1f s of CPU in %.1f s, over its budget of %.0f %%.",
                   exceeded.cpuSeconds, exceeded.sampledSeconds, settings_.cpuShare * 100);
    Json diagnostic = {{"callStackTree", samples_.hottestPathTree().serialize()},
                       {"totalCPUTime", measurement(exceeded.cpuSeconds, "sec")},
                       {"totalSampledTime", measurement(exceeded.sampledSeconds, "sec")}};
    deliverDiagnostic("cpuExceptionDiagnostics", std::move(diagnostic), exceeded.sampledSeconds);
}

void ResourceWatcher::reportDiskWrites(const DiskWriteBudget::Exceeded& exceeded) {
    SKALD_LOG_INFO("The process wrote %llu bytes in %.0f s, over its budget of %llu.",
                   static_cast<unsigned long long>(exceeded.bytesWritten), exceeded.elapsedSeconds,
                   static_cast<unsigned long long>(settings_.diskWriteBytes));
    // The thread that wrote most is likely still at it.
    pid_t writer = 0;
    uint64_t most = 0;
    for (const auto& thread : platform::threadCpuTimes()) {
        const auto bytes = platform::threadWriteBytes(thread.thread);
        if (bytes && *bytes > most && thread.thread != ::gettid()) {
            most = *bytes;
            writer = thread.thread;
        }
    }
    CallStackSamples sample;
    if (writer != 0) {
        std::vector<pid_t> all;
        for (const auto& thread : platform::threadCpuTimes()) all.push_back(thread.thread);
        for (const auto& stack : sampleThreadStacks({writer}, all)) {
            sample.add(mxFramesForAddresses(stack.addresses.data(),
                                            static_cast<int>(stack.addresses.size())),
                       0);
        }
    }
    Json diagnostic = {
        {"callStackTree", sample.hottestPathTree().serialize()},
        {"totalWritesCaused", measurement(static_cast<double>(exceeded.bytesWritten) / 1e6, "MB")}};
    deliverDiagnostic("diskWriteExceptionDiagnostics", std::move(diagnostic),
                      exceeded.elapsedSeconds);
}

void ResourceWatcher::deliverDiagnostic(const char* listKey, Json diagnostic,
                                        double periodSeconds) {
    if (isStopped()) return;
    const double end = timeIntervalSince1970(std::chrono::system_clock::now());
    Json payload = {{"timeStampBegin", end - periodSeconds},
                    {"timeStampEnd", end},
                    {listKey, Json::array({std::move(diagnostic)})}};
    // Through the JSON form, so that these payloads are read as any other.
    std::string error;
    const auto parsed = platform::DiagnosticPayload::fromJsonValue(payload, &error);
    if (!parsed) {
        SKALD_LOG_ERROR("The resource watcher made a payload that does not read back: %s",
                        error.c_str());
        return;
    }
    deliver_(*parsed);
}

}  // namespace skald
