// Async-signal-safe: two static snapshots swapped by index, an atomic freeze count.
#include "crash/async_safe/thread_names.h"

#include <time.h>

#include <atomic>

namespace skald::crash::threadnames {

namespace {

// Two buffers: the refresh writes the one readers are not pointed at.
Snapshot gSnapshots[2];
std::atomic<int> gCurrent{-1};
std::atomic<int> gFrozen{0};
int gWriting = 0;

const Snapshot* current() {
    const int index = gCurrent.load();
    return index < 0 ? nullptr : &gSnapshots[index];
}

}  // namespace

void freeze() {
    if (gFrozen.fetch_add(1) <= 0) {
        // Lets a refresh that is under way finish.
        const timespec pause{0, 1000};
        ::nanosleep(&pause, nullptr);
    }
}

void unfreeze() {
    if (gFrozen.fetch_sub(1) - 1 < 0) gFrozen.fetch_add(1);
}

bool isFrozen() {
    return gFrozen.load() > 0;
}

int threadCount() {
    const Snapshot* snapshot = current();
    return snapshot == nullptr ? 0 : snapshot->count;
}

int threadIds(pid_t* ids, int capacity) {
    const Snapshot* snapshot = current();
    if (snapshot == nullptr) return 0;
    const int n = snapshot->count < capacity ? snapshot->count : capacity;
    for (int i = 0; i < n; ++i) ids[i] = snapshot->tids[i];
    return n;
}

const char* threadName(pid_t tid) {
    const Snapshot* snapshot = current();
    if (snapshot == nullptr) return nullptr;
    for (int i = 0; i < snapshot->count; ++i) {
        if (snapshot->tids[i] == tid) return snapshot->names[i][0] ? snapshot->names[i] : nullptr;
    }
    return nullptr;
}

const char* queueName(pid_t) {
    return nullptr;
}

Snapshot& beginWrite() {
    gWriting = gCurrent.load() == 0 ? 1 : 0;
    return gSnapshots[gWriting];
}

bool publishWrite() {
    if (isFrozen()) return false;  // a reader came in meanwhile: keep its snapshot
    gCurrent.store(gWriting);
    return true;
}

}  // namespace skald::crash::threadnames
