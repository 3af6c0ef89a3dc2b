#include "crash/recording/self_thread_cursor.h"

#include <pthread.h>

#include <cstdint>

namespace skald::crash {

namespace {

/// The top of the calling thread's stack; 0 when unknown.
uintptr_t currentStackHigh() {
    // A thread's stack never moves: ask once per thread (the main thread's
    // answer costs a read of /proc/self/maps).
    thread_local uintptr_t cached = 0;
    if (cached != 0) return cached;
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return 0;
    void* base = nullptr;
    size_t size = 0;
    if (::pthread_attr_getstack(&attributes, &base, &size) == 0) {
        cached = reinterpret_cast<uintptr_t>(base) + size;
    }
    ::pthread_attr_destroy(&attributes);
    return cached;
}

}  // namespace

__attribute__((noinline)) void initSelfThreadCursor(StackCursor* cursor, int skipEntries,
                                                    int maxDepth) {
    // This function's frame record holds the caller's frame pointer and the
    // return address into the caller; everything live lies above it.
    const auto* record = static_cast<const uintptr_t*>(__builtin_frame_address(0));
    const auto low = reinterpret_cast<uintptr_t>(record);
    uintptr_t high = currentStackHigh();
    // Running on another stack (a signal stack, a coroutine): only the first entry is safe.
    const bool onThreadStack = high > low;
    if (!onThreadStack) high = low;
    initFramePointerCursor(cursor, reinterpret_cast<uintptr_t>(__builtin_return_address(0)),
                           onThreadStack ? record[0] : 0, low, high, skipEntries, maxDepth);
}

}  // namespace skald::crash
