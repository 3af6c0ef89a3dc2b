#include "skald/platform/main_queue.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/process/no_destructor.h"

namespace skald::platform {

namespace {

pthread_t gMainThread;
pid_t gMainThreadId = 0;

// Runs before main(): the loader calls static constructors on the main thread.
__attribute__((constructor)) void recordMainThread() {
    gMainThread = ::pthread_self();
    gMainThreadId = static_cast<pid_t>(::syscall(SYS_gettid));
}

struct LoopState {
    std::mutex mutex;
    Executor loop;
    std::deque<Block> pending;
    std::condition_variable loopChanged;
    uint64_t wakeCalls = 0;
};

LoopState& loopState() {
    static NoDestructor<LoopState> state;
    return *state;
}

}  // namespace

bool MainQueue::isMainThread() {
    return ::pthread_equal(::pthread_self(), gMainThread) != 0;
}

pid_t MainQueue::mainThreadId() {
    return gMainThreadId;
}

void MainQueue::registerLoop(Executor loop) {
    auto& state = loopState();
    std::deque<Block> waiting;
    {
        std::lock_guard guard(state.mutex);
        state.loop = loop;
        waiting.swap(state.pending);
    }
    state.loopChanged.notify_all();
    if (!loop) return;
    for (auto& block : waiting) loop(std::move(block));
}

void MainQueue::unregisterLoop() {
    std::lock_guard guard(loopState().mutex);
    loopState().loop = nullptr;
}

bool MainQueue::hasLoop() {
    std::lock_guard guard(loopState().mutex);
    return static_cast<bool>(loopState().loop);
}

uint64_t MainQueue::loopWaitGeneration() {
    std::lock_guard guard(loopState().mutex);
    return loopState().wakeCalls;
}

bool MainQueue::waitForLoop(Duration timeout) {
    return waitForLoop(timeout, loopWaitGeneration());
}

bool MainQueue::waitForLoop(Duration timeout, uint64_t wakeCalls) {
    auto& state = loopState();
    std::unique_lock lock(state.mutex);
    state.loopChanged.wait_for(lock, timeout, [&] {
        return static_cast<bool>(state.loop) || state.wakeCalls != wakeCalls;
    });
    return static_cast<bool>(state.loop);
}

void MainQueue::wakeLoopWaiters() {
    auto& state = loopState();
    {
        std::lock_guard guard(state.mutex);
        ++state.wakeCalls;
    }
    state.loopChanged.notify_all();
}

MainQueue::Dispatch MainQueue::async(Block block) {
    if (!block) return Dispatch::Queued;
    auto& state = loopState();
    Executor loop;
    {
        std::lock_guard guard(state.mutex);
        loop = state.loop;
        if (!loop && !isMainThread()) {
            state.pending.push_back(std::move(block));
            return Dispatch::Pending;
        }
    }
    if (loop) {
        loop(std::move(block));
        return Dispatch::Queued;
    }
    block();
    return Dispatch::RanInline;
}

bool MainQueue::syncWithTimeout(Block block, Duration timeout) {
    if (!block) return true;
    if (isMainThread()) {
        block();
        return true;
    }
    if (!hasLoop()) return false;

    struct Done {
        std::mutex mutex;
        std::condition_variable signal;
        bool finished = false;
    };
    auto done = std::make_shared<Done>();
    async([block = std::move(block), done] {
        block();
        std::lock_guard guard(done->mutex);
        done->finished = true;
        done->signal.notify_all();
    });
    std::unique_lock lock(done->mutex);
    return done->signal.wait_for(lock, timeout, [&] { return done->finished; });
}

size_t MainQueue::drainPending() {
    if (!isMainThread()) return 0;
    std::deque<Block> waiting;
    {
        std::lock_guard guard(loopState().mutex);
        waiting.swap(loopState().pending);
    }
    for (auto& block : waiting) block();
    return waiting.size();
}

size_t MainQueue::pendingCount() {
    std::lock_guard guard(loopState().mutex);
    return loopState().pending.size();
}

}  // namespace skald::platform
