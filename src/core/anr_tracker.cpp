#include "core/anr_tracker.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/crash_wrapper.h"
#include "platform/process/process_exit.h"
#include "skald/id.h"
#include "skald/platform/main_queue.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/log.h"
#include "util/thread_wrapper.h"

namespace skald {

namespace {

/// What the watchdog and its probes on the main queue share. Owned by both,
/// so that a probe that runs after the watchdog ended touches nothing freed.
struct ProbeState {
    std::atomic<int> ticksSinceUiUpdate{0};
    std::atomic<bool> reported{false};
};

}  // namespace

ANRTracker::ANRTracker(double timeoutInterval, std::shared_ptr<CrashWrapper> crashWrapper,
                       std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper,
                       std::shared_ptr<ThreadWrapper> threadWrapper,
                       std::shared_ptr<CurrentDateProvider> dateProvider)
    : timeoutInterval_(timeoutInterval),
      crashWrapper_(std::move(crashWrapper)),
      dispatchQueueWrapper_(std::move(dispatchQueueWrapper)),
      threadWrapper_(std::move(threadWrapper)),
      dateProvider_(std::move(dateProvider)) {}

ANRTracker::~ANRTracker() = default;

void ANRTracker::addListener(const std::shared_ptr<ANRTrackerListener>& listener) {
    if (!listener) return;
    bool hasListeners;
    {
        const std::lock_guard lock(listenersMutex_);
        listeners_.push_back(listener);
        hasListeners = !listeners_.empty();
    }
    const std::lock_guard lock(stateMutex_);
    if (!hasListeners) return;
    // A watchdog that was told to stop but has not noticed yet goes on.
    if (state_ == State::Stopping) state_ = State::Running;
    if (state_ != State::NotRunning) return;
    state_ = State::Starting;
    try {
        // The thread holds the tracker: it outlives every other owner until
        // it notices that it was stopped.
        std::thread([self = shared_from_this()] { self->detectANRs(); }).detach();
    } catch (const std::system_error& error) {
        SKALD_LOG_ERROR("Could not start the app hang watchdog: %s", error.what());
        state_ = State::NotRunning;
    }
}

void ANRTracker::removeListener(const ANRTrackerListener* listener) {
    bool empty;
    {
        const std::lock_guard lock(listenersMutex_);
        std::erase_if(listeners_, [listener](const std::weak_ptr<ANRTrackerListener>& weak) {
            const auto strong = weak.lock();
            return !strong || strong.get() == listener;
        });
        empty = listeners_.empty();
    }
    if (empty) stop();
}

void ANRTracker::clear() {
    {
        const std::lock_guard lock(listenersMutex_);
        listeners_.clear();
    }
    stop();
}

void ANRTracker::stop() {
    const std::lock_guard lock(stateMutex_);
    SKALD_LOG_INFO("Stopping ANR detection");
    // A watchdog that has not begun yet ends as soon as it does.
    if (state_ != State::NotRunning) state_ = State::Stopping;
    platform::MainQueue::wakeLoopWaiters();
}

ANRTracker::State ANRTracker::state() const {
    const std::lock_guard lock(stateMutex_);
    return state_;
}

void ANRTracker::detectANRs() {
    const std::string threadId = Id().uuidString();
    {
        const std::lock_guard lock(stateMutex_);
        threadWrapper_->threadStarted(threadId);
        // Running here means stopped and restarted before this thread began.
        if (state_ != State::Starting && state_ != State::Running) {
            if (state_ == State::Stopping) state_ = State::NotRunning;
            threadWrapper_->threadFinished(threadId);
            return;
        }
        ::pthread_setname_np(::pthread_self(), "skald-app-hang");
        state_ = State::Running;
    }

    const auto probe = std::make_shared<ProbeState>();
    const double sleepInterval = timeoutInterval_ / kReportThreshold;
    bool saidNoLoop = false;
    auto running = [this] {
        const std::lock_guard lock(stateMutex_);
        return state_ == State::Running;
    };

    for (;;) {
        const uint64_t wakeGeneration = platform::MainQueue::loopWaitGeneration();
        if (!running()) break;
        // Without a loop a probe would wait in the pending list and every
        // pass would count as a hang.
        if (!platform::MainQueue::hasLoop()) {
            if (!saidNoLoop) {
                SKALD_LOG_INFO(
                    "No main loop is registered: app hang tracking waits for one before it "
                    "probes the main thread.");
                saidNoLoop = true;
            }
            probe->ticksSinceUiUpdate = 0;
            // Asleep until a loop comes or `stop` wakes it.
            platform::MainQueue::waitForLoop(std::chrono::minutes(10), wakeGeneration);
            continue;
        }

        bool exiting = false;
        platform::ProcessExit::runOrPark([&] {
            const double deadline = dateProvider_->systemUptime() + timeoutInterval_;
            ++probe->ticksSinceUiUpdate;
            std::weak_ptr<ANRTracker> weak = weak_from_this();
            dispatchQueueWrapper_->dispatchAsyncOnMainQueue([probe, weak] {
                probe->ticksSinceUiUpdate = 0;
                if (probe->reported.exchange(false)) {
                    SKALD_LOG_WARNING("ANR stopped.");
                    if (auto self = weak.lock()) {
                        self->dispatchQueueWrapper_->dispatchAsync([weak] {
                            if (auto tracker = weak.lock()) tracker->anrStopped();
                        });
                    }
                }
            });
            threadWrapper_->sleepForTimeInterval(sleepInterval);

            const double delta = dateProvider_->systemUptime() - deadline;
            if (delta >= timeoutInterval_) {
                SKALD_LOG_DEBUG("Ignoring ANR because the delta is too big: %f.", delta);
                return;
            }
            if (probe->ticksSinceUiUpdate >= kReportThreshold && !probe->reported) {
                probe->reported = true;
                if (!crashWrapper_->isApplicationInForeground()) {
                    SKALD_LOG_DEBUG("Ignoring ANR because the app is in the background");
                    return;
                }
                SKALD_LOG_WARNING("ANR detected.");
                anrDetected();
            }
            exiting = platform::ProcessExit::isExiting();
        });
        if (exiting) break;
    }

    const std::lock_guard lock(stateMutex_);
    state_ = State::NotRunning;
    threadWrapper_->threadFinished(threadId);
}

std::vector<std::shared_ptr<ANRTrackerListener>> ANRTracker::liveListeners() {
    const std::lock_guard lock(listenersMutex_);
    std::vector<std::shared_ptr<ANRTrackerListener>> live;
    for (const auto& weak : listeners_) {
        if (auto listener = weak.lock()) live.push_back(std::move(listener));
    }
    return live;
}

void ANRTracker::anrDetected() {
    for (const auto& listener : liveListeners()) listener->anrDetected();
}

void ANRTracker::anrStopped() {
    for (const auto& listener : liveListeners()) listener->anrStopped();
}

}  // namespace skald
