#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "integrations/diagnostics/call_stack_samples.h"
#include "integrations/diagnostics/resource_budgets.h"
#include "platform/system/process_usage.h"
#include "skald/platform/diagnostic_payload.h"

namespace skald {

class Options;

struct ResourceWatcherSettings {
    /// Share of one core (0.8 for 80 %); 0 watches no CPU.
    double cpuShare = 0;
    double cpuWindowSeconds = 60;
    /// Bytes per period; 0 watches no writes.
    uint64_t diskWriteBytes = 0;
    double diskWritePeriodSeconds = 24 * 60 * 60;
    double tickSeconds = 1;
    /// Threads whose stacks are sampled on each tick over budget.
    size_t busiestThreads = 3;

    static ResourceWatcherSettings fromOptions(const Options& options);
    bool watchesAnything() const { return cpuShare > 0 || diskWriteBytes > 0; }
};

/// Watches the process's own CPU time and bytes written, about once a
/// second, on the thread "skald-resources". When the CPU stays over budget
/// for a window it delivers a CPU-exception diagnostic whose tree comes from
/// stack samples of the busiest threads taken while over budget; when the
/// writes of a day pass their budget, a disk-write diagnostic with the stack
/// of the thread that wrote most. Payloads go to `deliver` (the process's
/// metric manager by default).
class ResourceWatcher : public std::enable_shared_from_this<ResourceWatcher> {
  public:
    using Deliver = std::function<void(const platform::DiagnosticPayload&)>;

    explicit ResourceWatcher(ResourceWatcherSettings settings, Deliver deliver = nullptr);
    ~ResourceWatcher();

    /// Starts the thread (it holds the watcher until it ends); once only.
    void start();
    /// Wakes the thread and lets it end; it delivers nothing afterwards.
    void stop();

  private:
    void run();
    void tick(platform::ProcessCpuReader& cpuReader);
    void sampleBusiestThreads(double now);
    void reportCpuException(const CpuBudgetWindow::Exceeded& exceeded);
    void reportDiskWrites(const DiskWriteBudget::Exceeded& exceeded);
    void deliverDiagnostic(const char* listKey, Json diagnostic, double periodSeconds);
    bool isStopped();

    const ResourceWatcherSettings settings_;
    Deliver deliver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool started_ = false;
    bool stopped_ = false;

    // Only the watcher's thread touches these.
    CpuBudgetWindow cpuWindow_;
    DiskWriteBudget diskBudget_;
    CallStackSamples samples_;
    std::map<pid_t, double> lastThreadCpu_;
    double lastThreadCpuTime_ = -1;
};

}  // namespace skald
