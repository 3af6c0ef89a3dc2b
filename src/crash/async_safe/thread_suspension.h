// Async-signal-safe after prepareThreadSuspension(): stops the process's other
// threads by signalling them, since Linux has no call to suspend a thread.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "crash/async_safe/registers.h"

namespace skald::crash {

/// Threads beyond this many are neither stopped nor recorded.
inline constexpr int kMaxSuspendedThreads = 100;
/// Return addresses a stopped thread records of its own stack.
inline constexpr int kMaxSuspendedFrames = 150;
/// Of those, the outermost kept when the stack holds more.
inline constexpr int kSuspendedOutermostFrames = 30;
/// Linux thread names hold at most 15 characters.
inline constexpr int kThreadNameSize = 16;

/// What a stopped thread recorded about itself, in its slot.
struct ThreadSnapshot {
    pid_t thread;
    /// The thread answered in time: registers and frames are valid.
    bool captured;
    Registers registers;
    /// The trap number, error code and fault address of the interrupted state.
    ExceptionRegisters exception;
    /// Its stack from the interrupted instruction on, walked by the thread itself.
    uintptr_t frames[kMaxSuspendedFrames];
    int frameCount;
    /// The stack held more than kMaxSuspendedFrames: frames were left out.
    bool framesTruncated;
    /// How many were left out, and where (see UnwindResult); 0 when unknown
    /// (the frame-pointer walk stops at the limit).
    long framesSkipped;
    int framesSkippedAt;
    /// The thread's name as it read it when stopped; empty when it could not.
    char name[kThreadNameSize];
};

/// The real-time signal reserved for stopping threads.
int suspensionSignal();

/// Installs the handler of the suspension signal (SA_SIGINFO | SA_RESTART |
/// SA_ONSTACK). Off the crash path; idempotent; false when it cannot.
bool prepareThreadSuspension();

/// Lists the process's threads (/proc/self/task, read with raw system calls),
/// signals every one except the caller and `excluded` (may be null) and waits
/// until each has recorded its snapshot and parked, or until `timeoutMillis`
/// passed in all; threads that did not answer in time stay listed with
/// `captured` false. Returns the number of threads listed, the caller
/// included (as `captured` false; its registers come from elsewhere). Only
/// one suspension at a time: a second caller while one is active gets 0.
int suspendEnvironment(const pid_t* excluded, int excludedCount, int timeoutMillis = 250);

/// Releases every parked thread of the last suspension. Without one it logs
/// "we should call suspendEnvironment() first" and does nothing.
void resumeEnvironment();

/// Whether a suspension is active.
bool isEnvironmentSuspended();

/// The threads of the active (or last) suspension, in /proc order.
int suspendedThreadCount();
const ThreadSnapshot* suspendedThread(int index);
/// The snapshot of `thread`, or null when it is not listed.
const ThreadSnapshot* snapshotOfThread(pid_t thread);

}  // namespace skald::crash
