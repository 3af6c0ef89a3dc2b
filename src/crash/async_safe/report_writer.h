// Async-signal-safe: writes crash reports straight to disk while the process
// is dying, through a 1024-byte buffer, without allocating.
#pragma once

#include "crash/async_safe/monitor_context.h"

namespace skald::crash::writer {

/// The full report of one crash, section by section; each section is flushed
/// to the file before the next begins, so a crash in the middle leaves the
/// completed ones readable.
void writeStandardReport(const MonitorContext* context, const char* path);

/// The report of a crash during crash handling: the file at `path` (the
/// first, perhaps partial, report) is embedded as "recrash_report" beside a
/// minimal report of the second crash.
void writeRecrashReport(const MonitorContext* context, const char* path);

// --- Settings: off the crash path -----------------------------------------

/// Puts the host's own JSON for the "user" section (null: none) in place
/// and returns the text it replaces. Its setter (crash_snapshot_setters.h)
/// owns the texts.
char* exchangeUserInfoJSON(char* json);
/// Whether notable addresses (registers and stack words pointing at text)
/// are looked at.
void setIntrospectMemory(bool introspect);

/// Test seam: called after each completed section with its name, and with
/// "closed" once a standard report's file is closed.
void setSectionWrittenHook(void (*hook)(const char* section));

}  // namespace skald::crash::writer
