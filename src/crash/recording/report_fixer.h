#pragma once

namespace skald::crash {

/// The stored report re-encoded pretty-printed, with the report's integer
/// "timestamp" (also the one of an embedded "recrash_report") written as a
/// UTC date text "YYYY-MM-DDTHH:MM:SSZ". A malloc'd text, or null when the
/// report cannot be decoded.
char* fixupCrashReport(const char* report);

}  // namespace skald::crash
