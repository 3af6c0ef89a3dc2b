// The budgets of the resource watcher, and the stack samples it boils down.
#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "integrations/diagnostics/call_stack_samples.h"
#include "integrations/diagnostics/resource_budgets.h"
#include "platform/system/process_usage.h"

namespace skald::test {
namespace {

TEST(CpuBudgetWindowTest, AWholeWindowOverTheShareIsReportedOnceThenANewWindowStarts) {
    CpuBudgetWindow window(0.5, 3);
    double cpu = 100;
    EXPECT_FALSE(window.add(10, cpu).exceeded);
    std::vector<int> reportedAt;
    for (int second = 1; second <= 7; ++second) {
        cpu += 0.9;
        const auto reading = window.add(10 + second, cpu);
        EXPECT_TRUE(reading.overBudget);
        if (reading.exceeded) {
            reportedAt.push_back(second);
            EXPECT_NEAR(reading.exceeded->cpuSeconds, 2.7, 1e-9);
            EXPECT_NEAR(reading.exceeded->sampledSeconds, 3, 1e-9);
        }
    }
    EXPECT_EQ(reportedAt, (std::vector<int>{3, 6}));
}

TEST(CpuBudgetWindowTest, UseUnderTheShareOrOverItForLessThanTheWindowIsNotReported) {
    CpuBudgetWindow under(0.5, 3);
    CpuBudgetWindow burst(0.5, 3);
    double cpu = 0;
    under.add(0, 0);
    burst.add(0, 0);
    for (int second = 1; second <= 10; ++second) {
        const auto reading = under.add(second, 0.45 * second);
        EXPECT_FALSE(reading.overBudget);
        EXPECT_FALSE(reading.exceeded);
        // One busy second in every three: a third of a core on average.
        cpu += second % 3 == 0 ? 1.0 : 0.0;
        EXPECT_FALSE(burst.add(second, cpu).exceeded) << second;
    }
}

TEST(CpuBudgetWindowTest, ClockOrCounterGoingBackStartsAfresh) {
    CpuBudgetWindow window(0.5, 2);
    window.add(10, 5);
    window.add(11, 6);
    EXPECT_FALSE(window.add(5, 7).exceeded);  // clock back
    EXPECT_FALSE(window.add(6, 1).exceeded);  // counter back
    window.add(7, 2);
    EXPECT_TRUE(window.add(8, 3).exceeded);
}

TEST(DiskWriteBudgetTest, WritesOverTheBudgetAreReportedOncePerPeriod) {
    DiskWriteBudget budget(1000, 100);
    EXPECT_FALSE(budget.add(0, 5000));  // what was written before counts for nothing
    EXPECT_FALSE(budget.add(10, 6000));
    const auto exceeded = budget.add(20, 6001);
    ASSERT_TRUE(exceeded);
    EXPECT_EQ(exceeded->bytesWritten, 1001u);
    EXPECT_DOUBLE_EQ(exceeded->elapsedSeconds, 20);
    EXPECT_FALSE(budget.add(30, 90000));
    // A new period starts from what was written by then.
    EXPECT_FALSE(budget.add(100, 90000));
    EXPECT_FALSE(budget.add(110, 90500));
    EXPECT_TRUE(budget.add(120, 91001));
}

MXFrame sampleFrame(uint64_t address) {
    MXFrame frame;
    frame.binaryUUID = "9E8D5C8A-1D2B-4F3E-8A7B-6C5D4E3F2A10";
    frame.address = address;
    return frame;
}

std::vector<MXFrame> path(std::initializer_list<uint64_t> addresses) {
    std::vector<MXFrame> frames;
    for (const uint64_t address : addresses) frames.push_back(sampleFrame(address));
    return frames;
}

TEST(CallStackSamplesTest, HottestPathFollowsWhatMostSamplesShare) {
    CallStackSamples samples;
    EXPECT_TRUE(samples.hottestPathTree().callStacks.empty());
    for (int i = 0; i < 3; ++i) samples.add(path({1, 2, 3}), i);
    samples.add(path({1, 2, 4}), 3);
    samples.add(path({9, 8}), 4);
    samples.add(path({9, 8}), 5);

    const MXCallStackTree tree = samples.hottestPathTree();
    EXPECT_FALSE(tree.callStackPerThread);
    ASSERT_EQ(tree.callStacks.size(), 1u);
    EXPECT_EQ(tree.callStacks[0].threadAttributed, true);
    ASSERT_EQ(tree.callStacks[0].callStackRootFrames.size(), 1u);
    std::vector<std::pair<uint64_t, int64_t>> walked;
    for (const MXFrame* frame : tree.callStacks[0].flattenedRootFrames()) {
        walked.emplace_back(frame->address, frame->sampleCount.value_or(-1));
    }
    EXPECT_EQ(walked, (std::vector<std::pair<uint64_t, int64_t>>{{1, 4}, {2, 4}, {3, 3}}));

    // Old samples leave the window; the newest decide.
    samples.dropOlderThan(4);
    const MXCallStackTree newerTree = samples.hottestPathTree();
    const auto newer = newerTree.callStacks[0].flattenedRootFrames();
    ASSERT_EQ(newer.size(), 2u);
    EXPECT_EQ(newer[0]->address, 9u);
}

TEST(CallStackSamplesTest, KeepsOnlyTheNewestSamples) {
    CallStackSamples samples;
    for (size_t i = 0; i < CallStackSamples::kMaxSamples + 10; ++i) {
        samples.add(path({i < 20 ? 1u : 2u}), static_cast<double>(i));
    }
    EXPECT_EQ(samples.size(), CallStackSamples::kMaxSamples);
    EXPECT_EQ(samples.hottestPathTree().callStacks[0].callStackRootFrames[0].address, 2u);
    samples.add({}, 100);  // an empty stack is no sample
    EXPECT_EQ(samples.size(), CallStackSamples::kMaxSamples);
}

TEST(ProcessUsageTest, StatLineFieldsAreCountedFromTheLastParenthesis) {
    // utime 250 and stime 50 ticks, with a name that holds ") (".
    const std::string line =
        "1234 (a) (b c) R 1 1234 1234 0 -1 4194304 100 0 0 0 250 50 0 0 20 0 3 0 1000 0 0";
    const auto seconds = platform::cpuSecondsFromStatLine(line);
    ASSERT_TRUE(seconds);
    EXPECT_DOUBLE_EQ(*seconds, 300.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)));
    EXPECT_FALSE(platform::cpuSecondsFromStatLine("1234 (cut short) R 1 2"));
    EXPECT_FALSE(platform::threadCpuTimes().empty());
}

TEST(ProcessUsageTest, OneReaderFollowsTheProcessCpuTime) {
    platform::ProcessCpuReader reader;
    const auto before = reader.cpuSeconds();
    ASSERT_TRUE(before);
    // Busy until the kernel has counted a tenth of a second of CPU.
    timespec start{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (timespec now = start;
         now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 < 0.1;) {
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    }
    const auto after = reader.cpuSeconds();
    ASSERT_TRUE(after);
    EXPECT_GE(*after - *before, 0.05);
    EXPECT_NEAR(*platform::processCpuSeconds(), *after, 0.1);
}

}  // namespace
}  // namespace skald::test
