#include <gtest/gtest.h>

#include "core/integration.h"
#include "sdk_fixture.h"
#include "skald/breadcrumb.h"
#include "skald/sdk.h"
#include "skald/session.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

class HubTest : public SdkFixture {};

std::shared_ptr<Breadcrumb> crumb(const std::string& message) {
    auto b = std::make_shared<Breadcrumb>(Level::Info, "test");
    b->message = message;
    return b;
}

std::shared_ptr<Envelope> envelopeWithEvent(Event& event) {
    return Envelope::forEvent(event);
}

TEST_F(HubTest, WithoutAClientEveryCaptureIsANoOp) {
    Hub bare(nullptr, nullptr);
    EXPECT_EQ(bare.captureMessage("x"), Id::empty());
    EXPECT_EQ(bare.captureError(Error("D", 1, "x")), Id::empty());
    EXPECT_EQ(bare.captureEvent(std::make_shared<Event>(Level::Error)), Id::empty());
    bool called = false;
    bare.configureScope([&](Scope&) { called = true; });
    EXPECT_FALSE(called);
    // Capacity read from missing options is 0: breadcrumbs are dropped.
    bare.addBreadcrumb(crumb("dropped"));
    EXPECT_TRUE(bare.scope()->breadcrumbs().empty());
}

TEST_F(HubTest, BreadcrumbsPassBeforeBreadcrumbAndRespectCapacityZero) {
    options->beforeBreadcrumb = [](std::shared_ptr<Breadcrumb> b) {
        return b->message == "secret" ? nullptr : b;
    };
    LogCapture log;
    hub->addBreadcrumb(crumb("kept"));
    hub->addBreadcrumb(crumb("secret"));
    ASSERT_EQ(scope->breadcrumbs().size(), 1u);
    EXPECT_EQ(scope->breadcrumbs()[0]->message, "kept");
    EXPECT_TRUE(log.contains("Discarded Breadcrumb in `beforeBreadcrumb`"));

    options->maxBreadcrumbs = 0;
    hub->addBreadcrumb(crumb("none"));
    EXPECT_EQ(scope->breadcrumbs().size(), 1u);
}

TEST_F(HubTest, ErrorsBeforeASessionMoveIntoTheNextOne) {
    hub->captureError(Error("D", 1, "x"));
    hub->captureError(Error("D", 2, "y"));
    EXPECT_EQ(hub->errorsBeforeSession(), 2u);
    hub->startSession();
    ASSERT_TRUE(hub->session());
    EXPECT_EQ(hub->session()->errors(), 2u);
    EXPECT_EQ(hub->errorsBeforeSession(), 0u);
    // The started session is stored and sent.
    EXPECT_TRUE(manager->readCurrentSession());
    EXPECT_EQ(itemTypes(*transport->envelopes().back()), (std::vector<std::string>{"session"}));
}

TEST_F(HubTest, ErrorsWithASessionAreCountedAndSentWithIt) {
    hub->startSession();
    hub->captureError(Error("D", 1, "x"));
    EXPECT_EQ(hub->session()->errors(), 1u);
    EXPECT_EQ(itemTypes(*transport->envelopes().back()),
              (std::vector<std::string>{"event", "session"}));
    EXPECT_EQ(manager->readCurrentSession()->errors(), 1u);
}

TEST_F(HubTest, StartingASessionEndsThePreviousAsExited) {
    hub->startSession();
    const auto first = hub->session()->sessionId();
    hub->startSession();
    EXPECT_NE(hub->session()->sessionId(), first);
    const auto last = itemJson(*transport->envelopes().back(), "session");
    EXPECT_EQ(Id::parse(last["sid"].get<std::string>()), first);
    EXPECT_EQ(last["status"], "exited");
}

TEST_F(HubTest, SessionsNeedARelease) {
    options->releaseName.reset();
    LogCapture log;
    hub->startSession();
    EXPECT_FALSE(hub->session());
    EXPECT_TRUE(log.contains("No option or release to start a session."));
}

TEST_F(HubTest, EndingWithoutASessionOnlyLogs) {
    hub->startSession();
    hub->endSession();
    EXPECT_FALSE(hub->session());
    EXPECT_FALSE(manager->readCurrentSession());
    const auto sent = transport->envelopes().size();
    LogCapture log;
    hub->endSession();
    EXPECT_EQ(transport->envelopes().size(), sent);
    EXPECT_TRUE(log.contains("No session to end with timestamp."));
}

