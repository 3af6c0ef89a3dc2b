// Async-signal-safe: the table of monitors and the state of crash handling.
// Which monitors to turn on is decided off the crash path
// (recording/monitor_activation.h), which applies its choice here.
#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash::registry {

/// Turns on exactly the requested monitors (only the async-safe ones once
/// async safety is required) and turns the others off. Afterwards the active
/// set holds the bits of the monitors that answer `isEnabled`. Called with
/// none at crash time, when it only turns monitors off.
void applyActiveMonitors(MonitorType monitorTypes);
MonitorType activeMonitors();

/// Hands in the entry for the NSException or the C++ exception monitor,
/// whose handlers run in ordinary context outside the crash-time code.
void setMonitorApi(MonitorType type, const MonitorAPI* api);

/// Called with every handled event, on the crashing thread.
using EventCallback = void (*)(MonitorContext* context);
void setEventCallback(EventCallback callback);

/// What a monitor's handler learns when it reports a fatal event.
enum class FatalCapture {
    /// This is the first fatal event: handle it.
    kFirst,
    /// The thread handling an event crashed again: all monitors are off;
    /// handle it as a crash during crash handling.
    kCrashedDuringHandling,
    /// Another thread owns the handling: wait for it (`waitForHandlingToEnd`)
    /// and do not write anything.
    kOtherThreadHandling,
};

/// Marks the start of handling a fatal event. The first thread to call this
/// owns the handling for the life of the process.
FatalCapture notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment);

/// Lets each active monitor add to the record, calls the event callback, and
/// turns every monitor off after a fatal event, so that re-raising the
/// signal reaches the previous handler.
void handleException(MonitorContext* context);

/// For a thread that crashed while another one handles its crash: returns
/// once that handling has ended, or after `timeoutMillis`.
void waitForHandlingToEnd(int timeoutMillis);

/// Test seam: the handling state of a fresh process, every monitor off.
void resetHandlingForTesting();

}  // namespace skald::crash::registry
