#include "profiling/sampling_profiler.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>

#include "util/log.h"

namespace skald::profiling {

namespace {

uint64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

/// A thread that did not answer is left out for this many rounds at most.
constexpr uint64_t kMaxBackoffRounds = 128;

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
    const std::vector<pid_t> listed = ThreadHandle::allExceptCurrent();
    std::erase_if(threads_, [&](const auto& entry) {
        return std::find(listed.begin(), listed.end(), entry.first) == listed.end();
    });
    metadataCache_.retainOnly(listed);

    requests_.clear();
    requestMetadata_.clear();
    for (const pid_t id : listed) {
        auto [it, inserted] = threads_.try_emplace(id, TrackedThread{ThreadHandle(id)});
        TrackedThread& tracked = it->second;
        const auto stat = tracked.handle.readStat();
        if (!stat) continue;  // ended since it was listed
        const ThreadMetadata metadata =
            metadataCache_.metadataForThread(id, stat->name, stat->priority);
        if (metadata.threadID == 0) continue;
        if (stat->isIdle()) {
            Backtrace idle;
            idle.threadMetadata = metadata;
            idle.absoluteTimestamp = monotonicNanos();
            callback_(idle);
            continue;
        }
        if (tracked.skipUntil > round_) continue;
        if (requests_.size() >= static_cast<size_t>(crash::kMaxSampledThreads)) continue;
        tracked.request.thread = id;
        requests_.push_back(tracked.request);
        requestMetadata_.push_back(metadata);
    }
    if (requests_.empty() || !crash::prepareStackSampling()) {
        lastRound_ = monotonicNanos() - started;
        return;
    }

    // Answers may come until shortly before the next round: a runnable thread
    // handles its signal only when the scheduler lets it run.
    const int64_t timeout = std::max<int64_t>(delay_.count() * 8 / 10, 1'000'000);
    const int count = static_cast<int>(requests_.size());
    crash::sampleThreadStacks(requests_.data(), count, results_.data(), timeout);

    Backtrace backtrace;
    for (int i = 0; i < count; ++i) {
        const crash::ThreadStackSample& sample = results_[static_cast<size_t>(i)];
        auto it = threads_.find(sample.thread);
        if (it == threads_.end()) continue;
        TrackedThread& tracked = it->second;
        if (!sample.answered) {
            tracked.skipUntil = round_ + tracked.backoff;
            tracked.backoff = std::min(tracked.backoff * 2, kMaxBackoffRounds);
            continue;
        }
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

void SamplingProfiler::resolveStackBounds(TrackedThread& thread, uintptr_t stackPointer) {
    if (const auto range = mappingContaining(stackPointer)) {
        thread.request.stackLow = range->low;
        thread.request.stackHigh = range->high;
    }
}

}  // namespace skald::profiling
