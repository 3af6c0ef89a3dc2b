// Async-signal-safe after prepareStackSampling(): raw system calls, static
// state and atomics. The sampler publishes a round of requests; each
// signalled thread claims its slot, walks its own stack into the caller's
// buffer and wakes the sampler through a futex.
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

// A slot's state carries its round, so that an answer to an old round
// cannot claim a slot of the current one.
enum SlotState : uint64_t { kIdle = 0, kRequested = 1, kWriting = 2, kDone = 3 };

uint64_t slotValue(uint64_t round, SlotState state) {
    return (round << 2) | state;
}

std::atomic<uint64_t> gSlotStates[kMaxSampledThreads];
// Copied in, so that a late handler never reads a caller's freed buffer.
SampleRequest gRequests[kMaxSampledThreads];
ThreadStackSample* gResults = nullptr;
std::atomic<int> gCount{0};
std::atomic<uint64_t> gRound{0};
std::atomic<bool> gBusy{false};
std::atomic<bool> gPrepared{false};
// The futex the sampler sleeps on: the answers of the current round.
std::atomic<int> gAnswers{0};
static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word must be a plain int");

uint64_t monotonicNanos() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

int* futexWord() {
    return reinterpret_cast<int*>(&gAnswers);
}

void wakeSampler() {
    ::syscall(SYS_futex, futexWord(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void waitForAnswers(int seen, int64_t nanos) {
    const timespec timeout{static_cast<time_t>(nanos / 1'000'000'000),
                           static_cast<long>(nanos % 1'000'000'000)};
    ::syscall(SYS_futex, futexWord(), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
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
        const uint64_t round = gRound.load(std::memory_order_acquire);
        const int count = gCount.load(std::memory_order_acquire);
        const pid_t self = currentThreadId();
        for (int i = 0; i < count; ++i) {
            if (gRequests[i].thread != self) continue;
            uint64_t expected = slotValue(round, kRequested);
            if (gSlotStates[i].compare_exchange_strong(expected, slotValue(round, kWriting))) {
                ThreadStackSample* sample = &gResults[i];
                recordOwnStack(static_cast<const ucontext_t*>(userContext), gRequests[i], sample);
                sample->timestampNanos = start;
                sample->pauseNanos = monotonicNanos() - start;
                gSlotStates[i].store(slotValue(round, kDone), std::memory_order_release);
                gAnswers.fetch_add(1);
                wakeSampler();
            }
            break;
        }
    }
    errno = savedErrno;
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

    const uint64_t round = gRound.load() + 1;
    gCount.store(0, std::memory_order_release);
    gResults = results;
    for (int i = 0; i < count; ++i) {
        gRequests[i] = requests[i];
        results[i].thread = requests[i].thread;
        results[i].answered = false;
        results[i].reachedEnd = false;
        results[i].frameCount = 0;
        gSlotStates[i].store(slotValue(round, kRequested), std::memory_order_relaxed);
    }
    gAnswers.store(0);
    gCount.store(count, std::memory_order_release);
    gRound.store(round, std::memory_order_release);

    const pid_t process = ::getpid();
    int signalled = 0;
    for (int i = 0; i < count; ++i) {
        if (::syscall(SYS_tgkill, process, requests[i].thread, stackSamplingSignal()) == 0) {
            ++signalled;
        } else {
            // Ended since it was listed, or refuses signals: nothing to wait for.
            uint64_t requested = slotValue(round, kRequested);
            gSlotStates[i].compare_exchange_strong(requested, slotValue(round, kIdle));
        }
    }

    const uint64_t deadline = monotonicNanos() + static_cast<uint64_t>(timeoutNanos);
    for (;;) {
        const int answers = gAnswers.load();
        if (answers >= signalled) break;
        const uint64_t now = monotonicNanos();
        if (now >= deadline) break;
        waitForAnswers(answers, static_cast<int64_t>(deadline - now));
    }

    int answered = 0;
    for (int i = 0; i < count; ++i) {
        uint64_t requested = slotValue(round, kRequested);
        // Threads that did not run their handler in time are given up on;
        // one already writing is waited for, its walk is short and bounded.
        if (!gSlotStates[i].compare_exchange_strong(requested, slotValue(round, kIdle))) {
            while (gSlotStates[i].load(std::memory_order_acquire) == slotValue(round, kWriting)) {
                ::sched_yield();
            }
        }
        results[i].answered =
            gSlotStates[i].load(std::memory_order_acquire) == slotValue(round, kDone);
        if (results[i].answered) ++answered;
    }
    gCount.store(0, std::memory_order_release);
    gBusy.store(false);
    return answered;
}

}  // namespace skald::crash
