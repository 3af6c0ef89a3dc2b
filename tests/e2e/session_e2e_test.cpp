// Release health end to end: the example program tells the SDK what the
// application does, and the receiver sees its sessions start, end, crash, be
// killed and count errors.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

class SessionEndToEnd : public ExampleEndToEnd {
  protected:
    struct Received {
        std::vector<Json> sessions;
        std::vector<Json> events;
    };

    /// Every received envelope's sessions and events, one entry per envelope.
    std::vector<Received> envelopes() {
        std::vector<Received> all;
        for (const auto& envelope : receivedEnvelopes())
            all.push_back({itemsOfType(*envelope, "session"), itemsOfType(*envelope, "event")});
        return all;
    }

    std::vector<Json> sessions() {
        std::vector<Json> all;
        for (auto& envelope : envelopes())
            for (auto& session : envelope.sessions) all.push_back(session);
        return all;
    }
};

TEST_F(SessionEndToEnd, ANormalRunStartsItsSessionAndEndsItExitedAtTerminate) {
    EXPECT_EQ(runExample({"--lifecycle", "active", "--lifecycle", "terminate"}), 0) << exampleLog();
    const auto sent = sessions();
    ASSERT_EQ(sent.size(), 2u) << exampleLog();
    EXPECT_EQ(sent[0]["init"], true);
    EXPECT_EQ(sent[0]["status"], "ok");
    EXPECT_EQ(sent[0]["attrs"]["release"], "skald-example@1.0.0");
    EXPECT_EQ(sent[1]["sid"], sent[0]["sid"]);
    EXPECT_EQ(sent[1]["status"], "exited");
    EXPECT_FALSE(sent[1].contains("init"));
}

TEST_F(SessionEndToEnd, TheFirstErrorSendsASessionUpdateWithTheEvent) {
    EXPECT_EQ(runExample({"--lifecycle", "active", "--error", "com.example:7:Save failed"}), 0)
        << exampleLog();
    bool found = false;
    for (const auto& envelope : envelopes()) {
        if (envelope.events.empty() || envelope.sessions.empty()) continue;
        found = true;
        EXPECT_EQ(envelope.sessions[0]["errors"], 1);
        EXPECT_EQ(envelope.sessions[0]["status"], "ok");
    }
    EXPECT_TRUE(found) << exampleLog();
}

TEST_F(SessionEndToEnd, AKilledRunsSessionIsSentAsAbnormalAtTheNextStart) {
    const auto killed = runProgram(SKALD_EXAMPLE_PATH, {"--lifecycle", "active", "--sleep", "60"},
                                   std::chrono::seconds(2));
    EXPECT_EQ(killed.status, 1000 + SIGKILL) << killed.output;
    const size_t before = sessions().size();

    EXPECT_EQ(runExample({}), 0) << exampleLog();
    const auto sent = sessions();
    ASSERT_GT(sent.size(), before);
    EXPECT_EQ(sent.back()["status"], "abnormal");
    EXPECT_EQ(sent.back()["duration"], 0);
}

TEST_F(SessionEndToEnd, ACrashedRunsSessionTravelsWithItsFatalEvent) {
    EXPECT_EQ(runExample({"--lifecycle", "active", "--crash", "segv"}), 1000 + SIGSEGV)
        << exampleLog();
    EXPECT_EQ(runExample({}), 0) << exampleLog();
    int together = 0;
    for (const auto& envelope : envelopes()) {
        for (const auto& event : envelope.events) {
            if (event.value("level", "") != "fatal") continue;
            ASSERT_EQ(envelope.sessions.size(), 1u);
            EXPECT_EQ(envelope.sessions[0]["status"], "crashed");
            ++together;
        }
    }
    EXPECT_EQ(together, 1) << exampleLog();
    // The crashed session is not also closed as abnormal.
    for (const auto& session : sessions()) EXPECT_NE(session["status"], "abnormal");
}

}  // namespace
}  // namespace skald::test
