#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "crash/async_safe/stack_sampling.h"
#include "profiling/backtrace.h"
#include "profiling/thread_handle.h"
#include "profiling/thread_metadata_cache.h"

namespace skald::profiling {

/// Samples the stacks of the process's threads at a fixed rate on a thread
/// of its own. A running thread is signalled and walks its own stack; an
/// idle one gives an empty backtrace; the SDK's own threads are left out.
class SamplingProfiler {
  public:
    using Callback = std::function<void(const Backtrace&)>;

    SamplingProfiler(Callback callback, double frequencyHz);
    ~SamplingProfiler();
    SamplingProfiler(const SamplingProfiler&) = delete;
    SamplingProfiler& operator=(const SamplingProfiler&) = delete;

    /// Starts the sampling thread unless it runs; `onStart` runs on it first.
    void startSampling(std::function<void()> onStart = {});
    void stopSampling();
    bool isSampling() const;
    /// Rounds since the last start.
    uint64_t numSamples() const { return sampleCount_.load(); }

    /// The longest time one sampled thread spent walking its own stack,
    /// since construction, in nanoseconds.
    uint64_t longestPauseNanos() const { return longestPause_.load(); }
    /// The duration of the last round, in nanoseconds of the sampler's time.
    uint64_t lastRoundNanos() const { return lastRound_.load(); }

    /// One round, on the caller's thread (tests and the sampling thread).
    void sampleOnce();

    /// The name of the sampling thread.
    static constexpr const char* kThreadName = "skald-profiler";

  private:
    struct TrackedThread {
        explicit TrackedThread(pid_t thread) : handle(thread) {}
        ThreadHandle handle;
        crash::SampleRequest request{};
        /// Rounds to leave it out after it was given up on.
        uint64_t skipUntil = 0;
        uint64_t backoff = 1;
        std::optional<ThreadHandle::SchedStat> lastSched;
    };

    void run(std::function<void()> onStart);
    void resolveStackBounds(TrackedThread& thread, uintptr_t stackPointer);
    /// Whether the thread runs (or waits for a CPU) now; nothing when it
    /// has ended.
    std::optional<bool> isRunning(TrackedThread& thread);

    Callback callback_;
    std::chrono::nanoseconds delay_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool sampling_ = false;
    bool stopRequested_ = false;
    std::thread thread_;

    std::atomic<uint64_t> sampleCount_{0};
    std::atomic<uint64_t> longestPause_{0};
    std::atomic<uint64_t> lastRound_{0};

    // Owned by whoever runs the rounds (one at a time).
    std::mutex roundMutex_;
    uint64_t round_ = 0;
    ThreadMetadataCache metadataCache_;
    std::vector<pid_t> listed_;
    std::unordered_map<pid_t, TrackedThread> threads_;
    std::vector<crash::SampleRequest> requests_;
    std::vector<ThreadMetadata> requestMetadata_;
    std::vector<crash::ThreadStackSample> results_;
};

}  // namespace skald::profiling
