#include "crash/async_safe/thread_suspension.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/stack_cursor.h"

namespace skald::crash {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uintptr_t kNearFunction = 512;

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// A thread that keeps doing one kind of thing and counts its progress.
struct Worker {
    enum Kind { kSpinning, kBlockedInRead, kSleeping };
    explicit Worker(Kind kind) : kind(kind) {
        if (::pipe(pipe) != 0) pipe[0] = pipe[1] = -1;
    }
    ~Worker() {
        stop.store(true);
        char byte = 0;
        if (::write(pipe[1], &byte, 1) < 0) {
        }
        if (thread.joinable()) thread.join();
        ::close(pipe[0]);
        ::close(pipe[1]);
    }

    Kind kind;
    int pipe[2];
    std::atomic<pid_t> tid{0};
    std::atomic<uint64_t> counter{0};
    std::atomic<bool> stop{false};
    uintptr_t stackLow = 0;
    uintptr_t stackHigh = 0;
    std::thread thread;
};

__attribute__((noinline)) void spinLoop(Worker* worker) {
    while (!worker->stop.load(std::memory_order_relaxed)) {
        worker->counter.fetch_add(1, std::memory_order_relaxed);
    }
}

__attribute__((noinline)) void readLoop(Worker* worker) {
    char byte;
    while (!worker->stop.load()) {
        if (::read(worker->pipe[0], &byte, 1) == 1) worker->counter.fetch_add(1);
    }
}

__attribute__((noinline)) void sleepLoop(Worker* worker) {
    while (!worker->stop.load()) {
        timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
        worker->counter.fetch_add(1);
    }
}

/// Every worker's frames pass through here, whatever its loop does.
__attribute__((noinline)) void runWorker(Worker* worker) {
    switch (worker->kind) {
        case Worker::kSpinning:
            spinLoop(worker);
            break;
        case Worker::kBlockedInRead:
            readLoop(worker);
            break;
        case Worker::kSleeping:
            sleepLoop(worker);
            break;
    }
    asm volatile("" ::: "memory");
}

void startWorker(Worker* worker) {
    worker->thread = std::thread([worker] {
        pthread_attr_t attributes;
        if (::pthread_getattr_np(::pthread_self(), &attributes) == 0) {
            void* base = nullptr;
            size_t size = 0;
            ::pthread_attr_getstack(&attributes, &base, &size);
            worker->stackLow = reinterpret_cast<uintptr_t>(base);
            worker->stackHigh = worker->stackLow + size;
            ::pthread_attr_destroy(&attributes);
        }
        worker->tid.store(currentThread());
        runWorker(worker);
    });
}

bool near(uintptr_t address, void (*function)(Worker*)) {
    const auto start = reinterpret_cast<uintptr_t>(function);
    return address > start && address - start < kNearFunction;
}

class ThreadSuspension : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(prepareThreadSuspension()); }
    void TearDown() override {
        if (isEnvironmentSuspended()) resumeEnvironment();
    }

    /// Four spinning, three blocked in read(), three sleeping.
    void startWorkers() {
        for (int i = 0; i < 10; ++i) {
            const auto kind =
                i < 4 ? Worker::kSpinning : (i < 7 ? Worker::kBlockedInRead : Worker::kSleeping);
            workers.push_back(std::make_unique<Worker>(kind));
            startWorker(workers.back().get());
        }
        for (auto& worker : workers) {
            ASSERT_TRUE(eventually([&] { return worker->tid.load() != 0; }));
        }
        // Let them all reach their loops.
        for (auto& worker : workers) {
            if (worker->kind != Worker::kBlockedInRead) {
                ASSERT_TRUE(eventually([&] { return worker->counter.load() > 0; }));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    void expectAllCaptured() {
        for (auto& worker : workers) {
            const ThreadSnapshot* snapshot = snapshotOfThread(worker->tid.load());
            ASSERT_NE(snapshot, nullptr) << worker->tid.load();
            ASSERT_TRUE(snapshot->captured) << worker->tid.load();
            const uint64_t sp = snapshot->registers.rsp;
            EXPECT_GE(sp, worker->stackLow);
            EXPECT_LT(sp, worker->stackHigh);
            ASSERT_GT(snapshot->frameCount, 1);
            EXPECT_EQ(snapshot->frames[0], snapshot->registers.rip);
            bool throughRunWorker = false;
            for (int i = 0; i < snapshot->frameCount; ++i) {
                throughRunWorker = throughRunWorker || near(snapshot->frames[i], runWorker);
            }
            EXPECT_TRUE(throughRunWorker) << "kind " << worker->kind;
            if (worker->kind == Worker::kSpinning) {
                EXPECT_TRUE(near(snapshot->registers.rip, spinLoop));
            }
        }
    }

    std::vector<uint64_t> counters() const {
        std::vector<uint64_t> values;
        for (auto& worker : workers) values.push_back(worker->counter.load());
        return values;
    }

    std::vector<std::unique_ptr<Worker>> workers;
};

TEST_F(ThreadSuspension, StopsAndRecordsBusyThreadsUntilResumed) {
    startWorkers();
    const int count = suspendEnvironment(nullptr, 0, 3000);
    ASSERT_TRUE(isEnvironmentSuspended());
    ASSERT_GE(count, 11);
    EXPECT_EQ(suspendedThreadCount(), count);
    expectAllCaptured();
    // The caller is listed but records nothing of itself.
    const ThreadSnapshot* self = snapshotOfThread(currentThread());
    ASSERT_NE(self, nullptr);
    EXPECT_FALSE(self->captured);
    EXPECT_EQ(suspendedThread(count), nullptr);

    // Frozen: nothing advances while suspended.
    const auto before = counters();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(counters(), before);

    // A stopped thread's context walks what it recorded.
    const pid_t spinner = workers[0]->tid.load();
    MachineContext context;
    ASSERT_TRUE(getContextForThread(spinner, &context, false));
    EXPECT_TRUE(context.hasRegisters);
    EXPECT_FALSE(context.isCurrentThread);
    EXPECT_EQ(stackPointer(&context), snapshotOfThread(spinner)->registers.rsp);
    StackCursor cursor;
    initMachineContextCursor(&cursor, kMaxSuspendedFrames, &context);
    int depth = 0;
    while (advanceCursor(&cursor)) {
        EXPECT_EQ(cursor.stackEntry.address, snapshotOfThread(spinner)->frames[depth]);
        ++depth;
    }
    EXPECT_EQ(depth, snapshotOfThread(spinner)->frameCount);
    EXPECT_FALSE(getContextForThread(currentThread() + 1000000, &context, false));
    // A crashed context lists every suspended thread.
    getContextForCurrentThread(&context, true);
    EXPECT_EQ(threadCount(&context), count);
    for (auto& worker : workers) EXPECT_GE(indexOfThread(&context, worker->tid.load()), 0);

    resumeEnvironment();
    EXPECT_FALSE(isEnvironmentSuspended());
    for (auto& worker : workers) {
        if (worker->kind == Worker::kBlockedInRead) {
            char byte = 1;
            ASSERT_EQ(::write(worker->pipe[1], &byte, 1), 1);
        }
    }
    for (size_t i = 0; i < workers.size(); ++i) {
        EXPECT_TRUE(eventually([&] { return workers[i]->counter.load() > before[i]; }))
            << "worker " << i << " did not run again";
    }
}

TEST_F(ThreadSuspension, SuspendsAgainRightAfterAResume) {
    startWorkers();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_GE(suspendEnvironment(nullptr, 0, 3000), 11);
        expectAllCaptured();
        resumeEnvironment();
    }
    const auto before = counters();
    EXPECT_TRUE(eventually([&] { return counters()[0] > before[0]; }));
}

/// A thread that keeps the suspension signal blocked until told otherwise.
struct DeafThread {
    DeafThread() {
        thread = std::thread([this] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, suspensionSignal());
            ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
            tid.store(currentThread());
            while (!unblock.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // The pending signal is delivered here.
            ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            done.store(true);
        });
        while (tid.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~DeafThread() {
        unblock.store(true);
        thread.join();
    }
    std::atomic<pid_t> tid{0};
    std::atomic<bool> unblock{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST_F(ThreadSuspension, ThreadThatBlocksTheSignalCostsOnlyTheTimeout) {
    startWorkers();
    DeafThread deaf;
    const auto start = Clock::now();
    const int count = suspendEnvironment(nullptr, 0, 400);
    const auto elapsed = Clock::now() - start;
    ASSERT_GE(count, 12);
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1200));
    const ThreadSnapshot* snapshot = snapshotOfThread(deaf.tid.load());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_FALSE(snapshot->captured);
    MachineContext context;
    ASSERT_TRUE(getContextForThread(deaf.tid.load(), &context, false));
    EXPECT_FALSE(context.hasRegisters);
    // The others were stopped all the same.
    expectAllCaptured();
    resumeEnvironment();
    // Its late answer finds no suspension and does not park it.
    deaf.unblock.store(true);
    EXPECT_TRUE(eventually([&] { return deaf.done.load(); }, std::chrono::seconds(2)));
}

TEST_F(ThreadSuspension, LateAnswerDoesNotClaimALaterSuspension) {
    DeafThread deaf;
    const pid_t excluded[] = {deaf.tid.load()};
    ASSERT_GT(suspendEnvironment(nullptr, 0, 200), 0);
    EXPECT_FALSE(snapshotOfThread(deaf.tid.load())->captured);
    resumeEnvironment();

    // The next suspension leaves it alone; the signal of the first one arrives now.
    ASSERT_GT(suspendEnvironment(excluded, 1, 200), 0);
    const ThreadSnapshot* snapshot = snapshotOfThread(deaf.tid.load());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_FALSE(snapshot->captured);
    deaf.unblock.store(true);
    EXPECT_TRUE(eventually([&] { return deaf.done.load(); }, std::chrono::seconds(2)))
        << "the late answer parked the thread";
    EXPECT_FALSE(snapshot->captured);
    EXPECT_EQ(snapshot->frameCount, 0);
    resumeEnvironment();
}

TEST_F(ThreadSuspension, OnlyOneSuspensionAtATime) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> go{false};
    std::atomic<int> nestedResult{-1};
    std::thread other([&] {
        tid.store(currentThread());
        while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        nestedResult.store(suspendEnvironment(nullptr, 0, 200));
    });
    ASSERT_TRUE(eventually([&] { return tid.load() != 0; }));
    const pid_t excluded[] = {tid.load()};
    const int count = suspendEnvironment(excluded, 1, 1000);
    ASSERT_GT(count, 1);
    // Excluded threads are listed, not stopped.
    ASSERT_NE(snapshotOfThread(tid.load()), nullptr);
    EXPECT_FALSE(snapshotOfThread(tid.load())->captured);
    go.store(true);
    other.join();
    EXPECT_EQ(nestedResult.load(), 0);
    // The first suspension is untouched.
    EXPECT_TRUE(isEnvironmentSuspended());
    EXPECT_EQ(suspendedThreadCount(), count);
    resumeEnvironment();
    EXPECT_FALSE(isEnvironmentSuspended());
}

TEST_F(ThreadSuspension, ResumeWithoutSuspensionOnlyLogs) {
    ASSERT_FALSE(isEnvironmentSuspended());
    ::testing::internal::CaptureStderr();
    resumeEnvironment();
    const std::string output = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find("we should call suspendEnvironment() first"), std::string::npos)
        << output;
    // Still usable afterwards.
    ASSERT_GT(suspendEnvironment(nullptr, 0, 200), 0);
    resumeEnvironment();
}

}  // namespace
}  // namespace skald::crash
