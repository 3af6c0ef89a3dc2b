// Async-signal-safe here: since glibc 2.35 the unwinder finds each frame's
// tables with _dl_find_object, which takes no lock and allocates nothing;
// its one-time set-up is done by prepareSignalUnwinder() off the crash path.
// It reads the stack without checks; a fault there is caught by the fatal
// signal handler, which jumps back here so that the caller can fall back to
// the frame-pointer walk, whose reads cannot fault.
#include "crash/async_safe/signal_unwinder.h"
#include "crash/async_safe/text_format.h"

#include <setjmp.h>
#include <unwind.h>

#include <atomic>

namespace skald::crash {

namespace {

// The thread inside the unwinder, and where a fault of it lands. One crash
// is handled at a time, so one of each is enough.
std::atomic<pid_t> gUnwindingThread{0};
sigjmp_buf gFaultLanding;

struct Walk {
    uintptr_t* addresses;
    int capacity;
    int count;
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
    if (address == 0 || walk->count >= walk->capacity) return _URC_END_OF_STACK;
    walk->addresses[walk->count++] = address;
    return _URC_NO_REASON;
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

int unwindInterruptedStack(uintptr_t* addresses, int capacity) {
    Walk walk{addresses, capacity, 0, false};
    // No signal mask is saved: the fault's handler runs with this one's mask
    // (fatal signals are installed with SA_NODEFER and an empty mask).
    if (sigsetjmp(gFaultLanding, 0) != 0) {
        gUnwindingThread = 0;
        return -1;
    }
    gUnwindingThread = currentThreadId();
    _Unwind_Backtrace(visitFrame, &walk);
    gUnwindingThread = 0;
    return walk.count;
}

void leaveUnwinderAfterFault() {
    const pid_t unwinding = gUnwindingThread.load();
    if (unwinding != 0 && unwinding == currentThreadId()) siglongjmp(gFaultLanding, 1);
}

}  // namespace skald::crash
