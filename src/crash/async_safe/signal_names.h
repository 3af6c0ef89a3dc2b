// Async-signal-safe: static name tables for the "error" section of crash reports.
#pragma once

#include <cstdint>

namespace skald::crash {

/// "SIGSEGV" and the others of the fatal-signal table; null for other signals.
const char* signalName(int signum);
/// "SEGV_MAPERR" and so on; null when the signal's table has no such code.
const char* signalCodeName(int signum, int code);
/// "EXC_BAD_ACCESS" … "EXC_CRASH" for 1 to 10; null otherwise.
const char* machExceptionName(int64_t exception);
/// "KERN_SUCCESS" … "KERN_CODESIGN_ERROR" for 0 to 50; null otherwise.
const char* kernelReturnCodeName(int64_t code);

}  // namespace skald::crash
