#include "profiling/trace_profiler.h"

#include <map>
#include <mutex>

#include "core/dependency_container.h"
#include "platform/process/no_destructor.h"
#include "profiling/profiler.h"
#include "skald/platform/timer.h"
#include "util/log.h"
#include "util/timer_factory.h"

namespace skald::profiling {

namespace {

struct SharedTraceProfiler {
    std::mutex mutex;
    std::shared_ptr<Profiler> profiler;
    std::shared_ptr<platform::Timer> timeoutTimer;
    double timeout = TraceProfiler::kTimeoutSeconds;
};

SharedTraceProfiler& shared() {
    static platform::NoDestructor<SharedTraceProfiler> instance;
    return *instance;
}

struct Bookkeeping {
    std::mutex mutex;
    std::map<std::string, size_t> tracerCounts;  // profiler id → tracers
    std::map<std::string, std::shared_ptr<Profiler>> profilersByTracer;
};

Bookkeeping& bookkeeping() {
    static platform::NoDestructor<Bookkeeping> instance;
    return *instance;
}

/// Removes the tracer; the profiler it leaves alone is stopped.
std::shared_ptr<Profiler> untrack(const Id& tracerId) {
    std::shared_ptr<Profiler> profiler;
    bool last = false;
    {
        auto& books = bookkeeping();
        std::lock_guard guard(books.mutex);
        auto it = books.profilersByTracer.find(tracerId.skaldIdString());
        if (it == books.profilersByTracer.end()) return nullptr;
        profiler = it->second;
        books.profilersByTracer.erase(it);
        const std::string profilerId = profiler->profilerId().skaldIdString();
        auto count = books.tracerCounts.find(profilerId);
        if (count != books.tracerCounts.end() && --count->second == 0) {
            books.tracerCounts.erase(count);
            last = true;
        }
    }
    if (!last) return profiler;
    if (profiler->isRunning()) profiler->stopForReason(TruncationReason::Normal);
    // Its timeout must not stop the next profiler, and its samples go with it.
    std::shared_ptr<platform::Timer> timer;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        if (state.profiler == profiler) {
            state.profiler.reset();
            timer = std::move(state.timeoutTimer);
        }
    }
    if (timer) timer->invalidate();
    return profiler;
}

}  // namespace

void trackProfilerForTracer(const std::shared_ptr<Profiler>& profiler, const Id& tracerId) {
    auto& books = bookkeeping();
    std::lock_guard guard(books.mutex);
    const std::string profilerId = profiler->profilerId().skaldIdString();
    const std::string tracer = tracerId.skaldIdString();
    SKALD_LOG_DEBUG("Tracking relationship between profiler id %s and tracer id %s",
                    profilerId.c_str(), tracer.c_str());
    if (books.profilersByTracer.emplace(tracer, profiler).second) {
        ++books.tracerCounts[profilerId];
    }
}

void discardProfilerForTracer(const Id& tracerId) {
    untrack(tracerId);
}

std::shared_ptr<Profiler> profilerForFinishedTracer(const Id& tracerId) {
    auto profiler = untrack(tracerId);
    if (!profiler) {
        SKALD_LOG_WARNING("Expected a profiler to be associated with tracer id %s.",
                          tracerId.skaldIdString().c_str());
    }
    return profiler;
}

size_t trackedProfilerCount() {
    auto& books = bookkeeping();
    std::lock_guard guard(books.mutex);
    return books.tracerCounts.size();
}

bool TraceProfiler::startWithTracer(const Id& tracerId) {
    std::shared_ptr<Profiler> profiler;
    bool joined = false;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        if (state.profiler && state.profiler->isRunning()) {
            SKALD_LOG_DEBUG("A trace profiler is already running.");
            profiler = state.profiler;
            joined = true;
        } else {
            profiler = std::make_shared<Profiler>(ProfilerMode::Trace);
            if (!profiler->isRunning()) {
                SKALD_LOG_WARNING("Trace profiler was unable to be initialized, will not proceed.");
                return false;
            }
            profiler->setProfilerId(Id());
            state.profiler = profiler;
        }
    }
    trackProfilerForTracer(profiler, tracerId);
    if (joined) {
        profiler->metricProfiler().recordMetrics();
    } else {
        scheduleTimeoutTimer();
    }
    return true;
}

bool TraceProfiler::isCurrentlyProfiling() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    return state.profiler && state.profiler->isRunning();
}

void TraceProfiler::recordMetrics() {
    std::shared_ptr<Profiler> profiler;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        profiler = state.profiler;
    }
    if (!profiler || !profiler->isRunning()) {
        SKALD_LOG_DEBUG("No trace profiler is currently running.");
        return;
    }
    profiler->metricProfiler().recordMetrics();
}

void TraceProfiler::scheduleTimeoutTimer() {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    if (state.timeoutTimer && state.timeoutTimer->isValid()) return;
    state.timeoutTimer = DependencyContainer::sharedInstance()->timerFactory()->scheduledTimer(
        state.timeout, false, [] { timeoutTimerExpired(); });
}

void TraceProfiler::timeoutTimerExpired() {
    std::shared_ptr<Profiler> profiler;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        state.timeoutTimer.reset();
        profiler = state.profiler;
    }
    if (!profiler || !profiler->isRunning()) {
        SKALD_LOG_WARNING("Current profiler is not running.");
        return;
    }
    SKALD_LOG_DEBUG("Stopping profiler %p due to timeout.", static_cast<void*>(profiler.get()));
    profiler->stopForReason(TruncationReason::Timeout);
}

void TraceProfiler::reset() {
    std::shared_ptr<Profiler> profiler;
    std::shared_ptr<platform::Timer> timer;
    {
        auto& state = shared();
        std::lock_guard guard(state.mutex);
        profiler = std::move(state.profiler);
        timer = std::move(state.timeoutTimer);
    }
    if (timer) timer->invalidate();
    if (profiler && profiler->isRunning()) profiler->stopForReason(TruncationReason::Normal);
}

}  // namespace skald::profiling

namespace skald::profiling {

void TraceProfiler::setTimeoutForTesting(double seconds) {
    auto& state = shared();
    std::lock_guard guard(state.mutex);
    state.timeout = seconds > 0 ? seconds : kTimeoutSeconds;
}

}  // namespace skald::profiling
