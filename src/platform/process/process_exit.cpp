#include "platform/process/process_exit.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace skald::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Units under way in the low bits; the top bit closes the gate. One word, so
// that closing and admitting cannot pass each other.
constexpr uint64_t kClosed = uint64_t{1} << 63;
std::atomic<uint64_t> gBusy{0};
std::atomic<bool> gExiting{false};
std::atomic<bool> gInstalled{false};
std::atomic<long> gHolds{0};
thread_local int tDepth = 0;

// Plain arrays: nothing here may have a destructor of its own.
constexpr int kMaxWakers = 32;
struct WakerEntry {
    std::atomic<ProcessExit::Waker> waker;
    std::atomic<void*> context;
};
WakerEntry gWakers[kMaxWakers];
std::atomic<int> gWakerCount{0};

void exitHandler() {
    ProcessExit::runExitSequence(ProcessExit::Limits{});
}

void wakeSleepers() {
    const int count = std::min(gWakerCount.load(), kMaxWakers);
    for (int i = 0; i < count; ++i) {
        const auto waker = gWakers[i].waker.load();
        if (waker) waker(gWakers[i].context.load());
    }
}

void nap(std::chrono::microseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace

void ProcessExit::install() {
    if (gInstalled.exchange(true)) return;
    std::atexit(exitHandler);
}

bool ProcessExit::isInstalled() {
    return gInstalled.load();
}

bool ProcessExit::isExiting() {
    return gExiting.load(std::memory_order_acquire);
}

bool ProcessExit::isClosed() {
    return (gBusy.load(std::memory_order_acquire) & kClosed) != 0;
}

ProcessExit::Work::Work() : admitted_(true) {
    if (tDepth > 0) {
        ++tDepth;
        return;
    }
    if (gBusy.fetch_add(1, std::memory_order_acq_rel) & kClosed) {
        gBusy.fetch_sub(1, std::memory_order_acq_rel);
        admitted_ = false;
        return;
    }
    tDepth = 1;
}

ProcessExit::Work::~Work() {
    if (!admitted_) return;
    if (--tDepth == 0) gBusy.fetch_sub(1, std::memory_order_acq_rel);
}

void ProcessExit::park() {
    for (;;) ::pause();
}

void ProcessExit::hold() {
    gHolds.fetch_add(1, std::memory_order_acq_rel);
}

void ProcessExit::release() {
    gHolds.fetch_sub(1, std::memory_order_acq_rel);
}

long ProcessExit::holds() {
    return gHolds.load(std::memory_order_acquire);
}

bool ProcessExit::drain(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (gHolds.load(std::memory_order_acquire) > 0) {
        if (Clock::now() >= end) return false;
        nap(std::chrono::microseconds(500));
    }
    return true;
}

void ProcessExit::addWaker(Waker waker, void* context) {
    const int slot = gWakerCount.fetch_add(1);
    if (slot >= kMaxWakers) return;
    gWakers[slot].context.store(context);
    gWakers[slot].waker.store(waker);
}

void ProcessExit::runExitSequence(Limits limits) {
    if (gExiting.exchange(true, std::memory_order_acq_rel)) return;
    wakeSleepers();

    // Envelopes on their way to disk are the only work worth a wait.
    drain(limits.drain);

    // `exit` may come from an SDK thread in the middle of a unit: that unit
    // is the caller's own and must not be waited for.
    const uint64_t own = tDepth > 0 ? 1 : 0;
    const auto closeEnd = Clock::now() + limits.close;
    for (;;) {
        uint64_t expected = own;
        if (gBusy.compare_exchange_weak(expected, own | kClosed, std::memory_order_acq_rel)) break;
        if (Clock::now() >= closeEnd) {
            // A unit that outlasts the limit is left to its luck rather than
            // making the host wait.
            gBusy.fetch_or(kClosed, std::memory_order_acq_rel);
            break;
        }
        wakeSleepers();
        nap(std::chrono::microseconds(200));
    }
}

void ProcessExit::resetForTesting() {
    gBusy.fetch_and(~kClosed, std::memory_order_acq_rel);
    gExiting.store(false, std::memory_order_release);
}

}  // namespace skald::platform
