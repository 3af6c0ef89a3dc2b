#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "skald/platform/block.h"

namespace skald::platform {

/// The main queue is the host's main loop. The process records its main
/// thread when it is loaded; a host that runs a loop registers it here.
///
/// Without a registered loop, blocks posted from the main thread run at
/// once, and blocks posted from other threads wait in a pending list until a
/// loop is registered or the main thread calls `drainPending` (callers are
/// told through the result so that nothing waits unnoticed).
class MainQueue {
  public:
    static bool isMainThread();
    /// The kernel thread id of the main thread.
    static pid_t mainThreadId();

    static void registerLoop(Executor loop);
    static void unregisterLoop();
    static bool hasLoop();
    /// Waits until a loop is registered, `wakeLoopWaiters` is called or
    /// `timeout` passes; whether there is a loop then.
    static bool waitForLoop(Duration timeout);
    /// The same, also ending at once when `wakeLoopWaiters` was called since
    /// `loopWaitGeneration` gave `generation`: a waiter takes it before it
    /// checks whether to wait, so that a wake in between is not lost.
    static bool waitForLoop(Duration timeout, uint64_t generation);
    static uint64_t loopWaitGeneration();
    static void wakeLoopWaiters();

    enum class Dispatch {
        Queued,  ///< handed to the registered loop
        RanInline,
        Pending,  ///< no loop: waits in the pending list
    };
    static Dispatch async(Block block);

    /// Runs the block on the main thread and waits at most `timeout` for it.
    /// Inline on the main thread. False when it did not finish in time or
    /// there is no loop to run it.
    static bool syncWithTimeout(Block block, Duration timeout);

    /// On the main thread: runs the pending blocks; returns how many ran.
    static size_t drainPending();
    static size_t pendingCount();
};

}  // namespace skald::platform
