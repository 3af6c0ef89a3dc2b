#pragma once

#include "crash/async_safe/monitor_context.h"
#include "crash/async_safe/monitor_registry.h"

// Choosing the active monitors, off the crash path: the registry
// (monitor_registry.h) only applies the choice.

namespace skald::crash::registry {

/// Turns on exactly the requested monitors that can run: none of the
/// exception monitors while a debugger is attached, only the async-safe ones
/// once async safety is required. Afterwards the active set holds the bits of
/// the monitors that answer `isEnabled`. Hands the registry the exception
/// monitors and the signal monitor its stack preparation first.
void setActiveMonitors(MonitorType monitorTypes);

bool debuggerWarningGiven();

/// Test seams: a replacement for the "is a debugger attached" query, and a
/// return to the state of a fresh process.
void setDebuggerProbe(bool (*probe)());
void resetForTesting();

}  // namespace skald::crash::registry
