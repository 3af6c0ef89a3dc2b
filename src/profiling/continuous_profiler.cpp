#include "profiling/continuous_profiler.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "core/dependency_container.h"
#include "platform/process/no_destructor.h"
#include "profiling/profile_payload.h"
#include "profiling/profiler.h"
#include "skald/platform/notification_center.h"
#include "skald/platform/timer.h"
#include "skald/sdk.h"
#include "util/log.h"
#include "util/timer_factory.h"

namespace skald::profiling {

namespace {

struct SharedContinuousProfiler {
    std::mutex mutex;
    std::shared_ptr<Profiler> profiler;
    std::shared_ptr<platform::Timer> timer;
    bool stopRequested = false;
    std::optional<Id> processProfilerId;
    double chunkPeriod = ContinuousProfiler::kChunkPeriodSeconds;
};

SharedContinuousProfiler& shared() {
    static platform::NoDestructor<SharedContinuousProfiler> instance;
    return *instance;
}

std::atomic<uint64_t> gStartCount{0};

}  // namespace

void ContinuousProfiler::start() {
    Id profilerId;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        if (state.profiler && state.profiler->isRunning()) {
            SKALD_LOG_DEBUG("A continuous profiler is already running.");
            return;
        }
        auto profiler = std::make_shared<Profiler>(ProfilerMode::Continuous);
        if (!profiler->isRunning()) {
            SKALD_LOG_WARNING("Continuous profiler was unable to be initialized.");
            return;
        }
        state.stopRequested = false;
        if (!state.processProfilerId) state.processProfilerId = Id();
        profiler->setProfilerId(*state.processProfilerId);
        profilerId = *state.processProfilerId;
        state.profiler = std::move(profiler);
    }
    ++gStartCount;
    platform::NotificationCenter::defaultCenter().postNotificationName(
        kStartedNotification, nullptr, Json{{"profiler_id", profilerId.skaldIdString()}});
    scheduleTimer();
}

void ContinuousProfiler::stop() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    if (!state.profiler || !state.profiler->isRunning()) {
        SKALD_LOG_DEBUG("No continuous profiler is currently running.");
        return;
    }
    state.stopRequested = true;
}

bool ContinuousProfiler::isCurrentlyProfiling() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    return state.profiler && state.profiler->isRunning();
}

std::optional<Id> ContinuousProfiler::currentProfilerID() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    if (!state.profiler || !state.profiler->isRunning()) return std::nullopt;
    return state.profiler->profilerId();
}

std::optional<Id> ContinuousProfiler::processProfilerID() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    return state.processProfilerId;
}

uint64_t ContinuousProfiler::startCount() {
    return gStartCount.load();
}

void ContinuousProfiler::scheduleTimer() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    if (state.timer && state.timer->isValid()) {
        SKALD_LOG_WARNING(
            "There was already a timer in flight, but this codepath shouldn't be taken if there "
            "is no profiler running.");
        return;
    }
    state.timer = DependencyContainer::sharedInstance()->timerFactory()->scheduledTimer(
        state.chunkPeriod, true, [] { timerExpired(); });
}

void ContinuousProfiler::timerExpired() {
    std::shared_ptr<Profiler> profiler;
    std::shared_ptr<platform::Timer> finishedTimer;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        profiler = state.profiler;
        if (!profiler) return;
        if (!profiler->isRunning()) {
            SKALD_LOG_WARNING(
                "Current profiler is not running. Sending whatever data it has left and "
                "disabling the timer from running again.");
            finishedTimer = std::move(state.timer);
        }
        if (state.stopRequested) {
            finishedTimer = std::move(state.timer);
            // Stopped before it is dropped, so that a start right after finds
            // the sampler free.
            profiler->stopForReason(TruncationReason::Normal);
            state.profiler.reset();
            state.stopRequested = false;
        }
    }
    if (finishedTimer) finishedTimer->invalidate();

    const ProfilingData data = profiler->state()->copyProfilingData();
    profiler->state()->clear();
    const Json metrics = profiler->metricProfiler().serializeContinuousProfileMetrics();
    profiler->metricProfiler().clear();
    if (!data.samples.empty()) {
        SDK::captureEnvelope(
            profileChunkEnvelope(profiler->profilerId(), data, metrics, SDK::currentHub()));
    }
}

void ContinuousProfiler::stopTimerAndCleanup() {
    std::shared_ptr<Profiler> profiler;
    std::shared_ptr<platform::Timer> timer;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        profiler = std::move(state.profiler);
        timer = std::move(state.timer);
        state.stopRequested = false;
        if (profiler && profiler->isRunning()) profiler->stopForReason(TruncationReason::Normal);
    }
    if (timer) timer->invalidate();
}

void ContinuousProfiler::setChunkPeriodForTesting(double seconds) {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    state.chunkPeriod = seconds > 0 ? seconds : kChunkPeriodSeconds;
}

}  // namespace skald::profiling
