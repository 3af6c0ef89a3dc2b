// Async-signal-safe: formats into a stack buffer and writes to stderr with write().
#pragma once

namespace skald::crash {

/// Writes "[Skald] [error] " followed by the given texts and a newline to
/// stderr in one write. Null texts are skipped; the line is cut at 511 bytes.
void logError(const char* text1, const char* text2 = nullptr, const char* text3 = nullptr,
              const char* text4 = nullptr);

/// Writes "[Skald] [debug] " and the texts the same way, only while debug
/// logging is on. Code that runs while the process crashes uses this instead
/// of the SDK's logger, which formats, allocates and locks.
void logDebug(const char* text1, const char* text2 = nullptr);

/// Follows the SDK's log settings (the logger turns it on for `debug` with a
/// diagnostic level of debug); off by default.
void setDebugLogging(bool enabled);
bool isDebugLogging();

/// The system's fixed English text for an errno value; never null.
const char* errorText(int errnum);

}  // namespace skald::crash
