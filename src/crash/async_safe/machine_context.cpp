// Async-signal-safe: register copies from signal frames and from the slots of
// stopped threads, and stack walks that read memory without faulting.
#include "crash/async_safe/machine_context.h"

#include <ucontext.h>

#include "crash/async_safe/memory.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

/// A walk that gives up at this depth counts as a stack overflow.
constexpr int kOverflowDepth = 150;
constexpr uint64_t kPageFaultTrap = 14;
constexpr uintptr_t kStackGuardReach = 4096;

/// The registers in the order reports list them, with their names.
struct NamedRegister {
    const char* name;
    uint64_t Registers::*value;
};
constexpr NamedRegister kRegisters[] = {
    {"rax", &Registers::rax}, {"rbx", &Registers::rbx}, {"rcx", &Registers::rcx},
    {"rdx", &Registers::rdx}, {"rdi", &Registers::rdi}, {"rsi", &Registers::rsi},
    {"rbp", &Registers::rbp}, {"rsp", &Registers::rsp}, {"r8", &Registers::r8},
    {"r9", &Registers::r9},   {"r10", &Registers::r10}, {"r11", &Registers::r11},
    {"r12", &Registers::r12}, {"r13", &Registers::r13}, {"r14", &Registers::r14},
    {"r15", &Registers::r15}, {"rip", &Registers::rip}, {"rflags", &Registers::rflags},
    {"cs", &Registers::cs},   {"fs", &Registers::fs},   {"gs", &Registers::gs},
};
constexpr int kRegisterCount = sizeof kRegisters / sizeof kRegisters[0];
static_assert(kRegisterCount * sizeof(uint64_t) == sizeof(Registers), "every register is named");

struct NamedExceptionRegister {
    const char* name;
    uint64_t ExceptionRegisters::*value;
};
constexpr NamedExceptionRegister kExceptionRegisters[] = {
    {"trapno", &ExceptionRegisters::trapno},
    {"err", &ExceptionRegisters::err},
    {"faultvaddr", &ExceptionRegisters::faultvaddr},
};
constexpr int kExceptionRegisterCount = sizeof kExceptionRegisters / sizeof kExceptionRegisters[0];

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
    readSignalRegisters(userContext, &destination->registers, &destination->exception);
    destination->thread = currentThreadId();
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
    const uintptr_t sp = destination->registers.rsp;
    const ExceptionRegisters& exception = destination->exception;
    const bool faultBelowStack = exception.trapno == kPageFaultTrap && exception.faultvaddr < sp &&
                                 sp - exception.faultvaddr <= kStackGuardReach;
    destination->isStackOverflow = cursor.hasGivenUp || faultBelowStack;
}

void readSignalRegisters(const void* userContext, Registers* registers,
                         ExceptionRegisters* exception) {
    const auto& gregs = static_cast<const ucontext_t*>(userContext)->uc_mcontext.gregs;
    const auto reg = [&gregs](int index) { return static_cast<uint64_t>(gregs[index]); };
    registers->rax = reg(REG_RAX);
    registers->rbx = reg(REG_RBX);
    registers->rcx = reg(REG_RCX);
    registers->rdx = reg(REG_RDX);
    registers->rdi = reg(REG_RDI);
    registers->rsi = reg(REG_RSI);
    registers->rbp = reg(REG_RBP);
    registers->rsp = reg(REG_RSP);
    registers->r8 = reg(REG_R8);
    registers->r9 = reg(REG_R9);
    registers->r10 = reg(REG_R10);
    registers->r11 = reg(REG_R11);
    registers->r12 = reg(REG_R12);
    registers->r13 = reg(REG_R13);
    registers->r14 = reg(REG_R14);
    registers->r15 = reg(REG_R15);
    registers->rip = reg(REG_RIP);
    registers->rflags = reg(REG_EFL);
    // cs, gs and fs share one register of the signal frame, 16 bits each.
    const uint64_t segments = reg(REG_CSGSFS);
    registers->cs = segments & 0xFFFF;
    registers->gs = (segments >> 16) & 0xFFFF;
    registers->fs = (segments >> 32) & 0xFFFF;
    exception->trapno = reg(REG_TRAPNO);
    exception->err = reg(REG_ERR);
    exception->faultvaddr = reg(REG_CR2);
}

void getContextForCurrentThread(MachineContext* destination, bool isCrashedContext) {
    *destination = MachineContext{};
    destination->thread = currentThreadId();
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
    destination->isCurrentThread = thread == currentThreadId();
    destination->snapshot = snapshot;
    if (snapshot->captured) {
        destination->hasRegisters = true;
        destination->registers = snapshot->registers;
        destination->exception = snapshot->exception;
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
    return context->hasRegisters ? context->registers.rbp : 0;
}

uintptr_t stackPointer(const MachineContext* context) {
    return context->hasRegisters ? context->registers.rsp : 0;
}

uintptr_t instructionAddress(const MachineContext* context) {
    return context->hasRegisters ? context->registers.rip : 0;
}

int registerCount() {
    return kRegisterCount;
}

const char* registerName(int index) {
    return index >= 0 && index < kRegisterCount ? kRegisters[index].name : nullptr;
}

uint64_t registerValue(const MachineContext* context, int index) {
    return index >= 0 && index < kRegisterCount ? context->registers.*kRegisters[index].value : 0;
}

int exceptionRegisterCount() {
    return kExceptionRegisterCount;
}

const char* exceptionRegisterName(int index) {
    return index >= 0 && index < kExceptionRegisterCount ? kExceptionRegisters[index].name
                                                         : nullptr;
}

uint64_t exceptionRegisterValue(const MachineContext* context, int index) {
    return index >= 0 && index < kExceptionRegisterCount
               ? context->exception.*kExceptionRegisters[index].value
               : 0;
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
        if (snapshot->captured) {
            cursor->skippedEntries = snapshot->framesSkipped;
            cursor->skippedAt = snapshot->framesSkippedAt;
        }
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
