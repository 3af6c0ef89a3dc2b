#pragma once

#include <map>
#include <memory>
#include <mutex>

namespace skald {

namespace crash {
class BinaryImageCache;
}  // namespace crash

class CrashWrapper;
class CurrentDateProvider;
class DebugImageProvider;
class DispatchFactory;
class DispatchQueueWrapper;
class ANRTracker;
class ExtraContextProvider;
class MXManager;
class Random;
class Reachability;
class ThreadInspector;
class ThreadWrapper;
class TimerFactory;

/// The process-wide registry of shared services. Lazily made services are
/// created on first request under one lock and then reused; every service can
/// be replaced through its setter (test doubles). `reset` swaps in a new,
/// empty container.
class DependencyContainer {
  public:
    static std::shared_ptr<DependencyContainer> sharedInstance();
    static void reset();

    DependencyContainer();
    ~DependencyContainer();
    DependencyContainer(const DependencyContainer&) = delete;
    DependencyContainer& operator=(const DependencyContainer&) = delete;

    // Made with the container.
    std::shared_ptr<CurrentDateProvider> dateProvider();
    void setDateProvider(std::shared_ptr<CurrentDateProvider> provider);
    std::shared_ptr<Random> random();
    void setRandom(std::shared_ptr<Random> random);
    std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper();
    void setDispatchQueueWrapper(std::shared_ptr<DispatchQueueWrapper> wrapper);
    /// Not started: the crash integration starts it.
    std::shared_ptr<crash::BinaryImageCache> binaryImageCache();
    void setBinaryImageCache(std::shared_ptr<crash::BinaryImageCache> cache);
    std::shared_ptr<DebugImageProvider> debugImageProvider();
    void setDebugImageProvider(std::shared_ptr<DebugImageProvider> provider);
    std::shared_ptr<ThreadWrapper> threadWrapper();
    void setThreadWrapper(std::shared_ptr<ThreadWrapper> wrapper);

    // Made on first request.
    std::shared_ptr<TimerFactory> timerFactory();
    void setTimerFactory(std::shared_ptr<TimerFactory> factory);
    std::shared_ptr<DispatchFactory> dispatchFactory();
    void setDispatchFactory(std::shared_ptr<DispatchFactory> factory);
    std::shared_ptr<Reachability> reachability();
    void setReachability(std::shared_ptr<Reachability> reachability);
    /// Made from default options.
    std::shared_ptr<ThreadInspector> threadInspector();
    void setThreadInspector(std::shared_ptr<ThreadInspector> inspector);
    std::shared_ptr<CrashWrapper> crashWrapper();
    void setCrashWrapper(std::shared_ptr<CrashWrapper> wrapper);
    /// Made with this container's crash wrapper.
    std::shared_ptr<ExtraContextProvider> extraContextProvider();
    void setExtraContextProvider(std::shared_ptr<ExtraContextProvider> provider);
    /// Made with crash diagnostics disabled.
    std::shared_ptr<MXManager> metricKitManager();
    void setMetricKitManager(std::shared_ptr<MXManager> manager);
    /// One per timeout, made with this container's services.
    std::shared_ptr<ANRTracker> getANRTracker(double timeoutInterval);

  private:
    template <typename T, typename Make>
    std::shared_ptr<T> lazily(std::shared_ptr<T>& slot, Make make) {
        std::lock_guard guard(lock_);
        if (!slot) slot = make();
        return slot;
    }
    template <typename T>
    std::shared_ptr<T> get(const std::shared_ptr<T>& slot) {
        std::lock_guard guard(lock_);
        return slot;
    }
    template <typename T>
    void set(std::shared_ptr<T>& slot, std::shared_ptr<T> value) {
        std::lock_guard guard(lock_);
        slot = std::move(value);
    }

    // Recursive: creating one service may ask the container for another.
    std::recursive_mutex lock_;
    std::shared_ptr<CurrentDateProvider> dateProvider_;
    std::shared_ptr<Random> random_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper_;
    std::shared_ptr<crash::BinaryImageCache> binaryImageCache_;
    std::shared_ptr<DebugImageProvider> debugImageProvider_;
    std::shared_ptr<ThreadWrapper> threadWrapper_;
    std::shared_ptr<TimerFactory> timerFactory_;
    std::shared_ptr<DispatchFactory> dispatchFactory_;
    std::shared_ptr<Reachability> reachability_;
    std::shared_ptr<ThreadInspector> threadInspector_;
    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::shared_ptr<ExtraContextProvider> extraContextProvider_;
    std::shared_ptr<MXManager> metricKitManager_;
    std::map<double, std::shared_ptr<ANRTracker>> anrTrackers_;
};

}  // namespace skald
