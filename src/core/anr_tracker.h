#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace skald {

class CrashWrapper;
class CurrentDateProvider;
class DispatchQueueWrapper;
class ThreadWrapper;

/// Told when the main thread stops answering and when it answers again.
/// `anrDetected` runs on the watchdog thread, `anrStopped` on the SDK's
/// background queue; never on the main thread.
class ANRTrackerListener {
  public:
    virtual ~ANRTrackerListener() = default;
    virtual void anrDetected() = 0;
    virtual void anrStopped() = 0;
};

/// A watchdog thread that keeps posting a probe to the main queue and
/// reports a hang when the probe has not run for `timeoutInterval`. It runs
/// while it has listeners. Without a registered main loop there is nothing
/// to probe: it says so once and waits for one instead of counting.
class ANRTracker : public std::enable_shared_from_this<ANRTracker> {
  public:
    enum class State { NotRunning = 1, Running = 2, Starting = 3, Stopping = 4 };

    /// Passes without the probe running before a hang is reported.
    static constexpr int kReportThreshold = 5;

    ANRTracker(double timeoutInterval, std::shared_ptr<CrashWrapper> crashWrapper,
               std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper,
               std::shared_ptr<ThreadWrapper> threadWrapper,
               std::shared_ptr<CurrentDateProvider> dateProvider);
    ~ANRTracker();
    ANRTracker(const ANRTracker&) = delete;
    ANRTracker& operator=(const ANRTracker&) = delete;

    /// Listeners are held weakly; the first one starts the watchdog.
    void addListener(const std::shared_ptr<ANRTrackerListener>& listener);
    /// The last one leaving stops the watchdog within one sleep interval.
    void removeListener(const ANRTrackerListener* listener);
    void clear();
    void stop();

    double timeoutInterval() const { return timeoutInterval_; }
    State state() const;

  private:
    void detectANRs();
    void anrDetected();
    void anrStopped();
    std::vector<std::shared_ptr<ANRTrackerListener>> liveListeners();

    const double timeoutInterval_;
    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper_;
    std::shared_ptr<ThreadWrapper> threadWrapper_;
    std::shared_ptr<CurrentDateProvider> dateProvider_;

    std::mutex listenersMutex_;
    std::vector<std::weak_ptr<ANRTrackerListener>> listeners_;

    mutable std::mutex stateMutex_;
    State state_ = State::NotRunning;
};

}  // namespace skald
