#include "core/dependency_container.h"

#include <utility>

#include "core/anr_tracker.h"
#include "core/crash_wrapper.h"
#include "core/debug_image_provider.h"
#include "core/diagnostics/mx_manager.h"
#include "core/extra_context_provider.h"
#include "core/thread_inspector.h"
#include "crash/recording/binary_image_cache.h"
#include "transport/reachability.h"
#include "util/current_date_provider.h"
#include "util/dispatch_factory.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/random.h"
#include "util/thread_wrapper.h"
#include "util/timer_factory.h"

namespace skald {

namespace {

// Both live as long as the process: destroying the services at exit would
// join their queue threads while those may still use libraries that exit
// has already torn down.
std::mutex& instanceMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<DependencyContainer>& instance() {
    static auto* shared = new std::shared_ptr<DependencyContainer>;
    return *shared;
}

}  // namespace

std::shared_ptr<DependencyContainer> DependencyContainer::sharedInstance() {
    std::lock_guard guard(instanceMutex());
    if (!instance()) {
        instance() = std::make_shared<DependencyContainer>();
        setProcessDateProvider(instance()->dateProvider());
    }
    return instance();
}

void DependencyContainer::reset() {
    std::shared_ptr<DependencyContainer> old;
    {
        std::lock_guard guard(instanceMutex());
        old = std::exchange(instance(), std::make_shared<DependencyContainer>());
        setProcessDateProvider(instance()->dateProvider());
    }
    // `old` is released outside the lock: its queues finish their work first.
}

DependencyContainer::DependencyContainer()
    : dateProvider_(std::make_shared<DefaultCurrentDateProvider>()),
      random_(std::make_shared<Random>()),
      dispatchQueueWrapper_(std::make_shared<DispatchQueueWrapper>()),
      binaryImageCache_(std::make_shared<crash::BinaryImageCache>()),
      debugImageProvider_(std::make_shared<DebugImageProvider>()),
      threadWrapper_(std::make_shared<ThreadWrapper>()) {}

DependencyContainer::~DependencyContainer() {
    // A replaced container's watchdogs would otherwise go on probing.
    for (auto& [timeout, tracker] : anrTrackers_) tracker->clear();
}

std::shared_ptr<CurrentDateProvider> DependencyContainer::dateProvider() {
    return get(dateProvider_);
}
void DependencyContainer::setDateProvider(std::shared_ptr<CurrentDateProvider> provider) {
    setProcessDateProvider(provider);
    set(dateProvider_, std::move(provider));
}

std::shared_ptr<Random> DependencyContainer::random() {
    return get(random_);
}
void DependencyContainer::setRandom(std::shared_ptr<Random> random) {
    set(random_, std::move(random));
}

std::shared_ptr<DispatchQueueWrapper> DependencyContainer::dispatchQueueWrapper() {
    return get(dispatchQueueWrapper_);
}
void DependencyContainer::setDispatchQueueWrapper(std::shared_ptr<DispatchQueueWrapper> wrapper) {
    set(dispatchQueueWrapper_, std::move(wrapper));
}

std::shared_ptr<crash::BinaryImageCache> DependencyContainer::binaryImageCache() {
    return get(binaryImageCache_);
}
void DependencyContainer::setBinaryImageCache(std::shared_ptr<crash::BinaryImageCache> cache) {
    set(binaryImageCache_, std::move(cache));
}

std::shared_ptr<DebugImageProvider> DependencyContainer::debugImageProvider() {
    return get(debugImageProvider_);
}
void DependencyContainer::setDebugImageProvider(std::shared_ptr<DebugImageProvider> provider) {
    set(debugImageProvider_, std::move(provider));
}

std::shared_ptr<ThreadWrapper> DependencyContainer::threadWrapper() {
    return get(threadWrapper_);
}
void DependencyContainer::setThreadWrapper(std::shared_ptr<ThreadWrapper> wrapper) {
    set(threadWrapper_, std::move(wrapper));
}

std::shared_ptr<TimerFactory> DependencyContainer::timerFactory() {
    return lazily(timerFactory_, [] { return std::make_shared<TimerFactory>(); });
}
void DependencyContainer::setTimerFactory(std::shared_ptr<TimerFactory> factory) {
    set(timerFactory_, std::move(factory));
}

std::shared_ptr<DispatchFactory> DependencyContainer::dispatchFactory() {
    return lazily(dispatchFactory_, [] { return std::make_shared<DispatchFactory>(); });
}
void DependencyContainer::setDispatchFactory(std::shared_ptr<DispatchFactory> factory) {
    set(dispatchFactory_, std::move(factory));
}

std::shared_ptr<Reachability> DependencyContainer::reachability() {
    return lazily(reachability_, [] { return std::make_shared<Reachability>(); });
}
void DependencyContainer::setReachability(std::shared_ptr<Reachability> reachability) {
    set(reachability_, std::move(reachability));
}

std::shared_ptr<ThreadInspector> DependencyContainer::threadInspector() {
    return lazily(threadInspector_, [] { return std::make_shared<ThreadInspector>(Options()); });
}
void DependencyContainer::setThreadInspector(std::shared_ptr<ThreadInspector> inspector) {
    set(threadInspector_, std::move(inspector));
}

std::shared_ptr<CrashWrapper> DependencyContainer::crashWrapper() {
    return lazily(crashWrapper_, [] { return std::make_shared<CrashWrapper>(); });
}
void DependencyContainer::setCrashWrapper(std::shared_ptr<CrashWrapper> wrapper) {
    set(crashWrapper_, std::move(wrapper));
}

std::shared_ptr<ExtraContextProvider> DependencyContainer::extraContextProvider() {
    return lazily(extraContextProvider_,
                  [this] { return std::make_shared<ExtraContextProvider>(crashWrapper()); });
}
void DependencyContainer::setExtraContextProvider(std::shared_ptr<ExtraContextProvider> provider) {
    set(extraContextProvider_, std::move(provider));
}

std::shared_ptr<MXManager> DependencyContainer::metricKitManager() {
    return lazily(metricKitManager_, [] { return std::make_shared<MXManager>(true); });
}
void DependencyContainer::setMetricKitManager(std::shared_ptr<MXManager> manager) {
    set(metricKitManager_, std::move(manager));
}

std::shared_ptr<ANRTracker> DependencyContainer::getANRTracker(double timeoutInterval) {
    std::lock_guard guard(lock_);
    auto& tracker = anrTrackers_[timeoutInterval];
    if (!tracker) {
        tracker = std::make_shared<ANRTracker>(
            timeoutInterval, crashWrapper(), dispatchQueueWrapper_, threadWrapper_, dateProvider_);
    }
    return tracker;
}

}  // namespace skald
