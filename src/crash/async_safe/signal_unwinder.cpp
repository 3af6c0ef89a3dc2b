// Async-signal-safe here: since glibc 2.35 the unwinder finds each frame's
// tables with _dl_find_object, which takes no lock and allocates nothing;
// its one-time set-up is done by prepareSignalUnwinder() off the crash path.
#include "crash/async_safe/signal_unwinder.h"

#include <unwind.h>

namespace skald::crash {

namespace {

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
    _Unwind_Backtrace(visitFrame, &walk);
    return walk.count;
}

}  // namespace skald::crash
