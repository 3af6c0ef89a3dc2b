#pragma once

#include <cstddef>

namespace skald::crash::altstack {

/// The size of each thread's signal stack: the system's minimum from
/// sysconf, but never below 128 KiB, rounded up to whole pages.
size_t stackSize();

/// Gives the calling thread a signal stack unless it has one big enough.
/// Only system calls: also safe inside a signal handler.
bool ensureForCurrentThread();

/// Gives every thread a signal stack, so that a stack overflow on any of
/// them can still be handled: the calling thread at once, the others through
/// a signal they each answer, threads started later as they start. Threads
/// that block that signal keep what they have.
bool installOnAllThreads();

/// Whether threads started from now on get one (turned on by installOnAllThreads).
void setEnabledForNewThreads(bool enabled);

}  // namespace skald::crash::altstack
