// Async-signal-safe: what happens with a crash event once a monitor has filled it.
#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash::handler {

/// The registry's event callback: marks the crash in the crash state, writes
/// the report (a recrash report when the handling itself crashed), then hands
/// the report's attachments directory to the attachment callbacks.
void handleCrashEvent(MonitorContext* context);

/// Takes the path of the next report ahead of the work a monitor does before
/// the event (walking a stack that may be corrupt, say), so that a crash in
/// that work has a report path to write to. The next standard report is
/// written there. False when no path can be made (not installed).
bool reserveReportPath();

/// Called with a report's attachments directory at crash time, on the
/// crashing thread; must be async-signal-safe.
using AttachmentCallback = void (*)(const char* directory);
void setAttachmentCallback(AttachmentCallback callback);
void setSecondAttachmentCallback(AttachmentCallback callback);
bool hasAttachmentCallback();
bool hasSecondAttachmentCallback();

/// Runs after a standard report is written; for session replay.
void setSessionReplayHook(void (*hook)());

/// The report written (or reserved) last in this process ("" before any).
const char* lastReportPath();

}  // namespace skald::crash::handler
