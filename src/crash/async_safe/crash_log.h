// Async-signal-safe: formats into a stack buffer and writes to stderr with write().
#pragma once

namespace skald::crash {

/// Writes "[Skald] [error] " followed by the given texts and a newline to
/// stderr in one write. Null texts are skipped; the line is cut at 511 bytes.
void logError(const char* text1, const char* text2 = nullptr, const char* text3 = nullptr,
              const char* text4 = nullptr);

/// The system's fixed English text for an errno value; never null.
const char* errorText(int errnum);

}  // namespace skald::crash
