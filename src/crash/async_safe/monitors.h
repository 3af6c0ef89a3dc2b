#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash {

// The monitors of the registry's table. Each returns a static description.
const MonitorAPI* machExceptionMonitorApi();
const MonitorAPI* signalMonitorApi();
/// The application layer's exception type: the stand-in of the object
/// runtime's uncaught exceptions.
const MonitorAPI* nsExceptionMonitorApi();
const MonitorAPI* cppExceptionMonitorApi();
const MonitorAPI* appStateMonitorApi();

/// SIGTERM is reported only when switched on; takes effect at the next enable.
void setSigtermMonitoringEnabled(bool enabled);

/// The signals the signal monitor handles, in order; SIGTERM last, only when
/// switched on.
const int* fatalSignals();
int fatalSignalCount();

}  // namespace skald::crash
