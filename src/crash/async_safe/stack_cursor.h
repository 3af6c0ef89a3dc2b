// Async-signal-safe: stack walks that read only memory known to be mapped.
// (Walking the calling thread, which asks the system for its stack, is
// recording/self_thread_cursor.h.)
#pragma once

#include <cstdint>

namespace skald::crash {

/// An entry with this address is not a frame: it marks the start of an
/// asynchronous stack stitched below it.
inline constexpr uintptr_t kAsyncMarkerAddress = static_cast<uintptr_t>(-1235);
inline constexpr const char* kAsyncMarkerSymbol = "__skaldcrash__async_marker__";

/// The current frame of a cursor. Only `address` is set by advancing; the
/// rest is filled by symbolication.
struct StackEntry {
    uintptr_t address;
    const char* imageName;
    uintptr_t imageAddress;
    const char* symbolName;
    uintptr_t symbolAddress;
};

/// A walk over one thread's stack, one entry (a return address) at a time.
/// Plain data with operations as function pointers, so that crash-time code
/// can keep cursors in static records.
struct StackCursor {
    StackEntry stackEntry;
    /// Entries given so far.
    int depth;
    int maxDepth;
    /// The walk stopped because it reached `maxDepth`, not the stack's end.
    bool hasGivenUp;
    /// The first entry is where the thread stopped, not a return address, so
    /// symbolication looks it up as it is rather than one byte before it.
    bool firstEntryIsExact;
    /// The addresses walked were themselves cut short: reaching their end
    /// counts as giving up.
    bool sourceTruncated;
    /// Frames left out of the middle of the walk (a runaway recursion keeps
    /// its innermost and outermost frames), and the entry index where they were.
    long skippedEntries;
    int skippedAt;

    bool (*advanceCursor)(StackCursor* cursor);
    void (*resetCursor)(StackCursor* cursor);
    bool (*symbolicate)(StackCursor* cursor);

    union {
        /// Follows the chain of saved frame pointers ([rbp] = caller's rbp,
        /// [rbp + 8] = return address) inside [stackLow, stackHigh).
        struct {
            uintptr_t firstAddress;
            uintptr_t framePointer;
            uintptr_t stackLow;
            uintptr_t stackHigh;
            int skip;
            // Walk state.
            uintptr_t nextFramePointer;
            bool firstTaken;
            int skipLeft;
        } framePointer;
        /// Reads a list of addresses captured earlier.
        struct {
            const uintptr_t* addresses;
            int count;
            int skip;
            int index;
        } backtrace;
    } state;
};

/// Moves to the next entry; false at the end of the walk.
inline bool advanceCursor(StackCursor* cursor) {
    return cursor->advanceCursor(cursor);
}
/// Starts the walk over.
inline void resetCursor(StackCursor* cursor) {
    cursor->resetCursor(cursor);
}
/// Fills the current entry's image (and symbol, where known); false when no
/// image holds the address.
inline bool symbolicateCursor(StackCursor* cursor) {
    return cursor->symbolicate(cursor);
}

/// A frame-pointer walk that starts at `firstAddress` and continues with the
/// frame record at `framePointer`. Every frame record read must lie inside
/// [stackLow, stackHigh) and above the previous one, so that a broken chain
/// ends the walk instead of faulting; the range must be mapped memory.
void initFramePointerCursor(StackCursor* cursor, uintptr_t firstAddress, uintptr_t framePointer,
                            uintptr_t stackLow, uintptr_t stackHigh, int skipEntries, int maxDepth);

/// Walks `addresses` (not copied) after skipping `skipEntries`; ends at the
/// end of the array or at an address of 0 or 1.
void initBacktraceCursor(StackCursor* cursor, const uintptr_t* addresses, int count,
                         int skipEntries);

/// The default symbolication: the image holding the address from the
/// crash-time image table, and the exported symbol that holds it, if any.
bool symbolicateFromImages(StackCursor* cursor);

}  // namespace skald::crash