TEST_F(HubTest, EnvelopesWithHandledErrorsCountInTheSession) {
    hub->startSession();
    Event error(Level::Error);
    hub->captureEnvelope(envelopeWithEvent(error));
    EXPECT_EQ(hub->session()->errors(), 1u);
    EXPECT_EQ(itemTypes(*transport->envelopes().back()),
              (std::vector<std::string>{"event", "session"}));

    // Warnings leave the session alone and the envelope unchanged.
    Event warning(Level::Warning);
    hub->captureEnvelope(envelopeWithEvent(warning));
    EXPECT_EQ(hub->session()->errors(), 1u);
    EXPECT_EQ(itemTypes(*transport->envelopes().back()), (std::vector<std::string>{"event"}));
}

TEST_F(HubTest, EnvelopesWithUnhandledErrorsEndTheSessionAsCrashed) {
    hub->startSession();
    const auto before = hub->session()->sessionId();
    Event crash(Level::Fatal);
    auto exception = std::make_shared<Exception>("boom", "SIGSEGV");
    exception->mechanism = std::make_shared<Mechanism>("signal");
    exception->mechanism->handled = false;
    crash.exceptions = {exception};
    hub->captureEnvelope(envelopeWithEvent(crash));

    const auto session = itemJson(*transport->envelopes().back(), "session");
    EXPECT_EQ(session["status"], "crashed");
    EXPECT_EQ(Id::parse(session["sid"].get<std::string>()), before);
    ASSERT_TRUE(hub->session());
    EXPECT_NE(hub->session()->sessionId(), before);

    // Storing does not replace the current session.
    const auto current = hub->session()->sessionId();
    hub->storeEnvelope(envelopeWithEvent(crash));
    EXPECT_EQ(hub->session()->sessionId(), current);
}

TEST_F(HubTest, CrashEventsTakeTheCrashedSessionAndDeleteIt) {
    Session crashed(std::string("app@1.0"), "d");
    crashed.endSessionCrashed(std::chrono::system_clock::now());
    manager->storeCrashedSession(crashed);
    hub->captureCrashEvent(std::make_shared<Event>(Level::Fatal));
    EXPECT_EQ(itemTypes(*transport->envelopes().back()),
              (std::vector<std::string>{"event", "session"}));
    EXPECT_FALSE(manager->readCrashedSession());

    hub->captureCrashEvent(std::make_shared<Event>(Level::Fatal));
    EXPECT_EQ(itemTypes(*transport->envelopes().back()), (std::vector<std::string>{"event"}));
}

TEST_F(HubTest, CachedSessionsCloseAsExitedOrAbnormal) {
    Session cached(std::string("app@1.0"), "d");
    manager->storeCurrentSession(cached);
    hub->closeCachedSessionWithTimestamp(std::nullopt);
    EXPECT_EQ(itemJson(*transport->envelopes().back(), "session")["status"], "abnormal");
    EXPECT_FALSE(manager->readCurrentSession());

    manager->storeCurrentSession(cached);
    hub->closeCachedSessionWithTimestamp(std::chrono::system_clock::now());
    EXPECT_EQ(itemJson(*transport->envelopes().back(), "session")["status"], "exited");
}

// --- Integrations -----------------------------------------------------------------

std::vector<std::string>& installLog() {
    static std::vector<std::string> log;
    return log;
}

class RecordingIntegration : public BaseIntegration {
  public:
    RecordingIntegration(std::string name, uint32_t flags)
        : BaseIntegration(std::move(name)), flags_(flags) {}
    uint32_t integrationOptions() const override { return flags_; }
    bool installWithOptions(const Options& options) override {
        if (!BaseIntegration::installWithOptions(options)) return false;
        installLog().push_back("install " + integrationName());
        return true;
    }
    void uninstall() override { installLog().push_back("uninstall " + integrationName()); }

  private:
    uint32_t flags_;
};

class IntegrationTest : public HubTest {
  protected:
    void SetUp() override {
        HubTest::SetUp();
        installLog().clear();
        for (const char* name : {"SkaldFirstIntegration", "SkaldSecondIntegration"}) {
            IntegrationRegistry::shared().registerIntegration(name, [name] {
                return std::make_shared<RecordingIntegration>(name, kIntegrationOptionNone);
            });
        }
        IntegrationRegistry::shared().registerIntegration("SkaldCrashOnlyIntegration", [] {
            return std::make_shared<RecordingIntegration>("SkaldCrashOnlyIntegration",
                                                          kIntegrationOptionEnableCrashHandler);
        });
    }
    void TearDown() override {
        for (const char* name :
             {"SkaldFirstIntegration", "SkaldSecondIntegration", "SkaldCrashOnlyIntegration"})
            IntegrationRegistry::shared().unregisterIntegration(name);
        HubTest::TearDown();
    }
};

