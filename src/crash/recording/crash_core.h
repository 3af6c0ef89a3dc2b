#pragma once

#include <string>

#include "crash/async_safe/crash_event_handler.h"
#include "crash/async_safe/monitor_context.h"

namespace skald::crash::core {

/// Sets up crash reporting once: "<installPath>/Reports" for the reports of
/// `appName`, "<installPath>/Data/CrashState.json" for the crash state, the
/// thread-name cache and the image list, the event callback, and the stored
/// monitoring set. A later call only returns the stored monitoring set, or,
/// after `uninstall`, turns handling and the stored monitors back on.
MonitorType install(const std::string& appName, const std::string& installPath);

/// Stores the set and, once installed, applies it; returns the active set.
MonitorType setMonitoring(MonitorType monitoring);
MonitorType monitoring();
bool isInstalled();

/// Clears the event callback and stops the cache thread. The monitors stay
/// as they are: turning them off is `setMonitoring(0)`.
void uninstall();

void notifyAppActive(bool isActive);
void notifyAppInForeground(bool isInForeground);
void notifyAppTerminate();
void notifyAppCrash();

/// The reports directory of the installation ("" before install).
const std::string& reportsPath();

}  // namespace skald::crash::core
