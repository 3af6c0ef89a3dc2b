#include "core/integration.h"

#include <mutex>

#include "platform/system/process_status.h"
#include "skald/options.h"
#include "util/log.h"

namespace skald {

namespace {

std::mutex& probeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<bool()>& debuggerProbe() {
    static std::function<bool()> probe;
    return probe;
}

bool debuggerAttached() {
    std::function<bool()> probe;
    {
        std::lock_guard guard(probeMutex());
        probe = debuggerProbe();
    }
    return probe ? probe() : platform::isBeingTraced();
}

}  // namespace

void BaseIntegration::setDebuggerAttachedProbe(std::function<bool()> probe) {
    std::lock_guard guard(probeMutex());
    debuggerProbe() = std::move(probe);
}

bool BaseIntegration::installWithOptions(const Options& options) {
    return shouldBeEnabledWithOptions(options);
}

bool BaseIntegration::shouldBeEnabledWithOptions(const Options& options) const {
    const uint32_t flags = integrationOptions();
    auto refuse = [&](const std::string& reason) {
        SKALD_LOG_DEBUG("Not going to enable %s %s.", name_.c_str(), reason.c_str());
        return false;
    };
    auto disabled = [&](const char* option) {
        return refuse(std::string("because ") + option + " is disabled");
    };
    constexpr const char* kZeroTimeout = "because appHangTimeoutInterval is 0";

    if ((flags & kIntegrationOptionEnableAutoSessionTracking) && !options.enableAutoSessionTracking)
        return disabled("enableAutoSessionTracking");
    if ((flags & kIntegrationOptionEnableWatchdogTerminationTracking) &&
        !options.enableWatchdogTerminationTracking)
        return disabled("enableWatchdogTerminationTracking");
    if ((flags & kIntegrationOptionEnableAutoPerformanceTracing) &&
        !options.enableAutoPerformanceTracing)
        return disabled("enableAutoPerformanceTracing");
    if (flags & kIntegrationOptionEnableAppHangTracking) {
        if (!options.enableAppHangTracking) return disabled("enableAppHangTracking");
        if (options.appHangTimeoutInterval == 0) return refuse(kZeroTimeout);
    }
    if (flags & kIntegrationOptionEnableAppHangTrackingV2) {
        if (!options.enableAppHangTrackingV2) return disabled("enableAppHangTrackingV2");
        if (options.appHangTimeoutInterval == 0) return refuse(kZeroTimeout);
    }
    if ((flags & kIntegrationOptionEnableNetworkTracking) && !options.enableNetworkTracking)
        return disabled("enableNetworkTracking");
    if ((flags & kIntegrationOptionEnableFileIOTracing) && !options.enableFileIOTracing)
        return disabled("enableFileIOTracing");
    if ((flags & kIntegrationOptionEnableNetworkBreadcrumbs) && !options.enableNetworkBreadcrumbs)
        return disabled("enableNetworkBreadcrumbs");
    if ((flags & kIntegrationOptionEnableCoreDataTracing) && !options.enableCoreDataTracing)
        return disabled("enableCoreDataTracing");
    if ((flags & kIntegrationOptionEnableSwizzling) && !options.enableSwizzling)
        return disabled("enableSwizzling");
    if ((flags & kIntegrationOptionEnableAutoBreadcrumbTracking) &&
        !options.enableAutoBreadcrumbTracking)
        return disabled("enableAutoBreadcrumbTracking");
    if ((flags & kIntegrationOptionIsTracingEnabled) && !options.isTracingEnabled())
        return disabled("isTracingEnabled");
    if ((flags & kIntegrationOptionDebuggerNotAttached) && debuggerAttached())
        return refuse("because the debugger is attached");
    if ((flags & kIntegrationOptionEnableCrashHandler) && !options.enableCrashHandler)
        return disabled("enableCrashHandler");
    // The OS-version condition of the other platform does not exist here.
    if ((flags & kIntegrationOptionEnableMetricKit) && !options.enableMetricKit)
        return disabled("enableMetricKit");
    return true;
}

IntegrationRegistry& IntegrationRegistry::shared() {
    // Never destroyed: integrations may be asked for while the process exits.
    static auto* registry = new IntegrationRegistry();
    return *registry;
}

void IntegrationRegistry::registerIntegration(const std::string& name, Factory factory) {
    std::lock_guard guard(mutex_);
    factories_[name] = std::move(factory);
}

void IntegrationRegistry::unregisterIntegration(const std::string& name) {
    std::lock_guard guard(mutex_);
    factories_.erase(name);
}

bool IntegrationRegistry::contains(const std::string& name) const {
    std::lock_guard guard(mutex_);
    return factories_.count(name) != 0;
}

std::shared_ptr<Integration> IntegrationRegistry::create(const std::string& name) const {
    Factory factory;
    {
        std::lock_guard guard(mutex_);
        auto it = factories_.find(name);
        if (it == factories_.end()) return nullptr;
        factory = it->second;
    }
    return factory ? factory() : nullptr;
}

}  // namespace skald
