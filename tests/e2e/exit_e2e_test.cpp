// Host programs end while the SDK is busy: they exit at once, with their own
// exit status, and nothing that was captured is lost.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;

class ExitEndToEnd : public ExampleEndToEnd {
  protected:
    static long field(const std::string& output, const std::string& name) {
        std::smatch match;
        if (!std::regex_search(output, match, std::regex(name + " (\\d+)"))) return -1;
        return std::stol(match[1]);
    }

    bool anEventSays(const std::string& message) {
        for (const auto& event : storedEvents()) {
            const auto& text = event.value("message", Json::object()).value("formatted", "");
            if (text == message) return true;
        }
        return false;
    }
};

TEST_F(ExitEndToEnd, TheExampleExitsAsSoonAsItsWorkIsDoneAndKeepsWhatItCaptured) {
    const auto run =
        runProgram(SKALD_EXAMPLE_PATH, {"--sleep", "5", "--message", "hi", "--flush", "0"}, 60s);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_LT(run.elapsed, 6s) << "5 s of sleep, then at most a second";

    // Not sent before the exit, the message was stored and goes at the next start.
    EXPECT_EQ(runExample({"--flush", "5"}), 0) << exampleLog();
    EXPECT_TRUE(receiver->waitForEnvelopes(1, 10s));
    EXPECT_TRUE(anEventSays("hi"));
}

TEST_F(ExitEndToEnd, AStartWithNothingToDoEndsAtOnce) {
    const auto run = runProgram(SKALD_EXAMPLE_PATH, {"--flush", "0"}, 60s);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_LT(run.elapsed, 1s);
}

TEST_F(ExitEndToEnd, AHostThatReturnsFromMainAfterAPauseEndsWithinASecond) {
    const auto run = runProgram(SKALD_EXIT_HOST_PATH, {"sleep", "3"}, 60s);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(run.afterWork) << run.output;
    EXPECT_LT(*run.afterWork, 1s);
}

TEST_F(ExitEndToEnd, ACaptureStormStaysInBoundedMemoryAndEndsCleanly) {
    // 16 threads, 40 KB of extra data per event: unbounded, the envelopes
    // waiting for the disk would hold far more than the limit below.
    const auto run = runProgram(SKALD_EXIT_HOST_PATH, {"storm", "16", "150", "40000"}, 120s);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(run.afterWork) << run.output;
    EXPECT_LT(*run.afterWork, 1s);
    const long idle = field(run.output, "idle-rss"), peak = field(run.output, "peak-rss");
    ASSERT_GT(idle, 0) << run.output;
    EXPECT_LT(peak - idle, 64 * 1024) << "kB above the idle SDK";

    // What could not be kept is reported as the cache overflow it is.
    EXPECT_EQ(runExample({"--flush", "10"}), 0) << exampleLog();
    bool overflowReported = false;
    for (const auto& received : receiver->received()) {
        if (received.body.find("\"cache_overflow\"") != std::string::npos) overflowReported = true;
    }
    EXPECT_TRUE(overflowReported);
}

TEST_F(ExitEndToEnd, ExitFromASecondThreadWhileTheSdkIsSendingIsCleanAndQuick) {
    // A slow service keeps requests under way while the host exits.
    receiver->stop();
    tools::ReceiverConfig config;
    config.port = 0;
    config.storeDirectory = (root / "received").string();
    config.output = [](const std::string&) {};
    config.responseDelay = 300ms;
    receiver = std::make_unique<tools::Receiver>(config);
    ASSERT_TRUE(receiver->start());
    for (int round = 0; round < 3; ++round) {
        const auto run = runProgram(SKALD_EXIT_HOST_PATH, {"exit-from-thread", "20"}, 60s);
        ASSERT_FALSE(run.timedOut) << run.output;
        EXPECT_EQ(run.status, 0) << "round " << round << ": " << run.output;
        ASSERT_TRUE(run.afterWork) << run.output;
        EXPECT_LT(*run.afterWork, 1s) << "round " << round;
    }
}

}  // namespace
}  // namespace skald::test
