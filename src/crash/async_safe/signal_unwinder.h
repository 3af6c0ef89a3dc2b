// Async-signal-safe on this platform's C library (see the source): the stack
// of the code that a signal interrupted, read from the unwind tables.
#pragma once

#include <cstdint>

namespace skald::crash {

/// Warms the unwinder up off the crash path (its first use initialises state).
void prepareSignalUnwinder();

/// What a walk gave.
struct UnwindResult {
    /// Addresses written; 0 when the tables do not lead past the signal
    /// frame, -1 when the walk faulted (see below).
    int count;
    /// Frames left out between the innermost and the outermost ones kept.
    long skipped;
    /// Where in `addresses` the left-out frames were (the first outermost
    /// one kept); meaningful only when `skipped` is not 0.
    int skippedAt;
};

/// From inside a signal handler: the interrupted instruction's address, then
/// the return addresses of its callers. Follows frames that keep no frame
/// pointer, such as the C library's. When the stack holds more than
/// `capacity` frames, the innermost `capacity - keepOutermost` and the
/// outermost `keepOutermost` are kept (so that a runaway recursion still
/// shows where the thread started) and the rest are counted in `skipped`.
/// Several threads may walk at once. The unwinder reads the stack directly,
/// so a corrupt stack can make it fault: the handler of that fault must call
/// `leaveUnwinderAfterFault` first, and the walk then gives -1. Without such
/// a handler (see `setUnwinderFaultRecovery`) nothing is walked and it gives 0.
UnwindResult unwindInterruptedStack(uintptr_t* addresses, int capacity, int keepOutermost = 0);

/// Whether the fatal signal handlers, which call `leaveUnwinderAfterFault`,
/// are installed; set by the signal monitor.
void setUnwinderFaultRecovery(bool installed);

/// To be called first by the handler of every fatal signal: when the signal
/// is a fault of `unwindInterruptedStack` on this thread, jumps back into it
/// (and does not return); otherwise does nothing.
void leaveUnwinderAfterFault();

}  // namespace skald::crash
