// One sampling round over real threads: running ones give their stacks,
// idle ones empty stacks, the SDK's own threads and stacks too deep to walk
// give nothing; and the sampling thread's own life.
#include "profiling/sampling_profiler.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/eventually.h"
#include "support/symbol_name.h"

namespace skald::profiling {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> gRun{true};

extern "C" __attribute__((noinline)) void samplingTestSpin() {
    while (gRun.load(std::memory_order_relaxed)) asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline)) int samplingTestRecurse(int depth) {
    if (depth == 0) {
        samplingTestSpin();
        return 0;
    }
    const int result = samplingTestRecurse(depth - 1);
    asm volatile("" ::: "memory");  // not a tail call: every level keeps its frame
    return result + 1;
}

struct Collected {
    std::mutex mutex;
    std::map<uint64_t, std::vector<Backtrace>> byThread;

    void add(const Backtrace& backtrace) {
        std::lock_guard guard(mutex);
        byThread[backtrace.threadMetadata.threadID].push_back(backtrace);
    }
    std::vector<Backtrace> of(pid_t thread) {
        std::lock_guard guard(mutex);
        return byThread[static_cast<uint64_t>(thread)];
    }
};

pid_t startNamed(std::thread& thread, const char* name, std::function<void()> body) {
    std::atomic<pid_t> id{0};
    thread = std::thread([&id, name, body = std::move(body)] {
        ::pthread_setname_np(::pthread_self(), name);
        id = static_cast<pid_t>(::syscall(SYS_gettid));
        body();
    });
    while (id == 0) std::this_thread::yield();
    return id;
}

TEST(SamplingProfiler, ARoundTellsRunningIdleOwnAndTooDeepThreadsApart) {
    gRun = true;
    std::mutex sleepMutex;
    std::condition_variable wake;
    bool sleeping = true;
    std::thread spinner, sleeper, own, deep;
    const pid_t spinnerId = startNamed(spinner, "test-spinner", [] { samplingTestSpin(); });
    const pid_t sleeperId = startNamed(sleeper, "test-sleeper", [&] {
        std::unique_lock lock(sleepMutex);
        wake.wait(lock, [&] { return !sleeping; });
    });
    const pid_t ownId = startNamed(own, "skald-own", [] { samplingTestSpin(); });
    const pid_t deepId = startNamed(deep, "test-deep", [] { samplingTestRecurse(200); });

    Collected collected;
    SamplingProfiler sampler([&](const Backtrace& backtrace) { collected.add(backtrace); }, 101);
    // On a loaded machine a running thread may miss rounds: go on until both
    // kinds were seen a few times.
    for (int round = 0; round < 500; ++round) {
        sampler.sampleOnce();
        if (round >= 30 && collected.of(spinnerId).size() >= 5 &&
            collected.of(sleeperId).size() >= 5) {
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    gRun = false;
    {
        std::lock_guard lock(sleepMutex);
        sleeping = false;
    }
    wake.notify_all();
    for (auto* thread : {&spinner, &sleeper, &own, &deep}) thread->join();

    const auto spins = collected.of(spinnerId);
    ASSERT_FALSE(spins.empty());
    int named = 0;
    for (const auto& backtrace : spins) {
        EXPECT_EQ(backtrace.threadMetadata.name, "test-spinner");
        EXPECT_GE(backtrace.threadMetadata.priority, 0);
        for (uintptr_t address : backtrace.addresses) {
            named += test::symbolNameAt(address) == "samplingTestSpin";
        }
    }
    EXPECT_GT(named, 0);

    const auto sleeps = collected.of(sleeperId);
    ASSERT_FALSE(sleeps.empty());
    for (const auto& backtrace : sleeps) {
        EXPECT_TRUE(backtrace.addresses.empty()) << "an idle thread has an empty stack";
    }
    EXPECT_TRUE(collected.of(ownId).empty()) << "the SDK's own threads are never sampled";
    for (const auto& backtrace : collected.of(deepId)) {
        EXPECT_TRUE(backtrace.addresses.empty())
            << "a stack deeper than 128 frames gives no sample while it runs";
    }
    EXPECT_GT(sampler.longestPauseNanos(), 0U);
    EXPECT_LT(sampler.longestPauseNanos(), 5'000'000U) << "a walk takes microseconds";
}

TEST(SamplingProfiler, TheSamplingThreadStartsOnceAndStops) {
    std::atomic<int> started{0};
    std::atomic<int> backtraces{0};
    SamplingProfiler sampler([&](const Backtrace&) { ++backtraces; }, 101);
    EXPECT_FALSE(sampler.isSampling());
    sampler.startSampling([&] { ++started; });
    sampler.startSampling([&] { ++started; });
    EXPECT_TRUE(sampler.isSampling());
    ASSERT_TRUE(test::eventually([&] { return sampler.numSamples() >= 5; }, 5s));
    EXPECT_EQ(started, 1) << "a second start does nothing";
    sampler.stopSampling();
    EXPECT_FALSE(sampler.isSampling());
    const int seen = backtraces;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(backtraces, seen) << "nothing is sampled after the stop";
    sampler.stopSampling();
}

}  // namespace
}  // namespace skald::profiling
