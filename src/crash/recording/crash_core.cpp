#include "crash/recording/crash_core.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

#include "crash/async_safe/app_state.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/loaded_images.h"
#include "crash/recording/app_state_monitor.h"
#include "crash/recording/cached_data.h"
#include "crash/recording/monitor_activation.h"
#include "crash/recording/report_store.h"
#include "platform/process/no_destructor.h"
#include "util/log.h"

namespace skald::crash::core {

namespace {

constexpr double kCachePollIntervalSeconds = 60;

std::mutex gMutex;
bool gInstalled = false;
bool gEverInstalled = false;
MonitorType gMonitoring = monitor_type::kAll;
platform::NoDestructor<std::string> gReportsPath;

MonitorType applyMonitoring() {
    registry::setActiveMonitors(gMonitoring);
    if (registry::debuggerWarningGiven()) {
        SKALD_LOG_WARNING(
            "A debugger is attached: crash handling is off while it is. Detach it to test "
            "crash reporting.");
    }
    return registry::activeMonitors();
}

}  // namespace

MonitorType install(const std::string& appName, const std::string& installPath) {
    const std::lock_guard lock(gMutex);
    if (gEverInstalled) {
        if (gInstalled) return gMonitoring;
        // After an uninstall the store and the crash state stay as they were;
        // handling comes back with the stored monitors.
        CachedData::start(kCachePollIntervalSeconds);
        registry::setEventCallback(handler::handleCrashEvent);
        gInstalled = true;
        return applyMonitoring();
    }
    gEverInstalled = true;

    *gReportsPath = installPath + "/Reports";
    if (!makeDirectoryWithParents(gReportsPath->c_str())) return monitor_type::kNone;
    initializeReportStore(appName.c_str(), gReportsPath->c_str());
    const std::string dataPath = installPath + "/Data";
    if (!makeDirectoryWithParents(dataPath.c_str())) return monitor_type::kNone;
    appstate::initialize(installPath);
    // The cached-data thread starts the image list (its first fill reads
    // every loaded image); crash time describes what is not listed yet, and
    // needs the program's own name for that.
    char executable[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (length > 0) {
        executable[length] = '\0';
        images::setExecutablePath(executable);
    }
    CachedData::start(kCachePollIntervalSeconds);
    registry::setEventCallback(handler::handleCrashEvent);
    gInstalled = true;
    return applyMonitoring();
}

MonitorType setMonitoring(MonitorType monitoring) {
    const std::lock_guard lock(gMutex);
    gMonitoring = monitoring;
    if (!gInstalled) return registry::activeMonitors();
    return applyMonitoring();
}

MonitorType monitoring() {
    const std::lock_guard lock(gMutex);
    return gMonitoring;
}

bool isInstalled() {
    const std::lock_guard lock(gMutex);
    return gInstalled;
}

void uninstall() {
    const std::lock_guard lock(gMutex);
    registry::setEventCallback(nullptr);
    gInstalled = false;
    CachedData::stop();
}

void notifyAppActive(bool isActive) {
    appstate::notifyAppActive(isActive);
}

void notifyAppInForeground(bool isInForeground) {
    appstate::notifyAppInForeground(isInForeground);
}

void notifyAppTerminate() {
    appstate::notifyAppTerminate();
}

void notifyAppCrash() {
    appstate::notifyAppCrash();
}

const std::string& reportsPath() {
    return *gReportsPath;
}

}  // namespace skald::crash::core
