// Async-signal-safe: the monitors that are crash-time code throughout.
#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash {

// The crash-time monitors of the registry's table. Each returns a static
// description. (The exception monitors are recording/exception_monitors.h.)
const MonitorAPI* machExceptionMonitorApi();
const MonitorAPI* signalMonitorApi();
const MonitorAPI* appStateMonitorApi();

/// Set off the crash path before the signal monitor is first enabled: gives
/// every thread an alternate signal stack, false when it cannot (the
/// handlers are then not installed). Without one, no stacks are prepared.
void setSignalStackPreparation(bool (*prepare)());

/// SIGTERM is reported only when switched on; takes effect at the next enable.
void setSigtermMonitoringEnabled(bool enabled);

/// The signals the signal monitor handles, in order; SIGTERM last, only when
/// switched on.
const int* fatalSignals();
int fatalSignalCount();

}  // namespace skald::crash
