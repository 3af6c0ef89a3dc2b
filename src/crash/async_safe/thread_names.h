// Async-signal-safe: the snapshot of the process's threads and their names
// that crash-time code reads, kept current off the crash path by the
// cached-data thread (recording/cached_data.h).
#pragma once

#include <sys/types.h>

namespace skald::crash::threadnames {

inline constexpr int kMaxThreads = 1024;
/// Linux thread names hold at most 15 characters.
inline constexpr int kNameSize = 16;

struct Snapshot {
    int count;
    pid_t tids[kMaxThreads];
    char names[kMaxThreads][kNameSize];
};

/// While frozen (counted), the published snapshot is not replaced.
void freeze();
void unfreeze();
bool isFrozen();

int threadCount();
/// The kernel thread ids of the snapshot; at most `capacity` are copied.
int threadIds(pid_t* ids, int capacity);
/// The thread's name, or null when the snapshot has none.
const char* threadName(pid_t tid);
/// Linux threads have no dispatch queue: always null.
const char* queueName(pid_t tid);

// --- For the refresh, off the crash path ---------------------------------------

/// The snapshot that readers are not pointed at, to be filled.
Snapshot& beginWrite();
/// Publishes the snapshot of the last beginWrite(); false, publishing
/// nothing, when a reader froze the cache meanwhile.
bool publishWrite();

}  // namespace skald::crash::threadnames
