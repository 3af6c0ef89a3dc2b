// Async-signal-safe readers; the writer half runs off the crash path under the list's lock.
#include "crash/async_safe/binary_images.h"

#include <sched.h>

#include <atomic>

namespace skald::crash {

namespace {

// Two snapshots: readers use the published one while the writer fills the
// other. Each slot counts its readers so the writer never rewrites a snapshot
// that a reader (a crash handler on another thread, say) still holds. Static
// storage: nothing is ever freed under a reader.
BinaryImageGeneration gGenerations[2];
std::atomic<int> gPublished{0};
std::atomic<int> gReaders[2];
int gWriting = 1;
// Filled by a crash handler while the other threads are stopped, and read
// until that crash has been written.
BinaryImageGeneration gCrashTime;
std::atomic<bool> gUseCrashTime{false};

static_assert(std::atomic<int>::is_always_lock_free, "readers must not take locks");

}  // namespace

BinaryImageReader::BinaryImageReader() {
    if (gUseCrashTime.load()) {
        slot_ = -1;
        generation_ = &gCrashTime;
        return;
    }
    for (;;) {
        const int slot = gPublished.load();
        gReaders[slot].fetch_add(1);
        // Confirm the slot is still published: the writer may have begun
        // rewriting it between the load and the increment.
        if (gPublished.load() == slot) {
            slot_ = slot;
            generation_ = &gGenerations[slot];
            return;
        }
        gReaders[slot].fetch_sub(1);
    }
}

BinaryImageReader::~BinaryImageReader() {
    if (slot_ >= 0) gReaders[slot_].fetch_sub(1);
}

void iterateBinaryImages(void (*visit)(const BinaryImage& image, void* context), void* context) {
    const BinaryImageReader reader;
    for (const BinaryImage& image : reader) visit(image, context);
}

bool findBinaryImage(uintptr_t address, BinaryImage* out) {
    const BinaryImageReader reader;
    for (const BinaryImage& image : reader) {
        if (address >= image.address && address - image.address < image.size) {
            *out = image;
            return true;
        }
    }
    return false;
}

BinaryImageGeneration& beginBinaryImageWrite() {
    gWriting = 1 - gPublished.load();
    // Readers are short (a copy or an iteration); wait for the last one.
    while (gReaders[gWriting].load() != 0) sched_yield();
    return gGenerations[gWriting];
}

void publishBinaryImageWrite() {
    gPublished.store(gWriting);
}

BinaryImageGeneration& crashTimeBinaryImages() {
    return gCrashTime;
}

void useCrashTimeBinaryImages(bool use) {
    gUseCrashTime.store(use);
}

}  // namespace skald::crash
