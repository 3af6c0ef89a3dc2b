// Async-signal-safe after prepareStackSampling(): raw system calls, static
// slots and atomics. The sampler claims a slot per thread it asks; the
// signalled thread finds its slot, walks its own stack into it and wakes the
// sampler through a futex. A slot stays claimed until its sample is taken, so
// a thread that runs late still answers, and is never asked twice at once.
#include "crash/async_safe/stack_sampling.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/memory.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash {

namespace {

enum SlotState : int { kFree = 0, kRequested = 1, kWriting = 2, kDone = 3 };

struct Slot {
    std::atomic<pid_t> thread;
    std::atomic<int> state;
    /// Calls since it was asked.
    int pendingRounds;
    /// Seen in the current call (sampler only).
    bool requested;
    SampleRequest request;
    ThreadStackSample sample;
};

Slot gSlots[kMaxSampledThreads];
std::atomic<bool> gBusy{false};
std::atomic<bool> gPrepared{false};
// The futex the sampler sleeps on: threads asked that have not answered.
// Only the last answer wakes it, so a round costs one wake-up.
std::atomic<int> gOutstanding{0};
static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word must be a plain int");

uint64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

int* futexWord() {
    return reinterpret_cast<int*>(&gOutstanding);
}

void wakeSampler() {
    ::syscall(SYS_futex, futexWord(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void waitForAnswers(int outstanding, int64_t nanos) {
    const timespec timeout{static_cast<time_t>(nanos / 1'000'000'000),
                           static_cast<long>(nanos % 1'000'000'000)};
    ::syscall(SYS_futex, futexWord(), FUTEX_WAIT_PRIVATE, outstanding, &timeout, nullptr, 0);
}

void recordOwnStack(const ucontext_t* context, const SampleRequest& request,
                    ThreadStackSample* sample) {
    const auto* registers = context->uc_mcontext.gregs;
    const auto rip = static_cast<uintptr_t>(registers[REG_RIP]);
    const auto rbp = static_cast<uintptr_t>(registers[REG_RBP]);
    const auto rsp = static_cast<uintptr_t>(registers[REG_RSP]);
    // Known bounds serve only while the thread runs on that stack (not on an
    // alternate signal stack or a coroutine's).
    const bool onKnownStack =
        request.stackHigh != 0 && rsp >= request.stackLow && rsp < request.stackHigh;
    const FrameWalk walk = walkFramePointers(rip, rbp, rsp, onKnownStack ? request.stackHigh : 0,
                                             sample->frames, kMaxSampledFrames);
    sample->thread = request.thread;
    sample->frameCount = walk.count;
    sample->reachedEnd = walk.reachedEnd;
    sample->stackPointer = rsp;
}

void answerSample(int, siginfo_t* info, void* userContext) {
    const int savedErrno = errno;
    // Only the sampler's own tgkill asks for a sample.
    if (info != nullptr && info->si_code == SI_TKILL && info->si_pid == ::getpid()) {
        const uint64_t start = monotonicNanos();
        const pid_t self = currentThreadId();
        for (Slot& slot : gSlots) {
            if (slot.thread.load(std::memory_order_acquire) != self) continue;
            int expected = kRequested;
            if (!slot.state.compare_exchange_strong(expected, kWriting)) continue;
            recordOwnStack(static_cast<const ucontext_t*>(userContext), slot.request, &slot.sample);
            slot.sample.timestampNanos = start;
            slot.sample.pauseNanos = monotonicNanos() - start;
            slot.state.store(kDone, std::memory_order_release);
            if (gOutstanding.fetch_sub(1) == 1) wakeSampler();
            break;
        }
    }
    errno = savedErrno;
}

/// Frees a slot whose thread is no longer asked; waits out a walk in progress.
void release(Slot& slot) {
    int requested = kRequested;
    if (slot.state.compare_exchange_strong(requested, kFree)) {
        gOutstanding.fetch_sub(1);
    } else {
        while (slot.state.load(std::memory_order_acquire) == kWriting) ::sched_yield();
        slot.state.store(kFree, std::memory_order_release);
    }
    slot.thread.store(0, std::memory_order_release);
}

Slot* slotOf(pid_t thread) {
    for (Slot& slot : gSlots) {
        if (slot.thread.load(std::memory_order_relaxed) == thread &&
            slot.state.load(std::memory_order_acquire) != kFree) {
            return &slot;
        }
    }
    return nullptr;
}

Slot* claimSlot(const SampleRequest& request) {
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) != kFree ||
            slot.thread.load(std::memory_order_relaxed) != 0) {
            continue;
        }
        slot.request = request;
        slot.pendingRounds = 0;
        slot.sample.thread = request.thread;
        // The thread is published last: from then on its handler may claim it.
        gOutstanding.fetch_add(1);
        slot.state.store(kRequested, std::memory_order_release);
        slot.thread.store(request.thread, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

}  // namespace

// The saved words of other frames are read as they are, not as this
// function's own data.
__attribute__((no_sanitize("address"))) FrameWalk walkFramePointers(
    uintptr_t instruction, uintptr_t framePointer, uintptr_t stackLow, uintptr_t stackHigh,
    uintptr_t* addresses, int maxDepth) {
    if (addresses == nullptr || maxDepth <= 0) return {0, false};
    if (stackHigh != 0 && stackHigh <= stackLow + 16) return {0, false};
    int count = 0;
    addresses[count++] = instruction - 1;
    const uintptr_t limit = stackHigh != 0 ? stackHigh - 16 : UINTPTR_MAX;
    uintptr_t frame = framePointer;
    // No frame pointer at all: the thread runs its outermost frame (or code
    // without frame pointers called from it).
    if (frame == 0) return {count, true};
    // A frame that allocates nothing on the stack has its frame pointer at
    // the stack pointer itself.
    if (frame < stackLow || frame >= limit || frame % 16 != 0) return {count, false};
    while (frame < limit) {
        if (count >= maxDepth) return {count, false};
        uintptr_t record[2];
        if (stackHigh != 0) {
            // Inside the live stack between its pointer and its top: mapped.
            const auto* words = reinterpret_cast<const volatile uintptr_t*>(frame);
            record[0] = words[0];
            record[1] = words[1];
        } else if (!memory::copySafely(reinterpret_cast<const void*>(frame), record,
                                       sizeof record)) {
            return {count, false};
        }
        addresses[count++] = record[1] - 1;
        const uintptr_t next = record[0];
        if (next <= frame || next <= stackLow || next % 16 != 0) return {count, true};
        frame = next;
    }
    return {count, true};
}

int stackSamplingSignal() {
    return SIGRTMIN + 7;
}

bool prepareStackSampling() {
    if (gPrepared) return true;
    struct sigaction action {};
    action.sa_sigaction = answerSample;
    // Not on the alternate stack: the walk starts from the interrupted
    // registers either way, and the alternate stacks are the crash path's.
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(stackSamplingSignal(), &action, nullptr) != 0) {
        logError("sigaction (sampling signal): ", errorText(errno));
        return false;
    }
    gPrepared = true;
    return true;
}

int sampleThreadStacks(const SampleRequest* requests, int count, ThreadStackSample* results,
                       int64_t timeoutNanos) {
    if (!gPrepared || requests == nullptr || results == nullptr || count < 0) return 0;
    bool expectedBusy = false;
    if (!gBusy.compare_exchange_strong(expectedBusy, true)) return -1;
    if (count > kMaxSampledThreads) count = kMaxSampledThreads;

    for (Slot& slot : gSlots) slot.requested = false;
    Slot* asked[kMaxSampledThreads];
    const pid_t process = ::getpid();
    for (int i = 0; i < count; ++i) {
        results[i].thread = requests[i].thread;
        results[i].answered = false;
        results[i].abandoned = false;
        results[i].reachedEnd = false;
        results[i].frameCount = 0;
        Slot* slot = slotOf(requests[i].thread);
        if (slot == nullptr) {
            slot = claimSlot(requests[i]);
            if (slot != nullptr &&
                ::syscall(SYS_tgkill, process, requests[i].thread, stackSamplingSignal()) != 0) {
                // Ended since it was listed: nothing to wait for.
                release(*slot);
                slot = nullptr;
                results[i].abandoned = true;
            }
        } else if (slot->state.load(std::memory_order_acquire) == kRequested) {
            ++slot->pendingRounds;
        }
        if (slot != nullptr) slot->requested = true;
        asked[i] = slot;
    }
    // Threads no longer asked give up their slots.
    for (Slot& slot : gSlots) {
        if (!slot.requested && slot.thread.load(std::memory_order_relaxed) != 0) release(slot);
    }

    const uint64_t deadline = monotonicNanos() + static_cast<uint64_t>(timeoutNanos);
    for (;;) {
        const int outstanding = gOutstanding.load();
        if (outstanding <= 0) break;
        const uint64_t now = monotonicNanos();
        if (now >= deadline) break;
        waitForAnswers(outstanding, static_cast<int64_t>(deadline - now));
    }

    int answered = 0;
    for (int i = 0; i < count; ++i) {
        Slot* slot = asked[i];
        if (slot == nullptr) continue;
        if (slot->state.load(std::memory_order_acquire) == kDone) {
            results[i] = slot->sample;
            results[i].answered = true;
            results[i].abandoned = false;
            release(*slot);
            ++answered;
        } else if (slot->pendingRounds >= kMaxPendingRounds) {
            release(*slot);
            results[i].abandoned = true;
        }
    }
    gBusy.store(false);
    return answered;
}

}  // namespace skald::crash
