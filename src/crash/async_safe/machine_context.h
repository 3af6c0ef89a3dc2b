// Async-signal-safe: one thread's x86-64 register state and the process's threads.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "crash/async_safe/registers.h"
#include "crash/async_safe/thread_suspension.h"

namespace skald::crash {

struct StackCursor;

/// The machine context of one thread at crash time. Plain data: crash-time
/// code keeps it in static records or on its stack.
struct MachineContext {
    /// Kernel thread id.
    pid_t thread;
    /// The process's threads (at most kMaxSuspendedThreads), in /proc order,
    /// filled for crashed contexts only.
    pid_t allThreads[kMaxSuspendedThreads];
    int threadCount;
    bool isCrashedContext;
    bool isCurrentThread;
    bool isStackOverflow;
    bool isSignalContext;
    /// Registers were recorded (a signal context, or a stopped thread that answered).
    bool hasRegisters;
    Registers registers;
    ExceptionRegisters exception;
    /// Stopped threads also bring the return addresses they walked themselves.
    const ThreadSnapshot* snapshot;
};

/// The context of the interrupted code of a signal handler running on the
/// current thread (`userContext` is the handler's third argument). A crashed
/// context also lists the threads of the active suspension. Stack overflow is
/// detected here (a frame walk that gives up at 150 frames).
void getContextForSignal(const void* userContext, MachineContext* destination,
                         bool isCrashedContext);

/// The calling thread's own context, without registers (used where no
/// signal context exists, e.g. an uncaught C++ exception).
void getContextForCurrentThread(MachineContext* destination, bool isCrashedContext);

/// Another thread's context from its snapshot in the active suspension;
/// false when the thread is not listed (`hasRegisters` false when it did not answer).
bool getContextForThread(pid_t thread, MachineContext* destination, bool isCrashedContext);

int threadCount(const MachineContext* context);
pid_t threadAt(const MachineContext* context, int index);
/// Position of the context's own thread in its list, or -1.
int indexOfThread(const MachineContext* context, pid_t thread);

uintptr_t framePointer(const MachineContext* context);
uintptr_t stackPointer(const MachineContext* context);
uintptr_t instructionAddress(const MachineContext* context);

/// The general registers by position, for writing them out in order:
/// rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8 … r15, rip, rflags, cs, fs, gs.
int registerCount();
/// Null for an index without a name.
const char* registerName(int index);
uint64_t registerValue(const MachineContext* context, int index);
/// "trapno", "err", "faultvaddr".
int exceptionRegisterCount();
const char* exceptionRegisterName(int index);
uint64_t exceptionRegisterValue(const MachineContext* context, int index);

/// A cursor over the context's stack: the instruction pointer first, then the
/// frame-pointer chain read with fault-free copies (ends at a failed read, a
/// zero frame pointer or return address, or `maxDepth`, which sets
/// hasGivenUp). A stopped thread's context walks the frames it recorded.
void initMachineContextCursor(StackCursor* cursor, int maxDepth, const MachineContext* context);

}  // namespace skald::crash
