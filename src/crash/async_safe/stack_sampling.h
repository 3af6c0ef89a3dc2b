// Async-signal-safe after prepareStackSampling(): the profiler's stack
// samples. Each signalled thread walks its own frame pointers in its handler
// and leaves at once; no other thread is stopped while it does.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace skald::crash {

/// Return addresses a sampled thread records at most.
inline constexpr int kMaxSampledFrames = 128;
/// Threads sampled in one round at most.
inline constexpr int kMaxSampledThreads = 256;

/// One thread to sample and what is known of its stack: the highest address
/// (exclusive) and the lowest of its mapping, both 0 when unknown; unknown
/// bounds make the walk read each frame with the fault-free read.
struct SampleRequest {
    pid_t thread;
    uintptr_t stackLow;
    uintptr_t stackHigh;
};

/// What a sampled thread recorded of itself.
struct ThreadStackSample {
    pid_t thread;
    /// The thread ran its handler (in this call or since an earlier one):
    /// the rest is valid.
    bool answered;
    /// It did not answer for too long and is no longer asked.
    bool abandoned;
    /// The walk reached the outermost frame; a truncated walk is no sample.
    bool reachedEnd;
    int frameCount;
    /// CLOCK_MONOTONIC when the stack was read.
    uint64_t timestampNanos;
    /// How long the thread spent in the handler.
    uint64_t pauseNanos;
    /// The interrupted stack pointer, to look the stack's bounds up with.
    uintptr_t stackPointer;
    /// The interrupted instruction − 1, then each saved return address − 1.
    uintptr_t frames[kMaxSampledFrames];
};

struct FrameWalk {
    int count;
    bool reachedEnd;
};

/// Walks the frame-pointer chain from `framePointer` inside the stack
/// [`stackLow`, `stackHigh` − 16); with `stackHigh` 0 every read is fault-free and
/// the chain only has to climb. Records `instruction` − 1 first, then each
/// saved return address − 1, at most `maxDepth` in all.
FrameWalk walkFramePointers(uintptr_t instruction, uintptr_t framePointer, uintptr_t stackLow,
                            uintptr_t stackHigh, uintptr_t* addresses, int maxDepth);

/// The real-time signal reserved for stack samples.
int stackSamplingSignal();

/// Installs the handler of the sampling signal; off the crash path,
/// idempotent, false when it cannot.
bool prepareStackSampling();

/// Signals every requested thread (at most kMaxSampledThreads) and waits
/// until each has recorded its sample, or until `timeoutNanos` passed;
/// copies the samples into `results` (same order). A thread that has not
/// answered stays asked: it is not signalled again, and its sample, taken
/// whenever it next runs, is given by a later call that requests it again.
/// A thread left out of a call, or still silent after
/// kMaxPendingRounds calls (it blocks the signal), is given up on and its
/// result says `abandoned`. One caller at a time: a second caller while one
/// runs gets -1. Returns how many answered.
int sampleThreadStacks(const SampleRequest* requests, int count, ThreadStackSample* results,
                       int64_t timeoutNanos);

/// Calls a thread may stay silent before it is given up on.
inline constexpr int kMaxPendingRounds = 100;

}  // namespace skald::crash
