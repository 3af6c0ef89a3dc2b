#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace skald {

namespace platform {
class ReachabilityMonitor;
}

/// Hears when the network becomes reachable or unreachable.
class ReachabilityObserver {
  public:
    virtual ~ReachabilityObserver() = default;
    /// `typeDescription` is "wifi" when connected, "none" otherwise.
    virtual void connectivityChanged(bool connected, const std::string& typeDescription) = 0;
};

/// Tells observers about connectivity changes. The observer set, the queue
/// the callbacks run on and the monitor behind it are shared by the whole
/// process: the monitor runs while at least one observer is registered.
/// Observers are held weakly.
class Reachability {
  public:
    /// The host the monitor stands for; it only appears in logs.
    static constexpr const char* kHostName = "skald.io";
    /// The last reported state before any report.
    static constexpr uint32_t kUnknownState = 0xFFFFFFFFu;

    virtual ~Reachability() = default;

    virtual void addObserver(const std::shared_ptr<ReachabilityObserver>& observer);
    /// Takes a plain pointer so that an observer can leave from its destructor.
    virtual void removeObserver(const ReachabilityObserver* observer);
    virtual void removeAllObservers();

    /// The monitor's callback: reports a change of the reachable bit to the
    /// observers. Runs on the reachability queue; public for tests.
    static void connectivityCallback(uint32_t flags);

    using MonitorFactory = std::function<std::shared_ptr<platform::ReachabilityMonitor>()>;
    /// Where monitors come from; nullptr restores the kernel's route socket.
    static void setMonitorFactory(MonitorFactory factory);
};

}  // namespace skald
