#include "integrations/crash_report_sink.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/crash_wrapper.h"
#include "core/sdk_state.h"
#include "report_fixture.h"
#include "sdk/sdk_fixture.h"
#include "skald/sdk.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

using crash::CrashReportSink;

/// Says how long the last run lived from crash-state init to its crash.
class FakeCrashWrapper : public CrashWrapper {
  public:
    explicit FakeCrashWrapper(double duration) : duration(duration) {}
    double durationFromCrashStateInitToLastCrash() override { return duration; }
    double duration;
};

/// Keeps dispatched blocks until the test runs them.
class HoldingQueue : public DispatchQueueWrapper {
  public:
    HoldingQueue() : DispatchQueueWrapper("skald-test-holding") {}
    void dispatchAsync(Block block) override { held.push_back(std::move(block)); }
    void runHeld() {
        auto blocks = std::move(held);
        held.clear();
        for (auto& block : blocks) block();
    }
    std::vector<Block> held;
};

class CrashReportSinkTest : public SdkFixture {
  protected:
    void SetUp() override {
        SdkFixture::SetUp();
        SdkState::setDetectedStartUpCrash(false);
        SDK::setCurrentHub(hub);
        holdingQueue = std::make_shared<HoldingQueue>();
    }
    void TearDown() override {
        SDK::setCurrentHub(nullptr);
        SdkState::setDetectedStartUpCrash(false);
        SdkFixture::TearDown();
    }

    CrashReportSink sinkFor(double duration) {
        return CrashReportSink(shopInAppLogic(), std::make_shared<FakeCrashWrapper>(duration),
                               holdingQueue);
    }

    /// The crash events the transport received.
    std::vector<Json> sentEvents() const {
        std::vector<Json> events;
        for (const auto& envelope : transport->envelopes()) {
            const Json event = itemJson(*envelope, "event");
            if (!event.is_null()) events.push_back(event);
        }
        return events;
    }

    std::shared_ptr<HoldingQueue> holdingQueue;
    int completions = 0;
    std::vector<Json> handled;
    crash::CrashReportFilterCompletion recordCompletion() {
        return [this](std::vector<Json> reports, bool completed, std::optional<Error> error) {
            ++completions;
            handled = std::move(reports);
            EXPECT_TRUE(completed);
            EXPECT_FALSE(error);
        };
    }
};

TEST_F(CrashReportSinkTest, StartUpCrashIsSentAtOnceAndFlushed) {
    LogCapture log(Level::Debug);
    auto sink = sinkFor(1.5);
    sink.filterReports({fixtureReport("signal_report.json")}, recordCompletion());

    EXPECT_TRUE(holdingQueue->held.empty()) << "nothing left for the queue";
    EXPECT_TRUE(SdkState::detectedStartUpCrash());
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(handled.size(), 1u);
    const auto events = sentEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["level"], "fatal");
    EXPECT_EQ(events[0]["exception"]["values"][0]["type"], "SIGSEGV");
    EXPECT_TRUE(log.contains("Startup crash: detected."));
    EXPECT_TRUE(log.contains("Startup crash: Finished flushing."));
}

TEST_F(CrashReportSinkTest, LaterCrashIsSentOnTheQueue) {
    for (const double duration : {2.5, 0.0, -1.0}) {
        completions = 0;
        auto sink = sinkFor(duration);
        sink.filterReports({fixtureReport("signal_report.json")}, recordCompletion());
        EXPECT_EQ(completions, 0) << duration;
        EXPECT_TRUE(sentEvents().empty()) << duration;
        ASSERT_EQ(holdingQueue->held.size(), 1u) << duration;

        holdingQueue->runHeld();
        EXPECT_EQ(completions, 1) << duration;
        EXPECT_EQ(sentEvents().size(), 1u) << duration;
        EXPECT_FALSE(SdkState::detectedStartUpCrash()) << duration;
        transport = std::make_shared<RecordingTransport>();
        makeClient();
        SDK::setCurrentHub(hub);
    }
}

TEST_F(CrashReportSinkTest, TwoSecondsIsStillAStartUpCrash) {
    auto sink = sinkFor(2.0);
    sink.filterReports({fixtureReport("signal_report.json")}, recordCompletion());
    EXPECT_TRUE(SdkState::detectedStartUpCrash());
    EXPECT_TRUE(holdingQueue->held.empty());
}

TEST_F(CrashReportSinkTest, QueuedSendOutlivesTheSink) {
    {
        auto sink = sinkFor(10);
        sink.filterReports({fixtureReport("signal_report.json")}, recordCompletion());
    }
    holdingQueue->runHeld();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(sentEvents().size(), 1u);
}

TEST_F(CrashReportSinkTest, WithoutAClientReportsAreLoggedAndStillHandled) {
    SDK::setCurrentHub(nullptr);
    LogCapture log(Level::Error);
    auto sink = sinkFor(1.0);
    const std::vector<Json> reports = {fixtureReport("signal_report.json"), Json("not a report")};
    sink.filterReports(reports, recordCompletion());
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(handled, reports);
    EXPECT_TRUE(sentEvents().empty());
    EXPECT_TRUE(log.contains(
        "Crash reports were found but no [SkaldSDK.currentHub getClient] is set. Cannot send crash "
        "reports to Skald. This is probably a misconfiguration, make sure you set the client with "
        "[SkaldSDK.currentHub bindClient] before calling startCrashHandlerWithError:."));
}

TEST_F(CrashReportSinkTest, ReportThatCannotBeConvertedIsNotHandled) {
    auto sink = sinkFor(1.0);
    const auto report = fixtureReport("signal_report.json");
    sink.filterReports({Json::array({1}), report}, recordCompletion());
    EXPECT_EQ(handled, std::vector<Json>{report});
    EXPECT_EQ(sentEvents().size(), 1u);
}

TEST_F(CrashReportSinkTest, AttachmentsGoWithTheCrashOnlyAndTheLiveScopeStays) {
    const auto attachmentPath = root / "log.txt";
    std::ofstream(attachmentPath) << "last words";
    scope->setTagValue("yes", "live");
    auto report = fixtureReport("signal_report.json");
    report["attachments"] = Json::array({attachmentPath.string(), 5});

    auto sink = sinkFor(1.0);
    sink.filterReports({report}, recordCompletion());

    const auto envelopes = transport->envelopes();
    ASSERT_EQ(envelopes.size(), 1u);
    const auto types = itemTypes(*envelopes[0]);
    EXPECT_NE(std::find(types.begin(), types.end(), "attachment"), types.end());
    EXPECT_EQ(itemJson(*envelopes[0], "event")["tags"]["live"], "yes") << "the scope is a copy";
    EXPECT_TRUE(scope->attachments().empty());
}

}  // namespace
}  // namespace skald::test
