#include "profiling/profiler.h"

#include "core/dependency_container.h"
#include "platform/process/no_destructor.h"
#include "profiling/clocks.h"
#include "profiling/launch_profile.h"
#include "profiling/sampling_profiler.h"
#include "util/current_date_provider.h"
#include "util/log.h"

namespace skald::profiling {

namespace {

// The one sampler of the process: a second profiler never starts another.
struct SharedSampler {
    std::mutex mutex;
    std::shared_ptr<SamplingProfiler> sampler;
};

SharedSampler& sharedSampler() {
    static platform::NoDestructor<SharedSampler> shared;
    return *shared;
}

}  // namespace

const char* truncationReasonName(TruncationReason reason) {
    switch (reason) {
        case TruncationReason::Timeout:
            return "timeout";
        case TruncationReason::Backgrounded:
            return "backgrounded";
        case TruncationReason::Normal:
            break;
    }
    return "normal";
}

Profiler::Profiler(ProfilerMode mode)
    : mode_(mode),
      state_(std::make_shared<ProfilerState>()),
      metricProfiler_(std::make_unique<MetricProfiler>(mode)) {
    SKALD_LOG_DEBUG("Initialized new SkaldProfiler %p", static_cast<void*>(this));
    start();
    metricProfiler_->start();
}

Profiler::~Profiler() {
    if (isRunning()) stopForReason(TruncationReason::Normal);
    metricProfiler_->stop();
}

void Profiler::start() {
#if defined(__SANITIZE_THREAD__)
    SKALD_LOG_DEBUG("Disabling profiling when running with TSAN");
    return;
#endif
    auto& shared = sharedSampler();
    std::lock_guard guard(shared.mutex);
    if (shared.sampler) {
        SKALD_LOG_WARNING(
            "There is already a private profiler instance present, will not start a new one.");
        return;
    }
    SKALD_LOG_DEBUG("Starting profiler.");
    state_->clear();
    std::weak_ptr<ProfilerState> weakState = state_;
    // On the SDK's clock, like the transactions the samples are matched to.
    auto clock = DependencyContainer::sharedInstance()->dateProvider();
    auto sampler = std::make_shared<SamplingProfiler>(
        [weakState, clock](const Backtrace& backtrace) {
            auto state = weakState.lock();
            if (!state) return;
            // Timed at capture (a late answer arrives a round later), placed
            // on the SDK's clock.
            const uint64_t now = clock->systemTime();
            const uint64_t real = monotonicNanos();
            const uint64_t taken = backtrace.absoluteTimestamp;
            const uint64_t age = taken != 0 && real > taken ? real - taken : 0;
            state->appendBacktrace(backtrace, now > age ? now - age : now);
        },
        kSamplingFrequencyHz);
    sampler->startSampling();
    if (!sampler->isSampling()) return;
    shared.sampler = sampler;
    std::lock_guard own(mutex_);
    sampler_ = std::move(sampler);
}

void Profiler::stopForReason(TruncationReason reason) {
    setLaunchProfileRunning(false);
    metricProfiler_->stop();
    std::shared_ptr<SamplingProfiler> sampler;
    {
        std::lock_guard guard(mutex_);
        truncationReason_ = reason;
        sampler = std::move(sampler_);
    }
    if (!sampler || !sampler->isSampling()) {
        SKALD_LOG_WARNING("Profiler is not currently running.");
        return;
    }
    sampler->stopSampling();
    {
        auto& shared = sharedSampler();
        std::lock_guard guard(shared.mutex);
        if (shared.sampler == sampler) shared.sampler.reset();
    }
    SKALD_LOG_DEBUG("Stopped profiler %p.", static_cast<void*>(this));
}

bool Profiler::isRunning() const {
    std::lock_guard guard(mutex_);
    return sampler_ && sampler_->isSampling();
}

TruncationReason Profiler::truncationReason() const {
    std::lock_guard guard(mutex_);
    return truncationReason_;
}

std::shared_ptr<SamplingProfiler> Profiler::currentSampler() {
    auto& shared = sharedSampler();
    std::lock_guard guard(shared.mutex);
    return shared.sampler;
}

}  // namespace skald::profiling