TEST_F(IntegrationTest, InstallsInOrderSkippingUnknownAndDuplicateNames) {
    options->setIntegrations({"SkaldSecondIntegration", "SkaldNoSuchIntegration",
                              "SkaldFirstIntegration", "SkaldSecondIntegration"});
    LogCapture log;
    hub->installIntegrations();
    EXPECT_EQ(installLog(), (std::vector<std::string>{"install SkaldSecondIntegration",
                                                      "install SkaldFirstIntegration"}));
    EXPECT_TRUE(log.contains(
        "[SkaldHub doInstallIntegrations] couldn't find \"SkaldNoSuchIntegration\" -> skipping."));
    EXPECT_TRUE(log.contains(
        "[SkaldHub doInstallIntegrations] already installed \"SkaldSecondIntegration\" -> "
        "skipping."));
    EXPECT_EQ(hub->installedIntegrations().size(), 2u);
    EXPECT_TRUE(hub->hasIntegration("SkaldFirstIntegration"));
    EXPECT_TRUE(hub->getInstalledIntegration<RecordingIntegration>());
}

TEST_F(IntegrationTest, RefusedIntegrationsAreDroppedWithTheirReason) {
    options->enableCrashHandler = false;
    options->setIntegrations({"SkaldCrashOnlyIntegration"});
    LogCapture log;
    hub->installIntegrations();
    EXPECT_TRUE(hub->installedIntegrations().empty());
    EXPECT_TRUE(log.contains(
        "Not going to enable SkaldCrashOnlyIntegration because enableCrashHandler is disabled."));
}

TEST_F(IntegrationTest, RemovingUninstallsEach) {
    options->setIntegrations({"SkaldFirstIntegration", "SkaldSecondIntegration"});
    hub->installIntegrations();
    hub->removeAllIntegrations();
    EXPECT_EQ(installLog().back(), "uninstall SkaldSecondIntegration");
    EXPECT_TRUE(hub->installedIntegrationNames().empty());
}

TEST(BaseIntegrationTest, FlagsAreCheckedInOrderWithTheirReasons) {
    struct Case {
        uint32_t flags;
        std::function<void(Options&)> change;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {0x1, [](Options& o) { o.enableAutoSessionTracking = false; },
         "because enableAutoSessionTracking is disabled"},
        {0x40, [](Options& o) { o.appHangTimeoutInterval = 0; },
         "because appHangTimeoutInterval is 0"},
        {0x80000,
         [](Options& o) {
             o.enableAppHangTrackingV2 = true;
             o.appHangTimeoutInterval = 0;
         },
         "because appHangTimeoutInterval is 0"},
        {0x2000, [](Options&) {}, "because isTracingEnabled is disabled"},
        {0x20000, [](Options&) {}, "because enableMetricKit is disabled"},
        // The first unmet flag gives the reason.
        {0x1 | 0x1000,
         [](Options& o) {
             o.enableAutoSessionTracking = false;
             o.enableAutoBreadcrumbTracking = false;
         },
         "because enableAutoSessionTracking is disabled"},
    };
    for (const auto& c : cases) {
        Options options;
        c.change(options);
        RecordingIntegration integration("SkaldProbeIntegration", c.flags);
        LogCapture log;
        EXPECT_FALSE(integration.shouldBeEnabledWithOptions(options)) << c.reason;
        EXPECT_TRUE(log.contains(std::string("Not going to enable SkaldProbeIntegration ") +
                                 c.reason + "."))
            << c.reason;
    }
    BaseIntegration::setDebuggerAttachedProbe([] { return true; });
    RecordingIntegration hang("SkaldHangIntegration", 0x4040);
    LogCapture log;
    EXPECT_FALSE(hang.shouldBeEnabledWithOptions(Options()));
    EXPECT_TRUE(log.contains("because the debugger is attached"));
    BaseIntegration::setDebuggerAttachedProbe(nullptr);
    EXPECT_TRUE(RecordingIntegration("SkaldPlain", 0).shouldBeEnabledWithOptions(Options()));
}

TEST_F(IntegrationTest, TrimmedNamesDropPrefixAndSuffix) {
    options->setIntegrations({"SkaldFirstIntegration"});
    hub->installIntegrations();
    SDK::setCurrentHub(hub);
    EXPECT_EQ(Hub::trimmedInstalledIntegrationNames(), (std::vector<std::string>{"First"}));
    hub->captureMessage("x");
    EXPECT_EQ(itemJson(*transport->envelopes().back(), "event")["sdk"]["integrations"],
              Json::array({"First"}));
    SDK::setCurrentHub(nullptr);
}

}  // namespace
}  // namespace skald::test
