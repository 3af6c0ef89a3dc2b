#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash {

// The monitors whose handlers start in ordinary context (a terminate handler,
// the application layer's uncaught-exception handler): they may allocate
// until they stop the other threads, so they are not crash-time code. The
// registry learns of them through monitor_activation.h.

/// The application layer's exception type: the stand-in of the object
/// runtime's uncaught exceptions.
const MonitorAPI* nsExceptionMonitorApi();
const MonitorAPI* cppExceptionMonitorApi();

/// From a terminate handler: when the current exception is the application
/// layer's and its uncaught-exception handler is set, hands it over (that
/// monitor reports it) and returns true; false otherwise.
bool handOverCurrentAppException();

}  // namespace skald::crash
