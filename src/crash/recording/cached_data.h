#pragma once

#include <sys/types.h>

#include <functional>

#include "crash/async_safe/thread_names.h"

namespace skald::crash {

/// A background snapshot of the process's threads and their names, so that
/// the crash-time writer never has to list threads itself. The readers are
/// async-signal-safe and lock-free (they read thread_names.h, which the
/// crash-time writer reads directly); a reader freezes the cache while it reads.
class CachedData {
  public:
    static constexpr int kMaxThreads = threadnames::kMaxThreads;

    /// Starts the refresh thread once; the first four refreshes come one
    /// second apart, later ones every `pollIntervalSeconds`.
    static void start(double pollIntervalSeconds);
    static void stop();

    static void freeze();
    static void unfreeze();

    // Crash-time readers.
    static int threadCount();
    /// The kernel thread ids of the snapshot; at most `capacity` are copied.
    static int threadIds(pid_t* ids, int capacity);
    /// The thread's name, or null when the snapshot has none.
    static const char* threadName(pid_t tid);
    /// Linux threads have no dispatch queue: always null.
    static const char* queueName(pid_t tid);

    /// Refreshes once now (off the crash path); false while frozen.
    static bool refresh();

    /// Test seam: how the refresh thread waits between rounds.
    using Sleeper = std::function<void(double seconds)>;
    static void setSleeper(Sleeper sleeper);
};

}  // namespace skald::crash
