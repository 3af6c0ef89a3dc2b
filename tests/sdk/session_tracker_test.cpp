// Sessions driven by the application's notifications: started when the
// application becomes active, kept or renewed after it was away, ended when it
// terminates, and a session left on disk by the previous run closed at start.
#include "integrations/session_tracker.h"

#include <gtest/gtest.h>

#include "sdk/sdk_fixture.h"
#include "skald/platform/notification_center.h"
#include "skald/sdk.h"
#include "util/iso8601.h"

namespace skald::test {
namespace {

class SessionTrackerTest : public CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        tracker = std::make_unique<SessionTracker>(30000, center);
    }
    void TearDown() override {
        tracker.reset();
        CurrentHubFixture::TearDown();
    }

    /// The sessions sent so far, oldest first.
    std::vector<Json> sessions() const {
        std::vector<Json> found;
        for (const auto& envelope : transport->envelopes()) {
            for (const auto& item : envelope->items()) {
                if (item->header()->type() == "session")
                    found.push_back(parseJsonBytes(item->data()).value_or(Json()));
            }
        }
        return found;
    }

    void post(const char* name) { center.postNotificationName(name); }

    platform::NotificationCenter center;
    std::unique_ptr<SessionTracker> tracker;
};

TEST_F(SessionTrackerTest, AnActivationStartsOneSessionEvenWhenTwoNotificationsSaySo) {
    tracker->start();
    post(platform::kApplicationDidBecomeActiveNotification);
    post(SessionTracker::kHybridSdkDidBecomeActive);
    const auto sent = sessions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["init"], true);
    EXPECT_EQ(sent[0]["status"], "ok");
    EXPECT_EQ(sent[0]["seq"], 1);
    ASSERT_TRUE(hub->session());
}

TEST_F(SessionTrackerTest, ComingBackWithinTheIntervalKeepsTheSessionLaterRenewsIt) {
    tracker->start();
    post(platform::kApplicationDidBecomeActiveNotification);
    const auto first = hub->session()->sessionId();

    post(platform::kApplicationWillResignActiveNotification);
    clock->advance(29.9);
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_EQ(hub->session()->sessionId(), first);
    EXPECT_EQ(sessions().size(), 1u);
    EXPECT_FALSE(manager->readTimestampLastInForeground()) << "cleared on return";

    post(platform::kApplicationWillResignActiveNotification);
    const Date resigned = clock->date();
    ASSERT_TRUE(manager->readTimestampLastInForeground());
    clock->advance(30);
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_NE(hub->session()->sessionId(), first);
    const auto sent = sessions();
    ASSERT_EQ(sent.size(), 3u);
    // The old one ends when the application left, not when it came back.
    EXPECT_EQ(sent[1]["status"], "exited");
    EXPECT_EQ(sent[1]["timestamp"], formatIso8601Timestamp(resigned));
    EXPECT_EQ(sent[2]["init"], true);
}

TEST_F(SessionTrackerTest, TerminatingEndsTheSessionWhenTheApplicationLeftTheForeground) {
    tracker->start();
    post(platform::kApplicationDidBecomeActiveNotification);
    post(platform::kApplicationWillResignActiveNotification);
    const Date resigned = clock->date();
    clock->advance(5);
    post(platform::kApplicationWillTerminateNotification);
    const auto sent = sessions();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1]["status"], "exited");
    EXPECT_EQ(sent[1]["timestamp"], formatIso8601Timestamp(resigned));
    EXPECT_FALSE(hub->session());
    EXPECT_FALSE(manager->readCurrentSession());
    EXPECT_FALSE(manager->readTimestampLastInForeground());
}

TEST_F(SessionTrackerTest, StartClosesThePreviousRunsSession) {
    Session previous(std::string("app@1.0"), "d");
    manager->storeCurrentSession(previous);
    const Date left = clock->date();
    manager->storeTimestampLastInForeground(left);
    tracker->start();
    auto sent = sessions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["status"], "exited");
    EXPECT_EQ(sent[0]["timestamp"], formatIso8601Timestamp(left));
    EXPECT_FALSE(manager->readTimestampLastInForeground());

    // Killed without a chance to store when it left: abnormal at its start.
    tracker->stop();
    manager->storeCurrentSession(previous);
    tracker->start();
    sent = sessions();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1]["status"], "abnormal");
    EXPECT_EQ(sent[1]["duration"], 0);
}

TEST_F(SessionTrackerTest, StoppedItFollowsNothing) {
    tracker->start();
    tracker->stop();
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(sessions().empty());
    EXPECT_EQ(center.observerCount(), 0u);
}

TEST_F(SessionTrackerTest, WithoutAReleaseNoSessionStarts) {
    options->releaseName.reset();
    makeClient();
    SDK::setCurrentHub(hub);
    tracker->start();
    post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(sessions().empty());
}

}  // namespace
}  // namespace skald::test
