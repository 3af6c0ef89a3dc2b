// Deduplication of frames and stacks, thread metadata, and the thread
// metadata cache and stat parsing that feed them.
#include "profiling/profiler_state.h"

#include <gtest/gtest.h>

#include <string>

#include "profiling/thread_handle.h"
#include "profiling/thread_metadata_cache.h"

namespace skald::profiling {
namespace {

Backtrace backtrace(uint64_t thread, std::vector<uintptr_t> addresses, std::string name = "",
                    int32_t priority = -1, uint64_t timestamp = 1) {
    Backtrace result;
    result.threadMetadata = {thread, std::move(name), priority};
    result.absoluteTimestamp = timestamp;
    result.addresses = std::move(addresses);
    return result;
}

TEST(ProfilerState, FramesAndStacksAreStoredOnce) {
    ProfilerState state;
    state.appendBacktrace(backtrace(7, {0x30, 0x20, 0x10}));
    state.appendBacktrace(backtrace(7, {0x30, 0x20, 0x10}));
    state.appendBacktrace(backtrace(8, {0x40, 0x20, 0x10}));
    state.appendBacktrace(backtrace(9, {}));
    state.appendBacktrace(backtrace(10, {}));
    const ProfilingData data = state.copyProfilingData();

    ASSERT_EQ(data.samples.size(), 5U);
    EXPECT_EQ(data.samples[0].stackIndex, data.samples[1].stackIndex)
        << "two identical stacks share one index";
    EXPECT_NE(data.samples[1].stackIndex, data.samples[2].stackIndex);
    EXPECT_EQ(data.samples[3].stackIndex, data.samples[4].stackIndex)
        << "idle threads share the one empty stack";
    EXPECT_TRUE(data.stacks[data.samples[3].stackIndex].empty());

    ASSERT_EQ(data.frames.size(), 4U) << "0x30, 0x20, 0x10 and 0x40";
    EXPECT_EQ(data.frames[0], "0x0000000000000030");
    EXPECT_EQ(data.frames[3], "0x0000000000000040");
    ASSERT_EQ(data.stacks.size(), 3U);
    EXPECT_EQ(data.stacks[0], (std::vector<size_t>{0, 1, 2}));
    EXPECT_EQ(data.stacks[1], (std::vector<size_t>{3, 1, 2}));
    for (const auto& stack : data.stacks) {
        for (size_t frame : stack) EXPECT_LT(frame, data.frames.size());
    }

    state.clear();
    EXPECT_TRUE(state.copyProfilingData().samples.empty());
    state.appendBacktrace(backtrace(7, {0x99}));
    EXPECT_EQ(state.copyProfilingData().frames[0], "0x0000000000000099")
        << "a cleared state numbers its frames afresh";
}

TEST(ProfilerState, ThreadMetadataTakesTheFirstNameAndPriority) {
    ProfilerState state;
    state.cacheMainThreadID(42);
    state.appendBacktrace(backtrace(42, {0x1}));
    state.appendBacktrace(backtrace(5, {0x1}, "", -1));
    state.appendBacktrace(backtrace(5, {0x1}, "worker", 20));
    state.appendBacktrace(backtrace(5, {0x1}, "renamed", 10));
    const ProfilingData data = state.copyProfilingData();
    EXPECT_EQ(data.threadMetadata.at(42).name, "main") << "the main thread without a name";
    EXPECT_FALSE(data.threadMetadata.at(42).priority) << "-1 is no priority";
    EXPECT_EQ(data.threadMetadata.at(5).name, "worker");
    EXPECT_EQ(data.threadMetadata.at(5).priority, 20);

    ProfilerState other;
    other.cacheMainThreadID(0);
    other.cacheMainThreadID(0xFFFFFFFFull);
    EXPECT_NE(other.mainThreadID(), 0xFFFFFFFFull) << "out-of-range ids are refused";
}

TEST(ThreadMetadataCache, SkipsOwnThreadsAndCutsLongNames) {
    ThreadMetadataCache cache;
    EXPECT_EQ(cache.metadataForThread(10, "skald-profiler", 20).threadID, 0U);
    EXPECT_EQ(cache.metadataForThread(10, "anything", 20).threadID, 0U) << "cached as skipped";

    const std::string longName(150, 'n');
    const auto metadata = cache.metadataForThread(11, longName, 20);
    EXPECT_EQ(metadata.threadID, 11U);
    EXPECT_EQ(metadata.name, std::string(100, 'n'));

    EXPECT_EQ(cache.metadataForThread(12, "late", -1).priority, -1);
    EXPECT_EQ(cache.metadataForThread(12, "late", 25).priority, 25)
        << "an unknown priority is not cached";
    EXPECT_EQ(cache.size(), 3U);
    cache.retainOnly({11});
    EXPECT_EQ(cache.size(), 1U);
}

TEST(ThreadStat, ParsesNamesWithSpacesAndParentheses) {
    const std::string line =
        "1234 (a (b) c) R 1 1 1 0 -1 4194368 100 0 0 0 250 50 0 0 20 0 3 0 100 "
        "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 17 1 0 2 0 0 0\n";
    const auto stat = parseThreadStat(line);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->name, "a (b) c");
    EXPECT_EQ(stat->state, 'R');
    EXPECT_FALSE(stat->isIdle());
    EXPECT_EQ(stat->priority, 20);
    EXPECT_EQ(stat->policy, 2);
    EXPECT_GT(stat->userTimeMicros, stat->systemTimeMicros);

    EXPECT_FALSE(parseThreadStat(""));
    EXPECT_FALSE(parseThreadStat("1234 (x) S 1 2"));
    EXPECT_FALSE(parseThreadStat("1234 x) S"));
    const auto sleeping = parseThreadStat("1 (x) S 1 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 1 0 1 0 0\n");
    ASSERT_TRUE(sleeping);
    EXPECT_TRUE(sleeping->isIdle());
}

TEST(ThreadHandle, ReadsLiveThreadsAndFindsStacks) {
    ThreadHandle self(ThreadHandle::current());
    EXPECT_FALSE(self.isIdle()) << "the caller is running";
    EXPECT_GE(self.priority(), 0);
    EXPECT_FALSE(self.name().empty());
    ThreadHandle gone(999'999'999);
    EXPECT_TRUE(gone.isIdle()) << "a thread that cannot be asked counts as idle";
    EXPECT_EQ(gone.priority(), -1);

    int local = 0;
    const auto range = mappingContaining(reinterpret_cast<uintptr_t>(&local));
    ASSERT_TRUE(range);
    EXPECT_LE(range->low, reinterpret_cast<uintptr_t>(&local));
    EXPECT_GT(range->high, reinterpret_cast<uintptr_t>(&local));
    EXPECT_FALSE(mappingContaining("garbage\n10-zz r\n", 0x10));
    const auto found = mappingContaining("1000-2000 r-xp 0 0:0 0 a\n3000-4000 rw-p\n", 0x3fff);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->low, 0x3000U);
}

}  // namespace
}  // namespace skald::profiling
