#pragma once

#include "crash/async_safe/stack_cursor.h"

namespace skald::crash {

/// Walks the calling thread: the first entry is the return address into the
/// caller of this function (after `skipEntries`). Not async-signal-safe: the
/// stack's upper limit comes from `pthread_getattr_np` (cached per thread).
/// The cursor reads the caller's live frames, so it must be used up before
/// the caller returns.
void initSelfThreadCursor(StackCursor* cursor, int skipEntries, int maxDepth);

}  // namespace skald::crash
