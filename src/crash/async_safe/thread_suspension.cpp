// Async-signal-safe after prepareThreadSuspension(): raw system calls, static
// slots and atomics. Each stopped thread runs the signal handler below, which
// records itself and waits until released.
#include "crash/async_safe/thread_suspension.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/memory.h"
#include "crash/async_safe/signal_unwinder.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

enum SlotState : int { kIdle = 0, kRequested = 1, kParked = 2, kLeft = 3 };

/// A stopped thread waits this long at most for its release, so a suspender
/// that dies never leaves it parked for good.
constexpr int64_t kMaxParkNanos = 10'000'000'000;

ThreadSnapshot gSnapshots[kMaxSuspendedThreads];
std::atomic<int> gStates[kMaxSuspendedThreads];
std::atomic<uint32_t> gSlotGeneration[kMaxSuspendedThreads];
std::atomic<int> gCount{0};
std::atomic<bool> gActive{false};
std::atomic<bool> gEverSuspended{false};
std::atomic<uint32_t> gGeneration{0};
std::atomic<uint32_t> gReleasedGeneration{0};
std::atomic<bool> gPrepared{false};

int64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void pause(long nanos) {
    const timespec delay{0, nanos};
    ::nanosleep(&delay, nullptr);
}

void recordRegisters(const ucontext_t* context, ThreadSnapshot* snapshot) {
    readSignalRegisters(context, &snapshot->registers, &snapshot->exception);
}

/// Read live, so that a thread named just before the crash has its name.
void recordName(ThreadSnapshot* snapshot) {
    char name[kThreadNameSize] = {};
    if (::prctl(PR_GET_NAME, name, 0, 0, 0) != 0) name[0] = '\0';
    name[kThreadNameSize - 1] = '\0';
    for (int i = 0; i < kThreadNameSize; ++i) snapshot->name[i] = name[i];
}

/// Along the frame pointers: for code without unwind tables, or when the
/// unwinder cannot be used or faulted.
void recordFramePointerFrames(ThreadSnapshot* snapshot) {
    uintptr_t address = snapshot->registers.rip;
    uintptr_t frame = snapshot->registers.rbp;
    while (address != 0) {
        if (snapshot->frameCount >= kMaxSuspendedFrames) {
            snapshot->framesTruncated = true;
            break;
        }
        snapshot->frames[snapshot->frameCount++] = address;
        uintptr_t record[2];
        if (frame == 0 ||
            !memory::copySafely(reinterpret_cast<const void*>(frame), record, sizeof record)) {
            break;
        }
        address = record[1];
        // Callers' frames lie higher up; anything else is a broken chain.
        frame = record[0] > frame ? record[0] : 0;
    }
}

/// With the unwind tables first: they lead through the C library's frames
/// that keep no frame pointer (futex waits, system-call wrappers).
void recordFrames(ThreadSnapshot* snapshot) {
    snapshot->frameCount = 0;
    snapshot->framesTruncated = false;
    snapshot->framesSkipped = 0;
    snapshot->framesSkippedAt = 0;
    const UnwindResult walked =
        unwindInterruptedStack(snapshot->frames, kMaxSuspendedFrames, kSuspendedOutermostFrames);
    if (walked.count > 0 && snapshot->frames[0] == snapshot->registers.rip) {
        snapshot->frameCount = walked.count;
        snapshot->framesSkipped = walked.skipped;
        snapshot->framesSkippedAt = walked.skippedAt;
        snapshot->framesTruncated = walked.skipped > 0;
        return;
    }
    recordFramePointerFrames(snapshot);
}

int slotOf(pid_t thread, uint32_t generation) {
    const int count = gCount;
    for (int i = 0; i < count; ++i) {
        if (gSnapshots[i].thread == thread && gSlotGeneration[i] == generation) return i;
    }
    return -1;
}

void answerSuspension(int, siginfo_t*, void* userContext) {
    const int savedErrno = errno;
    const uint32_t generation = gGeneration;
    const int slot = gActive ? slotOf(currentThreadId(), generation) : -1;
    if (slot >= 0) {
        int expected = kRequested;
        // A late answer (the suspender gave up on this thread) must not write
        // into a slot that is being read.
        if (gStates[slot].load() == kRequested) {
            ThreadSnapshot* snapshot = &gSnapshots[slot];
            recordRegisters(static_cast<const ucontext_t*>(userContext), snapshot);
            recordName(snapshot);
            recordFrames(snapshot);
            if (gStates[slot].compare_exchange_strong(expected, kParked)) {
                const int64_t start = monotonicNanos();
                while (gReleasedGeneration.load() != generation &&
                       monotonicNanos() - start < kMaxParkNanos) {
                    pause(20'000);
                }
                gStates[slot] = kLeft;
            }
        }
    }
    errno = savedErrno;
}

pid_t parseThreadId(const char* name) {
    pid_t value = 0;
    if (*name == '\0') return 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return 0;
        value = value * 10 + (*name - '0');
    }
    return value;
}

