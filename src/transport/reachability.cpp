#include "transport/reachability.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/dispatch/serial_queue.h"
#include "platform/net/reachability.h"
#include "util/log.h"

namespace skald {

namespace {

struct Entry {
    const ReachabilityObserver* key;
    std::weak_ptr<ReachabilityObserver> observer;
};

struct State {
    std::mutex mutex;
    std::vector<Entry> observers;
    uint32_t currentState = Reachability::kUnknownState;
    std::shared_ptr<platform::SerialQueue> queue;
    std::shared_ptr<platform::ReachabilityMonitor> monitor;
    // Tells callbacks of a monitor that was torn down from those of the current one.
    uint64_t generation = 0;
    Reachability::MonitorFactory factory;

    void dropExpired() {
        std::erase_if(observers, [](const Entry& entry) { return entry.observer.expired(); });
    }
};

State& state() {
    // Never destroyed: its threads may outlive static destruction.
    static auto* shared = new State;
    return *shared;
}

std::string describe(const ReachabilityObserver* observer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(observer));
    return text;
}

/// Decides under the set's lock whether the reachable bit changed, and records it.
bool shouldReportChange(State& state, uint32_t flags) {
    const uint32_t reachable = flags & platform::kReachabilityFlagReachable;
    if (reachable == state.currentState) {
        SKALD_LOG_DEBUG(
            "No change in reachability state. SkaldConnectivityShouldReportChange will return NO "
            "for flags %u, skald_current_reachability_state %u",
            flags, state.currentState);
        return false;
    }
    state.currentState = reachable;
    return true;
}

struct Teardown {
    std::shared_ptr<platform::SerialQueue> queue;
    std::shared_ptr<platform::ReachabilityMonitor> monitor;
};

/// Under the lock: detaches queue and monitor, to be released after the lock.
Teardown detach(State& state) {
    Teardown teardown{std::move(state.queue), std::move(state.monitor)};
    state.queue.reset();
    state.monitor.reset();
    ++state.generation;
    state.currentState = Reachability::kUnknownState;
    SKALD_LOG_DEBUG("Cleaning up reachability queue.");
    return teardown;
}

/// Stops the monitor before the queue goes, so that nothing posts to a dead queue.
void release(Teardown teardown) {
    if (teardown.monitor) teardown.monitor->stop();
    teardown.monitor.reset();
    teardown.queue.reset();
}

}  // namespace

void Reachability::addObserver(const std::shared_ptr<ReachabilityObserver>& observer) {
    if (!observer) return;
    auto& shared = state();
    std::shared_ptr<platform::ReachabilityMonitor> toStart;
    {
        std::lock_guard guard(shared.mutex);
        shared.dropExpired();
        for (const auto& entry : shared.observers) {
            if (entry.key == observer.get()) {
                SKALD_LOG_DEBUG("Observer already added. Doing nothing.");
                return;
            }
        }
        shared.observers.push_back({observer.get(), observer});
        if (shared.observers.size() != 1 || shared.monitor) return;

        shared.queue = std::make_shared<platform::SerialQueue>("skald-reachability");
        shared.monitor =
            shared.factory ? shared.factory() : std::make_shared<platform::ReachabilityMonitor>();
        if (!shared.monitor) return;
        std::weak_ptr<platform::SerialQueue> queue = shared.queue;
        const uint64_t generation = shared.generation;
        shared.monitor->addListener([queue, generation](uint32_t flags) {
            auto target = queue.lock();
            if (!target) return;
            target->async([generation, flags] {
                {
                    std::lock_guard guard(state().mutex);
                    if (state().generation != generation) return;
                }
                connectivityCallback(flags);
            });
        });
        toStart = shared.monitor;
    }
    // Started outside the lock: its first report may already be on its way.
    if (auto error = toStart->start()) {
        SKALD_LOG_WARNING("Could not start watching the network's reachability: %s",
                          error->description().c_str());
    }
}

void Reachability::removeObserver(const ReachabilityObserver* observer) {
    auto& shared = state();
    Teardown teardown;
    {
        std::lock_guard guard(shared.mutex);
        std::erase_if(shared.observers, [observer](const Entry& entry) {
            return entry.key == observer || entry.observer.expired();
        });
        if (!shared.observers.empty() || (!shared.monitor && !shared.queue)) return;
        teardown = detach(shared);
    }
    release(std::move(teardown));
}

void Reachability::removeAllObservers() {
    auto& shared = state();
    Teardown teardown;
    {
        std::lock_guard guard(shared.mutex);
        shared.observers.clear();
        if (!shared.monitor && !shared.queue) return;
        teardown = detach(shared);
    }
    release(std::move(teardown));
}

void Reachability::connectivityCallback(uint32_t flags) {
    SKALD_LOG_DEBUG("SkaldConnectivityCallback called with target: %s; flags: %u", kHostName,
                    flags);
    auto& shared = state();
    std::vector<std::shared_ptr<ReachabilityObserver>> observers;
    {
        std::lock_guard guard(shared.mutex);
        shared.dropExpired();
        if (shared.observers.empty()) {
            SKALD_LOG_DEBUG("No reachability observers registered. Nothing to do.");
            return;
        }
        if (!shouldReportChange(shared, flags)) {
            SKALD_LOG_DEBUG(
                "SkaldConnectivityShouldReportChange returned NO for flags %u, will not report "
                "change to observers.",
                flags);
            return;
        }
        for (const auto& entry : shared.observers) {
            if (auto observer = entry.observer.lock()) observers.push_back(std::move(observer));
        }
    }
    // Observers run without the lock so that they may add or remove observers.
    const bool connected = (flags & platform::kReachabilityFlagReachable) != 0;
    SKALD_LOG_DEBUG("Notifying observers...");
    for (const auto& observer : observers) {
        SKALD_LOG_DEBUG("Notifying %s", describe(observer.get()).c_str());
        observer->connectivityChanged(connected, connected ? "wifi" : "none");
    }
    SKALD_LOG_DEBUG("Finished notifying observers.");
}

void Reachability::setMonitorFactory(MonitorFactory factory) {
    auto& shared = state();
    std::lock_guard guard(shared.mutex);
    shared.factory = std::move(factory);
}

}  // namespace skald
