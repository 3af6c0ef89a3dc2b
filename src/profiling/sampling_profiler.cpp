#include "profiling/sampling_profiler.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <utility>

#include "profiling/clocks.h"
#include "util/log.h"

namespace skald::profiling {

namespace {

/// A thread that did not answer is left out for this many rounds at most.
constexpr uint64_t kMaxBackoffRounds = 128;
constexpr uint64_t kRoundsPerListing = 10;

}  // namespace

SamplingProfiler::SamplingProfiler(Callback callback, double frequencyHz)
    : callback_(std::move(callback)) {
    const float hz = frequencyHz > 0 ? static_cast<float>(frequencyHz) : 101.0f;
    delay_ = std::chrono::nanoseconds(static_cast<int64_t>(1.0f / hz * 1e9f));
    results_.resize(crash::kMaxSampledThreads);
    requests_.reserve(crash::kMaxSampledThreads);
    requestMetadata_.reserve(crash::kMaxSampledThreads);
}

SamplingProfiler::~SamplingProfiler() {
    stopSampling();
}

void SamplingProfiler::startSampling(std::function<void()> onStart) {
    std::lock_guard guard(mutex_);
    if (sampling_) return;
    if (!crash::prepareStackSampling()) {
        SKALD_LOG_ERROR("Could not install the sampling signal handler; not sampling.");
        return;
    }
    sampling_ = true;
    stopRequested_ = false;
    sampleCount_ = 0;
    try {
        thread_ = std::thread(
            [this, onStart = std::move(onStart)]() mutable { run(std::move(onStart)); });
    } catch (const std::system_error& error) {
        SKALD_LOG_ERROR("pthread_create failed with code: %d, description: %s",
                        error.code().value(), error.what());
        sampling_ = false;
    }
}

void SamplingProfiler::stopSampling() {
    std::thread thread;
    {
        std::lock_guard guard(mutex_);
        if (!sampling_) return;
        stopRequested_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    std::lock_guard guard(mutex_);
    sampling_ = false;
}

bool SamplingProfiler::isSampling() const {
    std::lock_guard guard(mutex_);
    return sampling_;
}

void SamplingProfiler::run(std::function<void()> onStart) {
    ::pthread_setname_np(::pthread_self(), kThreadName);
    if (onStart) onStart();
    auto next = std::chrono::steady_clock::now() + delay_;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, next, [this] { return stopRequested_; });
            if (stopRequested_) return;
        }
        const auto now = std::chrono::steady_clock::now();
        next += delay_;
        // A late wake-up (a suspended machine, a stall) skips the missed ticks.
        if (next < now) next = now + delay_;
        ++sampleCount_;
        sampleOnce();
    }
}

void SamplingProfiler::sampleOnce() {
    std::lock_guard round(roundMutex_);
    const uint64_t started = monotonicNanos();
    ++round_;
    // Listing the threads costs more than reading a few of them: new threads
    // are found within a tenth of a second, ended ones at their next read.
    if (round_ % kRoundsPerListing == 1 || listed_.empty()) {
        listed_ = ThreadHandle::allExceptCurrent();
        std::erase_if(threads_, [&](const auto& entry) {
            return std::find(listed_.begin(), listed_.end(), entry.first) == listed_.end();
        });
        metadataCache_.retainOnly(listed_);
    }
    const std::vector<pid_t>& listed = listed_;

    requests_.clear();
    requestMetadata_.clear();
    for (const pid_t id : listed) {
        auto [it, inserted] = threads_.try_emplace(id, id);
        TrackedThread& tracked = it->second;
        // Names and priorities are read once; each round needs the state only.
        std::optional<char> state;
        auto metadata = metadataCache_.cached(id);
        if (!metadata) {
            const auto stat = tracked.handle.readStat();
            if (!stat) continue;  // ended since it was listed
            metadata = metadataCache_.metadataForThread(id, stat->name, stat->priority);
            state = stat->state;
        }
        if (metadata->threadID == 0) continue;
        const auto running = state ? std::optional(*state == 'R') : isRunning(tracked);
        if (!running) continue;  // ended since it was listed
        if (!*running) {
            Backtrace idle;
            idle.threadMetadata = *metadata;
            idle.absoluteTimestamp = monotonicNanos();
            callback_(idle);
            continue;
        }
        if (tracked.skipUntil > round_) continue;
        if (requests_.size() >= static_cast<size_t>(crash::kMaxSampledThreads)) continue;
        tracked.request.thread = id;
        requests_.push_back(tracked.request);
        requestMetadata_.push_back(*metadata);
    }
    if (requests_.empty() || !crash::prepareStackSampling()) {
        lastRound_ = monotonicNanos() - started;
        return;
    }

    // Most answers come within microseconds; the rest are taken next round.
    const int64_t timeout = std::min<int64_t>(delay_.count() / 2, 2'000'000);
    const int count = static_cast<int>(requests_.size());
    crash::sampleThreadStacks(requests_.data(), count, results_.data(), timeout);

    Backtrace backtrace;
    for (int i = 0; i < count; ++i) {
        const crash::ThreadStackSample& sample = results_[static_cast<size_t>(i)];
        auto it = threads_.find(sample.thread);
        if (it == threads_.end()) continue;
        TrackedThread& tracked = it->second;
        if (sample.abandoned) {
            // It keeps the signal blocked: ask it less and less.
            tracked.skipUntil = round_ + tracked.backoff;
            tracked.backoff = std::min(tracked.backoff * 2, kMaxBackoffRounds);
            continue;
        }
        // Not yet: a runnable thread answers when the scheduler lets it run,
        // and its sample comes with a later round.
        if (!sample.answered) continue;
        tracked.backoff = 1;
        uint64_t longest = longestPause_.load();
        while (sample.pauseNanos > longest &&
               !longestPause_.compare_exchange_weak(longest, sample.pauseNanos)) {
        }
        const auto& request = tracked.request;
        if (request.stackHigh == 0 || sample.stackPointer < request.stackLow ||
            sample.stackPointer >= request.stackHigh) {
            resolveStackBounds(tracked, sample.stackPointer);
        }
        if (!sample.reachedEnd) continue;
        backtrace.threadMetadata = requestMetadata_[static_cast<size_t>(i)];
        backtrace.absoluteTimestamp = sample.timestampNanos;
        backtrace.addresses.assign(sample.frames, sample.frames + sample.frameCount);
        callback_(backtrace);
    }
    lastRound_ = monotonicNanos() - started;
}

std::optional<bool> SamplingProfiler::isRunning(TrackedThread& thread) {
    // The scheduler's counters tell most threads apart for a fraction of the
    // cost of the stat line: one that neither ran nor waited for a CPU since
    // the last round is idle, one that ran most of it is still running. Only
    // the rest is asked for its state, so that a thread that went to sleep
    // is not signalled (which would cut some of its waits short).
    const auto sched = thread.handle.readSchedStat();
    const auto previous = std::exchange(thread.lastSched, sched);
    if (sched && previous) {
        const uint64_t ran = sched->runNanos - previous->runNanos;
        if (ran == 0 && sched->waitNanos == previous->waitNanos) return false;
        if (ran >= static_cast<uint64_t>(delay_.count()) / 2) return true;
    }
    const auto state = thread.handle.readState();
    if (!state) return std::nullopt;
    return *state == 'R';
}

void SamplingProfiler::resolveStackBounds(TrackedThread& thread, uintptr_t stackPointer) {
    if (const auto range = mappingContaining(stackPointer)) {
        thread.request.stackLow = range->low;
        thread.request.stackHigh = range->high;
    }
}

}  // namespace skald::profiling
