// Async-signal-safe: register copies from signal frames and from the slots of
// stopped threads, and stack walks that read memory without faulting.
#include "crash/async_safe/machine_context.h"

#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "crash/async_safe/memory.h"
#include "crash/async_safe/stack_cursor.h"

namespace skald::crash {

namespace {

/// A walk that gives up at this depth counts as a stack overflow.
constexpr int kOverflowDepth = 150;
constexpr uint64_t kPageFaultTrap = 14;
constexpr uintptr_t kStackGuardReach = 4096;

const char* const kRegisterNames[21] = {"rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "rbp",
                                        "rsp", "r8",  "r9",  "r10",    "r11", "r12", "r13",
                                        "r14", "r15", "rip", "rflags", "cs",  "fs",  "gs"};
const char* const kExceptionRegisterNames[3] = {"trapno", "err", "faultvaddr"};
constexpr int kRbp = 6;
constexpr int kRsp = 7;
constexpr int kRip = 16;

constexpr int kGregs[18] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RDI, REG_RSI,
                            REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                            REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

/// The threads of the active suspension, or only `self`.
void listThreads(MachineContext* context) {
    const int count = suspendedThreadCount();
    context->threadCount = 0;
    bool sawSelf = false;
    if (isEnvironmentSuspended()) {
        for (int i = 0; i < count && context->threadCount < kMaxSuspendedThreads; ++i) {
            const pid_t thread = suspendedThread(i)->thread;
            sawSelf |= thread == context->thread;
            context->allThreads[context->threadCount++] = thread;
        }
    }
    if (!sawSelf && context->threadCount < kMaxSuspendedThreads) {
        context->allThreads[context->threadCount++] = context->thread;
    }
}

// --- The machine-context cursor: the instruction pointer, then the chain of
// saved frame pointers, each record read without faulting.

bool advanceMachineContext(StackCursor* cursor) {
    auto& walk = cursor->state.framePointer;
    uintptr_t address = 0;
    if (!walk.firstTaken) {
        walk.firstTaken = true;
        address = walk.firstAddress;
    } else {
        const uintptr_t frame = walk.nextFramePointer;
        uintptr_t record[2];
        if (frame == 0 ||
            !memory::copySafely(reinterpret_cast<const void*>(frame), record, sizeof record)) {
            return false;
        }
        address = record[1];
        walk.nextFramePointer = record[0] > frame ? record[0] : 0;
    }
    if (address == 0) return false;
    if (cursor->depth >= cursor->maxDepth) {
        cursor->hasGivenUp = true;
        return false;
    }
    cursor->stackEntry = StackEntry{};
    cursor->stackEntry.address = address;
    ++cursor->depth;
    return true;
}

void resetMachineContext(StackCursor* cursor) {
    auto& walk = cursor->state.framePointer;
    walk.firstTaken = false;
    walk.nextFramePointer = walk.framePointer;
    cursor->depth = 0;
    cursor->hasGivenUp = false;
    cursor->stackEntry = StackEntry{};
}

}  // namespace

void getContextForSignal(const void* userContext, MachineContext* destination,
                         bool isCrashedContext) {
    *destination = MachineContext{};
    readSignalRegisters(userContext, destination->registers, &destination->trapno,
                        &destination->err, &destination->faultvaddr);
    destination->thread = currentThread();
    destination->isCrashedContext = isCrashedContext;
    destination->isCurrentThread = true;
    destination->isSignalContext = true;
    destination->hasRegisters = true;
    if (isCrashedContext) listThreads(destination);

    StackCursor cursor;
    initMachineContextCursor(&cursor, kOverflowDepth, destination);
    while (advanceCursor(&cursor)) {
    }
    // A page fault just below the stack pointer is a push or call that ran
    // off the stack's end, even when the frame chain is short.
    const uintptr_t sp = destination->registers[kRsp];
    const bool faultBelowStack = destination->trapno == kPageFaultTrap &&
                                 destination->faultvaddr < sp &&
                                 sp - destination->faultvaddr <= kStackGuardReach;
    destination->isStackOverflow = cursor.hasGivenUp || faultBelowStack;
}

void readSignalRegisters(const void* userContext, uint64_t registers[21], uint64_t* trapno,
                         uint64_t* err, uint64_t* faultvaddr) {
    const auto& gregs = static_cast<const ucontext_t*>(userContext)->uc_mcontext.gregs;
    for (int i = 0; i < 18; ++i) registers[i] = static_cast<uint64_t>(gregs[kGregs[i]]);
    // cs, gs and fs share one register of the signal frame, 16 bits each.
    const auto segments = static_cast<uint64_t>(gregs[REG_CSGSFS]);
    registers[18] = segments & 0xFFFF;
    registers[19] = (segments >> 32) & 0xFFFF;
    registers[20] = (segments >> 16) & 0xFFFF;
    *trapno = static_cast<uint64_t>(gregs[REG_TRAPNO]);
    *err = static_cast<uint64_t>(gregs[REG_ERR]);
    *faultvaddr = static_cast<uint64_t>(gregs[REG_CR2]);
}

void getContextForCurrentThread(MachineContext* destination, bool isCrashedContext) {
    *destination = MachineContext{};
    destination->thread = currentThread();
    destination->isCrashedContext = isCrashedContext;
    destination->isCurrentThread = true;
    if (isCrashedContext) listThreads(destination);
}

bool getContextForThread(pid_t thread, MachineContext* destination, bool isCrashedContext) {
    const ThreadSnapshot* snapshot = snapshotOfThread(thread);
    if (snapshot == nullptr) return false;
    *destination = MachineContext{};
    destination->thread = thread;
    destination->isCrashedContext = isCrashedContext;
    destination->isCurrentThread = thread == currentThread();
    destination->snapshot = snapshot;
    if (snapshot->captured) {
        destination->hasRegisters = true;
        for (int i = 0; i < 21; ++i) destination->registers[i] = snapshot->registers[i];
        destination->trapno = snapshot->trapno;
        destination->err = snapshot->err;
        destination->faultvaddr = snapshot->faultvaddr;
        destination->isStackOverflow = snapshot->framesTruncated;
    }
    if (isCrashedContext) listThreads(destination);
    return true;
}

int threadCount(const MachineContext* context) {
    return context->threadCount;
}

pid_t threadAt(const MachineContext* context, int index) {
    return index >= 0 && index < context->threadCount ? context->allThreads[index] : 0;
}

int indexOfThread(const MachineContext* context, pid_t thread) {
    for (int i = 0; i < context->threadCount; ++i) {
        if (context->allThreads[i] == thread) return i;
    }
    return -1;
}

uintptr_t framePointer(const MachineContext* context) {
    return context->hasRegisters ? context->registers[kRbp] : 0;
}

uintptr_t stackPointer(const MachineContext* context) {
    return context->hasRegisters ? context->registers[kRsp] : 0;
}

uintptr_t instructionAddress(const MachineContext* context) {
    return context->hasRegisters ? context->registers[kRip] : 0;
}

int registerCount() {
    return 21;
}

const char* registerName(int index) {
    return index >= 0 && index < 21 ? kRegisterNames[index] : nullptr;
}

uint64_t registerValue(const MachineContext* context, int index) {
    return index >= 0 && index < 21 ? context->registers[index] : 0;
}

int exceptionRegisterCount() {
    return 3;
}

const char* exceptionRegisterName(int index) {
    return index >= 0 && index < 3 ? kExceptionRegisterNames[index] : nullptr;
}

uint64_t exceptionRegisterValue(const MachineContext* context, int index) {
    switch (index) {
        case 0:
            return context->trapno;
        case 1:
            return context->err;
        case 2:
            return context->faultvaddr;
        default:
            return 0;
    }
}

void initMachineContextCursor(StackCursor* cursor, int maxDepth, const MachineContext* context) {
    const ThreadSnapshot* snapshot = context->snapshot;
    if (snapshot != nullptr) {
        // The stopped thread walked its own stack while it was parked; one
        // that did not answer has nothing to walk.
        const int count = snapshot->captured ? snapshot->frameCount : 0;
        initBacktraceCursor(cursor, snapshot->frames, count, 0);
        cursor->maxDepth = maxDepth;
        cursor->firstEntryIsExact = true;
        cursor->sourceTruncated = snapshot->captured && snapshot->framesTruncated;
        return;
    }
    *cursor = StackCursor{};
    cursor->maxDepth = maxDepth;
    cursor->advanceCursor = advanceMachineContext;
    cursor->resetCursor = resetMachineContext;
    cursor->symbolicate = symbolicateFromImages;
    cursor->state.framePointer.firstAddress = instructionAddress(context);
    cursor->state.framePointer.framePointer = framePointer(context);
    cursor->firstEntryIsExact = true;
    resetMachineContext(cursor);
}

}  // namespace skald::crash
