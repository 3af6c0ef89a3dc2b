// Async-signal-safe on this platform's C library (see the source): the stack
// of the code that a signal interrupted, read from the unwind tables.
#pragma once

#include <cstdint>

namespace skald::crash {

/// Warms the unwinder up off the crash path (its first use initialises state).
void prepareSignalUnwinder();

/// From inside a signal handler: the interrupted instruction's address, then
/// the return addresses of its callers; returns how many (0 when the tables
/// do not lead past the signal frame). Follows frames that keep no frame
/// pointer, such as the C library's. The unwinder reads the stack directly,
/// so a corrupt stack can make it fault: the handler of that fault must call
/// `leaveUnwinderAfterFault` first, and this then returns -1.
int unwindInterruptedStack(uintptr_t* addresses, int capacity);

/// To be called first by the handler of every fatal signal: when the signal
/// is a fault of `unwindInterruptedStack` on this thread, jumps back into it
/// (and does not return); otherwise does nothing.
void leaveUnwinderAfterFault();

}  // namespace skald::crash