bool isExcluded(pid_t thread, const pid_t* excluded, int excludedCount) {
    for (int i = 0; i < excludedCount; ++i) {
        if (excluded[i] == thread) return true;
    }
    return false;
}

/// Fills the slots with the process's threads in /proc order; returns how many.
int listThreads(uint32_t generation) {
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        logError("task_threads: ", errorText(errno));
        return 0;
    }
    int count = 0;
    char buffer[4096];
    bool full = false;
    for (;;) {
        const long read = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (read <= 0) break;
        for (long offset = 0; offset < read;) {
            const auto* entry = reinterpret_cast<const KernelDirent*>(buffer + offset);
            offset += entry->d_reclen;
            const pid_t thread = parseThreadId(entry->d_name);
            if (thread == 0) continue;
            if (count >= kMaxSuspendedThreads) {
                full = true;
                continue;
            }
            ThreadSnapshot& snapshot = gSnapshots[count];
            snapshot.thread = thread;
            snapshot.captured = false;
            snapshot.frameCount = 0;
            snapshot.framesSkipped = 0;
            snapshot.name[0] = '\0';
            gStates[count] = kIdle;
            gSlotGeneration[count] = generation;
            ++count;
        }
    }
    ::close(fd);
    if (full) logError("Thread count is higher than the maximum of 100; the rest are left out");
    return count;
}

}  // namespace

int suspensionSignal() {
    return SIGRTMIN + 5;
}

bool prepareThreadSuspension() {
    if (gPrepared) return true;
    struct sigaction action {};
    action.sa_sigaction = answerSuspension;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (::sigaction(suspensionSignal(), &action, nullptr) != 0) {
        logError("sigaction (suspension signal): ", errorText(errno));
        return false;
    }
    gPrepared = true;
    return true;
}

int suspendEnvironment(const pid_t* excluded, int excludedCount, int timeoutMillis) {
    bool expected = false;
    if (!gActive.compare_exchange_strong(expected, true)) return 0;
    gEverSuspended = true;
    const uint32_t generation = gGeneration.fetch_add(1) + 1;
    gCount = 0;
    const int count = listThreads(generation);
    gCount = count;
    if (!gPrepared) return count;

    const pid_t self = currentThreadId();
    const pid_t process = ::getpid();
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        ThreadSnapshot& snapshot = gSnapshots[i];
        const pid_t thread = snapshot.thread;
        if (thread != self && !isExcluded(thread, excluded, excludedCount)) {
            gStates[i] = kRequested;
            int result = -1;
            for (int attempt = 0; attempt < 5; ++attempt) {
                result =
                    static_cast<int>(::syscall(SYS_tgkill, process, thread, suspensionSignal()));
                if (result == 0 || errno != EAGAIN) break;
                pause(100'000);
            }
            if (result != 0 && errno == ESRCH) continue;  // the thread has ended
            if (result != 0) {
                logError("thread_suspend: ", errorText(errno));
                gStates[i] = kIdle;
            }
        }
        if (kept != i) {
            gSnapshots[kept] = snapshot;
            gStates[kept] = gStates[i].load();
            gSlotGeneration[kept] = gSlotGeneration[i].load();
            gSlotGeneration[i] = 0;
        }
        ++kept;
    }
    gCount = kept;

    const int64_t deadline = monotonicNanos() + static_cast<int64_t>(timeoutMillis) * 1'000'000;
    for (;;) {
        bool waiting = false;
        for (int i = 0; i < kept; ++i) waiting |= gStates[i].load() == kRequested;
        if (!waiting || monotonicNanos() >= deadline) break;
        pause(20'000);
    }
    for (int i = 0; i < kept; ++i) {
        int requested = kRequested;
        // Threads that did not answer in time are given up on.
        if (!gStates[i].compare_exchange_strong(requested, kIdle)) {
            gSnapshots[i].captured = gStates[i].load() == kParked || gStates[i].load() == kLeft;
        }
    }
    return kept;
}

void resumeEnvironment() {
    if (!gActive) {
        logError("we should call suspendEnvironment() first");
        return;
    }
    gReleasedGeneration = gGeneration.load();
    // Let the parked threads leave their handler before the slots are reused.
    const int64_t deadline = monotonicNanos() + 200'000'000;
    for (;;) {
        bool parked = false;
        for (int i = 0; i < gCount; ++i) parked |= gStates[i].load() == kParked;
        if (!parked || monotonicNanos() >= deadline) break;
        pause(20'000);
    }
    gActive = false;
}

bool isEnvironmentSuspended() {
    return gActive;
}

int suspendedThreadCount() {
    return gEverSuspended ? gCount.load() : 0;
}

const ThreadSnapshot* suspendedThread(int index) {
    if (index < 0 || index >= suspendedThreadCount()) return nullptr;
    return &gSnapshots[index];
}

const ThreadSnapshot* snapshotOfThread(pid_t thread) {
    const int count = suspendedThreadCount();
    for (int i = 0; i < count; ++i) {
        if (gSnapshots[i].thread == thread) return &gSnapshots[i];
    }
    return nullptr;
}

}  // namespace skald::crash
