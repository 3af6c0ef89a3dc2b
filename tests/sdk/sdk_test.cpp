#include <gtest/gtest.h>

#include <filesystem>

#include "sdk_fixture.h"
#include "skald/breadcrumb.h"
#include "skald/private_sdk_only.h"
#include "skald/sdk.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "util/meta.h"

namespace skald::test {
namespace {

class SdkTest : public FileManagerFixture {
  protected:
    void TearDown() override {
        SDK::close();
        FileManagerFixture::TearDown();
    }

    // Nothing listens on this port: envelopes stay on disk.
    std::shared_ptr<Options> startOptions() {
        auto started = std::make_shared<Options>();
        started->setDsn("http://public@127.0.0.1:9/42");
        started->cacheDirectoryPath = (root / "sdk-cache").string();
        started->releaseName = "app@2";
        return started;
    }
};

TEST_F(SdkTest, CapturesBeforeStartAndAfterCloseGiveTheEmptyId) {
    EXPECT_FALSE(SDK::isEnabled());
    EXPECT_EQ(SDK::captureMessage("early"), Id::empty());
    EXPECT_EQ(SDK::captureError(Error("D", 1, "x")), Id::empty());
    SDK::addBreadcrumb(std::make_shared<Breadcrumb>());
    EXPECT_TRUE(SDK::currentHub()->scope()->breadcrumbs().empty());

    SDK::startWithOptions(startOptions());
    ASSERT_TRUE(SDK::isEnabled());
    EXPECT_NE(SDK::captureMessage("sent"), Id::empty());

    SDK::close();
    EXPECT_FALSE(SDK::isEnabled());
    EXPECT_EQ(SDK::captureMessage("late"), Id::empty());
}

TEST_F(SdkTest, StartOnTheMainThreadIsCompleteWhenItReturns) {
    const unsigned before = SDK::startInvocations();
    LogCapture log;
    auto options = startOptions();
    options->debug = true;
    SDK::startWithOptions(options);
    EXPECT_EQ(SDK::startInvocations(), before + 1);
    EXPECT_EQ(SDK::options(), options);
    ASSERT_TRUE(SDK::isEnabled());
    // Main-thread part ran before the closing line.
    const auto lines = log.lines();
    auto at = [&](const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
        return -1L;
    };
    ASSERT_GE(at("Starting SDK..."), 0);
    EXPECT_LT(at("SDK main thread init started..."), at("SDK initialized! Version: 1.0.0"));
    // The default integrations that are not built yet are named and skipped.
    EXPECT_TRUE(log.contains("couldn't find"));
}

TEST_F(SdkTest, ScopeBlocksChangeACopyOnly) {
    SDK::startWithOptions(startOptions());
    SDK::configureScope([](Scope& scope) { scope.setTagValue("hub", "origin"); });
    std::map<std::string, std::string> seen;
    SDK::captureMessage("with block", [&](Scope& scope) {
        scope.setTagValue("copy", "only");
        seen = scope.tags();
    });
    EXPECT_EQ(seen.at("origin"), "hub");
    const auto tags = SDK::currentHub()->scope()->tags();
    EXPECT_EQ(tags.count("only"), 0u);
    EXPECT_EQ(tags.at("origin"), "hub");
}

TEST_F(SdkTest, StoredEnvelopesWaitOnDiskWhenTheServiceIsAway) {
    auto options = startOptions();
    SDK::startWithOptions(options);
    const auto id = SDK::captureMessage("kept");
    ASSERT_NE(id, Id::empty());
    auto client = SDK::currentHub()->getClient();
    // The transport stores on its own queue.
    EXPECT_TRUE(eventually([&] {
        for (const auto& file : client->fileManager()->getAllEnvelopes()) {
            if (file.contents.find(id.skaldIdString()) != std::string::npos) return true;
        }
        return false;
    }));
}

TEST_F(SdkTest, ContinuousProfilerWarnsWhenTraceProfilingIsConfigured) {
    auto options = startOptions();
    options->setProfilesSampleRate(0.5);
    options->debug = true;
    SDK::startWithOptions(options);
    LogCapture log(Level::Warning);
    SDK::startProfiler();
    SDK::stopProfiler();
    EXPECT_TRUE(log.contains("before attempting to start a continuous profiling session."));
    EXPECT_TRUE(log.contains("before attempting to stop a continuous profiling session."));
}

TEST_F(SdkTest, WrapperInterfaceForwardsAndReports) {
    // Before start: fresh defaults, not null.
    auto defaults = PrivateSDKOnly::options();
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->maxBreadcrumbs, 100u);
    EXPECT_FALSE(PrivateSDKOnly::appStartMeasurementWithSpans());
    EXPECT_FALSE(PrivateSDKOnly::collectProfileBetween(0, 1, Id()));

    auto options = startOptions();
    SDK::startWithOptions(options);
    EXPECT_EQ(PrivateSDKOnly::options(), options);
    EXPECT_EQ(PrivateSDKOnly::installationID(), PrivateSDKOnly::installationID());
    EXPECT_FALSE(PrivateSDKOnly::getDebugImages().empty());
    const auto extra = PrivateSDKOnly::getExtraContext();
    EXPECT_TRUE(extra["device"].contains("processor_count"));

    PrivateSDKOnly::setSdkName("skald.wrapper", "9.9.9");
    EXPECT_EQ(PrivateSDKOnly::getSdkName(), "skald.wrapper");
    Event event(Level::Info);
    auto envelope = Envelope::forEvent(event);
    EXPECT_EQ(envelope->header()->sdkInfo()->name(), "skald.wrapper");
    PrivateSDKOnly::setSdkName("skald.cocoa", "1.0.0");

    auto bytes = Serialization::dataWithEnvelope(*envelope);
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(PrivateSDKOnly::envelopeWithData(*bytes));
    EXPECT_FALSE(PrivateSDKOnly::envelopeWithData("not an envelope"));

    {
        LogCapture quiet(Level::Info);
        EXPECT_FALSE(PrivateSDKOnly::captureScreenshots());
        EXPECT_FALSE(quiet.contains("captureScreenshots"));
    }
    LogCapture log;
    EXPECT_FALSE(PrivateSDKOnly::captureScreenshots());
    EXPECT_TRUE(log.contains("PrivateSkaldSDKOnly.captureScreenshots only works with UIKit"));
}

TEST_F(SdkTest, AppStartMeasurementReachesTheWrapperHook) {
    std::shared_ptr<AppStartMeasurement> received;
    bool called = false;
    PrivateSDKOnly::setOnAppStartMeasurementAvailable(
        [&](const std::shared_ptr<AppStartMeasurement>& m) {
            called = true;
            received = m;
        });
    SDK::setAppStartMeasurement(nullptr);
    EXPECT_TRUE(called);
    EXPECT_EQ(SDK::getAppStartMeasurement(), nullptr);
    PrivateSDKOnly::setOnAppStartMeasurementAvailable(nullptr);
}

}  // namespace
}  // namespace skald::test
