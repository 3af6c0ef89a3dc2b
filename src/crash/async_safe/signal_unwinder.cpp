// Async-signal-safe here: since glibc 2.35 the unwinder finds each frame's
// tables with _dl_find_object, which takes no lock and allocates nothing;
// its one-time set-up is done by prepareSignalUnwinder() off the crash path.
// It reads the stack without checks; a fault there is caught by the fatal
// signal handler, which jumps back here so that the caller can fall back to
// the frame-pointer walk, whose reads cannot fault.
#include "crash/async_safe/signal_unwinder.h"

#include <setjmp.h>
#include <unwind.h>

#include <atomic>

#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

/// A runaway recursion is walked to its end to find the outermost frames,
/// but not forever.
constexpr long kMaxWalkedFrames = 4'000'000;

// Where a fault of the unwinder lands, one per walking thread: the crashed
// thread and every stopped thread may walk at the same time.
struct Landing {
    std::atomic<pid_t> thread;
    sigjmp_buf jump;
};
constexpr int kMaxLandings = 128;
Landing gLandings[kMaxLandings];
std::atomic<bool> gFaultRecovery{false};

Landing* claimLanding(pid_t thread) {
    for (Landing& landing : gLandings) {
        pid_t free = 0;
        if (landing.thread.compare_exchange_strong(free, thread)) return &landing;
    }
    return nullptr;
}

struct Walk {
    uintptr_t* addresses;
    int capacity;
    int inner;  // innermost frames kept in order
    int outer;  // slots after them, a ring of the outermost frames
    long total;
    bool pastSignalFrame;
};

_Unwind_Reason_Code visitFrame(_Unwind_Context* context, void* data) {
    auto* walk = static_cast<Walk*>(data);
    int beforeInstruction = 0;
    const uintptr_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
    // The handler's own frames come first; the interrupted frame is the one
    // whose address is the instruction itself rather than a return address.
    if (!walk->pastSignalFrame) {
        if (beforeInstruction == 0) return _URC_NO_REASON;
        walk->pastSignalFrame = true;
    }
    if (address == 0) return _URC_END_OF_STACK;
    if (walk->total < walk->inner) {
        walk->addresses[walk->total++] = address;
        return _URC_NO_REASON;
    }
    if (walk->outer == 0 || walk->total >= kMaxWalkedFrames) return _URC_END_OF_STACK;
    walk->addresses[walk->inner + (walk->total - walk->inner) % walk->outer] = address;
    ++walk->total;
    return _URC_NO_REASON;
}

/// Puts the ring of outermost frames in order, in place.
void unrollRing(uintptr_t* ring, int size, int start) {
    // Three reversals rotate without a buffer.
    auto reverse = [](uintptr_t* first, uintptr_t* last) {
        while (first < last) {
            const uintptr_t value = *first;
            *first++ = *--last;
            *last = value;
        }
    };
    reverse(ring, ring + start);
    reverse(ring + start, ring + size);
    reverse(ring, ring + size);
}

_Unwind_Reason_Code countFrame(_Unwind_Context*, void* data) {
    ++*static_cast<int*>(data);
    return _URC_NO_REASON;
}

}  // namespace

void prepareSignalUnwinder() {
    int frames = 0;
    _Unwind_Backtrace(countFrame, &frames);
}

void setUnwinderFaultRecovery(bool installed) {
    gFaultRecovery = installed;
}

UnwindResult unwindInterruptedStack(uintptr_t* addresses, int capacity, int keepOutermost) {
    UnwindResult result{0, 0, 0};
    if (capacity <= 0 || !gFaultRecovery) return result;
    if (keepOutermost < 0 || keepOutermost >= capacity) keepOutermost = 0;
    Landing* const landing = claimLanding(currentThreadId());
    if (landing == nullptr) return result;
    Walk walk{addresses, capacity, capacity - keepOutermost, keepOutermost, 0, false};
    // Without a kept-outermost part the walk simply stops when full.
    if (keepOutermost == 0) walk.inner = capacity;
    // No signal mask is saved: the fault's handler runs with this one's mask
    // (fatal signals are installed with SA_NODEFER and an empty mask).
    if (sigsetjmp(landing->jump, 0) != 0) {
        landing->thread = 0;
        result.count = -1;
        return result;
    }
    _Unwind_Backtrace(visitFrame, &walk);
    landing->thread = 0;
    if (walk.total <= walk.inner) {
        result.count = static_cast<int>(walk.total);
        return result;
    }
    const long outerSeen = walk.total - walk.inner;
    if (outerSeen <= walk.outer) {
        result.count = static_cast<int>(walk.total);
        return result;
    }
    unrollRing(addresses + walk.inner, walk.outer, static_cast<int>(outerSeen % walk.outer));
    result.count = capacity;
    result.skipped = outerSeen - walk.outer;
    result.skippedAt = walk.inner;
    return result;
}

void leaveUnwinderAfterFault() {
    const pid_t self = currentThreadId();
    for (Landing& landing : gLandings) {
        if (landing.thread.load() == self) siglongjmp(landing.jump, 1);
    }
}

}  // namespace skald::crash
