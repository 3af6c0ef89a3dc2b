// The signal-side sampling: the frame-pointer walk on stacks built by hand,
// and real threads that walk their own stacks when signalled.
#include "crash/async_safe/stack_sampling.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/symbol_name.h"

namespace skald::crash {
namespace {

/// A fake stack of `depth` frames, each {saved frame pointer, return address},
/// chained upwards inside one aligned buffer.
struct FakeStack {
    explicit FakeStack(int depth) : words(static_cast<size_t>(depth) * 2 + 8, 0) {
        auto base = reinterpret_cast<uintptr_t>(words.data());
        first = (base + 15) & ~uintptr_t{15};
        for (int i = 0; i < depth; ++i) {
            auto* frame = reinterpret_cast<uintptr_t*>(first + static_cast<uintptr_t>(i) * 16);
            frame[0] = i + 1 < depth ? first + static_cast<uintptr_t>(i + 1) * 16 : 0;
            frame[1] = 0x1000 + static_cast<uintptr_t>(i) * 0x10;
        }
        low = first - 16;
        high = first + static_cast<uintptr_t>(depth) * 16 + 16;
    }
    std::vector<uintptr_t> words;
    uintptr_t first = 0;
    uintptr_t low = 0;
    uintptr_t high = 0;
};

TEST(FramePointerWalk, FollowsTheChainToItsEnd) {
    FakeStack stack(5);
    uintptr_t addresses[kMaxSampledFrames];
    const auto walk =
        walkFramePointers(0x5001, stack.first, stack.low, stack.high, addresses, kMaxSampledFrames);
    EXPECT_TRUE(walk.reachedEnd);
    ASSERT_EQ(walk.count, 6);
    EXPECT_EQ(addresses[0], 0x5000U) << "the instruction, minus one";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(addresses[i + 1], 0x1000U + i * 0x10 - 1);
}

TEST(FramePointerWalk, WithoutBoundsReadsSafelyAndStillEnds) {
    FakeStack stack(3);
    uintptr_t addresses[kMaxSampledFrames];
    const auto walk =
        walkFramePointers(0x5001, stack.first, stack.low, 0, addresses, kMaxSampledFrames);
    EXPECT_TRUE(walk.reachedEnd);
    EXPECT_EQ(walk.count, 4);
}

TEST(FramePointerWalk, TooDeepOrBrokenChainsGiveNoCompleteWalk) {
    uintptr_t addresses[kMaxSampledFrames];
    FakeStack deep(kMaxSampledFrames + 10);
    auto walk =
        walkFramePointers(0x5001, deep.first, deep.low, deep.high, addresses, kMaxSampledFrames);
    EXPECT_FALSE(walk.reachedEnd) << "a stack deeper than the limit is not a sample";
    EXPECT_EQ(walk.count, kMaxSampledFrames);

    FakeStack stack(3);
    walk = walkFramePointers(0x5001, stack.first + 8, stack.low, stack.high, addresses,
                             kMaxSampledFrames);
    EXPECT_FALSE(walk.reachedEnd) << "misaligned frame pointer";
    EXPECT_EQ(walk.count, 1);
    walk = walkFramePointers(0x5001, stack.high + 64, stack.low, stack.high, addresses,
                             kMaxSampledFrames);
    EXPECT_FALSE(walk.reachedEnd) << "outside the stack";

    // Unmapped memory, read without bounds: no fault, no complete walk.
    walk = walkFramePointers(0x5001, 0x10, 0, 0, addresses, kMaxSampledFrames);
    EXPECT_FALSE(walk.reachedEnd);

    EXPECT_EQ(walkFramePointers(0x5001, stack.first, stack.low, stack.high, nullptr, 8).count, 0);
    EXPECT_EQ(walkFramePointers(0x5001, stack.first, stack.low, stack.high, addresses, 0).count, 0);
    EXPECT_EQ(walkFramePointers(0x5001, stack.first, stack.high, stack.low, addresses, 8).count, 0)
        << "bounds the wrong way round";
}

std::atomic<bool> gSpinning{true};

extern "C" __attribute__((noinline)) void stackSamplingTestSpin() {
    while (gSpinning.load(std::memory_order_relaxed)) {
        asm volatile("" ::: "memory");
    }
}

pid_t threadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

TEST(StackSampling, ARunningThreadWalksItsOwnStack) {
    ASSERT_TRUE(prepareStackSampling());
    gSpinning = true;
    std::atomic<pid_t> spinner{0};
    std::thread thread([&] {
        spinner = threadId();
        stackSamplingTestSpin();
    });
    while (spinner == 0) std::this_thread::yield();

    std::vector<ThreadStackSample> results(1);
    const SampleRequest request{spinner.load(), 0, 0};
    int found = 0;
    for (int attempt = 0; attempt < 20 && found == 0; ++attempt) {
        ASSERT_EQ(sampleThreadStacks(&request, 1, results.data(), 200'000'000), 1);
        const ThreadStackSample& sample = results[0];
        EXPECT_TRUE(sample.answered);
        EXPECT_EQ(sample.thread, spinner.load());
        EXPECT_GT(sample.timestampNanos, 0U);
        EXPECT_LT(sample.pauseNanos, 50'000'000U);
        if (!sample.reachedEnd) continue;
        for (int i = 0; i < sample.frameCount; ++i) {
            if (test::symbolNameAt(sample.frames[i]).find("stackSamplingTestSpin") !=
                std::string::npos) {
                ++found;
            }
        }
    }
    gSpinning = false;
    thread.join();
    EXPECT_GT(found, 0) << "the spinning function is on the sampled stack";
}

/// A thread that keeps the sampling signal blocked until `unblock`, then
/// takes it (as a thread the scheduler let wait would) and idles until
/// destroyed.
class BlockingThread {
  public:
    BlockingThread() {
        thread_ = std::thread([this] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, stackSamplingSignal());
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            id_ = threadId();
            while (!unblocked_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            while (!done_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        while (id_ == 0) std::this_thread::yield();
    }
    ~BlockingThread() {
        unblock();
        done_ = true;
        thread_.join();
    }
    pid_t id() const { return id_; }
    void unblock() { unblocked_ = true; }

  private:
    std::atomic<pid_t> id_{0};
    std::atomic<bool> unblocked_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(StackSampling, ALateAnswerComesWithTheNextRound) {
    ASSERT_TRUE(prepareStackSampling());
    BlockingThread sleeper;
    std::vector<ThreadStackSample> results(1);
    const SampleRequest request{sleeper.id(), 0, 0};
    ASSERT_EQ(sampleThreadStacks(&request, 1, results.data(), 5'000'000), 0);
    sleeper.unblock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(sampleThreadStacks(&request, 1, results.data(), 0), 1) << "answered meanwhile";
    EXPECT_TRUE(results[0].answered);
    EXPECT_GT(results[0].frameCount, 0);
}

TEST(StackSampling, AThreadThatBlocksTheSignalIsGivenUpOnAndLaterAnswersNothing) {
    ASSERT_TRUE(prepareStackSampling());
    auto blocker = std::make_unique<BlockingThread>();
    std::vector<ThreadStackSample> results(2);
    const SampleRequest requests[] = {{blocker->id(), 0, 0}, {999'999'999, 0, 0}};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(sampleThreadStacks(requests, 2, results.data(), 20'000'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_FALSE(results[0].answered);
    EXPECT_FALSE(results[0].abandoned) << "still asked";
    EXPECT_FALSE(results[1].answered) << "a thread that does not exist";
    EXPECT_TRUE(results[1].abandoned);
    // Asked again, it is not signalled twice; after enough silent rounds it
    // is given up on.
    bool abandoned = false;
    for (int round = 0; round < kMaxPendingRounds + 1 && !abandoned; ++round) {
        ASSERT_EQ(sampleThreadStacks(requests, 1, results.data(), 0), 0);
        abandoned = results[0].abandoned;
    }
    EXPECT_TRUE(abandoned);
    blocker.reset();  // the signal still pending arrives now, after its round

    // The next round is unaffected by the late answer.
    gSpinning = true;
    std::atomic<pid_t> spinner{0};
    std::thread spin([&] {
        spinner = threadId();
        stackSamplingTestSpin();
    });
    while (spinner == 0) std::this_thread::yield();
    const SampleRequest request{spinner.load(), 0, 0};
    EXPECT_EQ(sampleThreadStacks(&request, 1, results.data(), 200'000'000), 1);
    gSpinning = false;
    spin.join();
}

}  // namespace
}  // namespace skald::crash
