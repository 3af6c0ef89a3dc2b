// Async-signal-safe on the crash path (notify, handle); setting the active
// monitors with exception monitors requested asks whether a debugger is
// attached, which is only done off the crash path.
#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash::registry {

/// Turns on exactly the requested monitors that can run: none of the
/// exception monitors while a debugger is attached, only the async-safe ones
/// once async safety is required. Afterwards the active set holds the bits of
/// the monitors that answer `isEnabled`.
void setActiveMonitors(MonitorType monitorTypes);
MonitorType activeMonitors();

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

bool debuggerWarningGiven();

/// Test seams: a replacement for the "is a debugger attached" query, and a
/// return to the state of a fresh process.
void setDebuggerProbe(bool (*probe)());
void resetForTesting();

/// The monitors of the table, in order, for the tests.
const MonitorAPI* monitorApi(MonitorType type);

}  // namespace skald::crash::registry
