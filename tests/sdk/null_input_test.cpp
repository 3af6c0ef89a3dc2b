// Null where the public interface takes a pointer: no crash, and the
// documented meaning (a null scope is the hub's scope; a null event, envelope,
// breadcrumb or callback is logged and ignored, giving the empty id).
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/global_event_processor.h"
#include "sdk_fixture.h"
#include "skald/breadcrumb.h"
#include "skald/message.h"
#include "skald/private_sdk_only.h"
#include "skald/sdk.h"
#include "skald/session.h"
#include "skald/user.h"
#include "support/log_capture.h"

namespace skald::test {
namespace {

const std::shared_ptr<Scope> kNoScope;

class NullInput : public SdkFixture {
  protected:
    void SetUp() override {
        SdkFixture::SetUp();
        scope->setTagValue("origin", "hub");
        SDK::setCurrentHub(hub);
    }
    void TearDown() override {
        SDK::setCurrentHub(nullptr);
        GlobalEventProcessor::shared().removeAllProcessors();
        SdkFixture::TearDown();
    }

    /// The newest event that reached the transport, or null.
    Json lastEvent() const {
        auto envelopes = transport->envelopes();
        if (envelopes.empty()) return Json();
        return itemJson(*envelopes.back(), "event");
    }
};

// A capture with a null scope is a capture with the hub's scope.
struct ScopedCapture {
    std::string name;
    std::function<Id()> capture;
};

void PrintTo(const ScopedCapture& capture, std::ostream* out) {
    *out << capture.name;
}

std::vector<ScopedCapture> capturesWithNullScope() {
    return {
        {"SdkEvent",
         [] { return SDK::captureEvent(std::make_shared<Event>(Level::Warning), kNoScope); }},
        {"SdkError", [] { return SDK::captureError(Error("D", 1, "x"), kNoScope); }},
        {"SdkException",
         [] {
             return SDK::captureException(ExceptionObject{"E", "why", Json::object()}, kNoScope);
         }},
        {"SdkMessage", [] { return SDK::captureMessage("m", kNoScope); }},
        {"SdkCrashEvent",
         [] {
             auto event = std::make_shared<Event>(Level::Fatal);
             SDK::captureCrashEvent(event, kNoScope);
             return event->eventId;
         }},
        {"HubEvent",
         [] {
             return SDK::currentHub()->captureEvent(std::make_shared<Event>(Level::Info), kNoScope);
         }},
        {"HubErrorInSession",
         [] {
             SDK::startSession();
             return SDK::currentHub()->captureError(Error("D", 2, "y"), kNoScope);
         }},
        {"HubExceptionInSession",
         [] {
             SDK::startSession();
             return SDK::currentHub()->captureException(ExceptionObject{"E", "r", Json::object()},
                                                        kNoScope);
         }},
    };
}

class NullScope : public NullInput, public ::testing::WithParamInterface<ScopedCapture> {};

TEST_P(NullScope, MeansTheHubsScope) {
    Id id;
    ASSERT_NO_THROW(id = GetParam().capture());
    EXPECT_NE(id, Id::empty());
    const Json event = lastEvent();
    ASSERT_TRUE(event.is_object()) << "nothing was sent";
    EXPECT_EQ(event["event_id"], id.skaldIdString());
    EXPECT_EQ(event["tags"]["hub"], "origin");
}

INSTANTIATE_TEST_SUITE_P(PublicEntries, NullScope, ::testing::ValuesIn(capturesWithNullScope()),
                         [](const ::testing::TestParamInfo<ScopedCapture>& info) {
                             return info.param.name;
                         });

TEST_F(NullInput, TheClientTreatsANullScopeAsAnEmptyOne) {
    // The client has no hub to fall back to; it sends the event unscoped.
    EXPECT_NE(client->captureEvent(std::make_shared<Event>(Level::Info), kNoScope), Id::empty());
    EXPECT_FALSE(lastEvent()["tags"].contains("hub"));
    EXPECT_NE(client->captureError(Error("D", 1, "x"), kNoScope, nullptr), Id::empty());
    EXPECT_NE(client->captureCrashEvent(std::make_shared<Event>(Level::Fatal), nullptr, kNoScope),
              Id::empty());
    EXPECT_EQ(transport->envelopes().size(), 3u);
}

TEST_F(NullInput, NullEventsEnvelopesAndBreadcrumbsAreIgnored) {
    LogCapture log;
    const std::shared_ptr<Event> noEvent;
    EXPECT_EQ(SDK::captureEvent(noEvent), Id::empty());
    EXPECT_EQ(SDK::captureEvent(noEvent, scope), Id::empty());
    EXPECT_EQ(SDK::captureEvent(noEvent, kNoScope), Id::empty());
    EXPECT_EQ(SDK::captureEvent(noEvent, ScopeBlock()), Id::empty());
    SDK::captureCrashEvent(noEvent);
    SDK::captureCrashEvent(noEvent, kNoScope);
    SDK::captureEnvelope(nullptr);
    SDK::storeEnvelope(nullptr);
    PrivateSDKOnly::captureEnvelope(nullptr);
    PrivateSDKOnly::storeEnvelope(nullptr);
    SDK::addBreadcrumb(nullptr);
    hub->captureSession(nullptr);
    client->captureSession(nullptr);
    client->captureEnvelope(nullptr);
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(manager->getAllEnvelopes().empty());
    EXPECT_TRUE(scope->breadcrumbs().empty());
    // The dropped event is not silent.
    EXPECT_TRUE(log.contains("event is null"));
}

TEST_F(NullInput, EnvelopesWithNullHeaderAndItemsAreSentWhole) {
    Event event(Level::Info);
    auto item = EnvelopeItem::forEvent(event);
    SDK::captureEnvelope(std::make_shared<Envelope>(std::shared_ptr<EnvelopeHeader>(),
                                                    Envelope::Items{nullptr, item, nullptr}));
    ASSERT_EQ(transport->envelopes().size(), 1u);
    const auto& sent = *transport->envelopes().back();
    ASSERT_NE(sent.header(), nullptr);
    EXPECT_EQ(sent.items().size(), 1u);
    EXPECT_TRUE(Serialization::dataWithEnvelope(sent));
    // An item without a header still frames.
    SDK::storeEnvelope(std::make_shared<Envelope>(
        std::optional<Id>(), std::make_shared<EnvelopeItem>(nullptr, "bytes")));
    EXPECT_EQ(manager->getAllEnvelopes().size(), 1u);
}

TEST_F(NullInput, NullListenersIntegrationsAndClientsAreHarmless) {
    hub->registerSessionListener(nullptr);
    hub->unregisterSessionListener(nullptr);
    hub->addInstalledIntegration(nullptr, "Nothing");
    EXPECT_FALSE(hub->hasIntegration("Nothing"));
    SDK::startSession();
    SDK::endSession();
    hub->bindClient(nullptr);
    EXPECT_FALSE(SDK::isEnabled());
    EXPECT_EQ(SDK::captureEvent(std::make_shared<Event>(Level::Info), kNoScope), Id::empty());
    EXPECT_EQ(SDK::captureError(Error("D", 1, "x"), kNoScope), Id::empty());
}

TEST_F(NullInput, NullCallbacksAreNotCalled) {
    SDK::configureScope(nullptr);
    EXPECT_NE(SDK::captureMessage("m", ScopeBlock()), Id::empty());
    EXPECT_EQ(lastEvent()["tags"]["hub"], "origin");
    scope->useSpan(nullptr);
    GlobalEventProcessor::shared().addEventProcessor(nullptr);
    PrivateSDKOnly::setOnAppStartMeasurementAvailable(nullptr);
    SDK::setAppStartMeasurement(nullptr);
    EXPECT_NE(SDK::captureMessage("after an empty processor"), Id::empty());
}

TEST_F(NullInput, NullUserAndSpanClearTheScope) {
    SDK::setUser(std::make_shared<User>("someone"));
    SDK::setUser(nullptr);
    scope->setSpan(nullptr);
    scope->addObserver(nullptr);
    scope->addBreadcrumb(nullptr);
    EXPECT_EQ(scope->applyToEvent(nullptr, 10), nullptr);
    EXPECT_EQ(SDK::span(), nullptr);
    SDK::captureMessage("m");
    // Without a scope user the installation id stands in.
    EXPECT_NE(lastEvent()["user"]["id"], "someone");
    Session session("app@1", "did");
    session.setUser(nullptr);
    EXPECT_EQ(session.user(), nullptr);
}

TEST_F(NullInput, NullMembersOfRecordsAreSkipped) {
    auto event = std::make_shared<Event>(Level::Error);
    event->exceptions = {nullptr, std::make_shared<Exception>("v", "T")};
    event->threads = {nullptr, std::make_shared<Thread>(3)};
    event->threads.back()->stacktrace = std::make_shared<Stacktrace>(
        std::vector<std::shared_ptr<Frame>>{nullptr}, std::map<std::string, std::string>{});
    event->debugMeta = {nullptr};
    event->breadcrumbs = {nullptr};
    event->user = std::make_shared<User>("u");
    event->user->setGeo(nullptr);
    EXPECT_NE(SDK::captureEvent(event), Id::empty());
    const Json sent = lastEvent();
    ASSERT_TRUE(sent.is_object());
    EXPECT_EQ(sent["exception"]["values"].size(), 1u);
    EXPECT_EQ(sent["threads"]["values"].size(), 1u);
}

TEST_F(NullInput, ACrashEventWithANullExceptionIsSent) {
    // Crash events are checked for watchdog terminations through their one exception.
    auto event = std::make_shared<Event>(Level::Fatal);
    event->exceptions = {nullptr};
    event->context = Json{{"device", Json{{"free_memory", 1}}}};
    SDK::captureCrashEvent(event);
    EXPECT_EQ(lastEvent()["event_id"], event->eventId.skaldIdString());
}

TEST_F(NullInput, ACyclicErrorChainEnds) {
    auto first = std::make_shared<Error>("First", 1, "a");
    auto second = std::make_shared<Error>("Second", 2, "b");
    first->underlyingError = second;
    second->underlyingError = first;
    Id id;
    ASSERT_NO_THROW(id = SDK::captureError(*first));
    EXPECT_NE(id, Id::empty());
    const auto values = lastEvent()["exception"]["values"];
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0]["type"], "Second");
    EXPECT_EQ(values[1]["type"], "First");
    // Break the cycle so that both errors are freed.
    second->underlyingError.reset();
}

class NullStart : public FileManagerFixture {
  protected:
    void TearDown() override {
        SDK::close();
        FileManagerFixture::TearDown();
    }
};

TEST_F(NullStart, NullOptionsAreLoggedAndStartNothing) {
    LogCapture log(Level::Error);
    SDK::startWithOptions(nullptr);
    EXPECT_FALSE(SDK::isEnabled());
    EXPECT_TRUE(log.contains("options are null"));
    SDK::setCurrentHub(nullptr);
    ASSERT_NE(SDK::currentHub(), nullptr);
    EXPECT_EQ(SDK::captureMessage("m"), Id::empty());
}

TEST_F(NullStart, AnInitialScopeCallbackReturningNullKeepsTheSdksScope) {
    auto started = std::make_shared<Options>();
    started->setDsn("http://public@127.0.0.1:9/42");
    started->cacheDirectoryPath = (root / "sdk-cache").string();
    started->initialScope = [](std::shared_ptr<Scope>) { return std::shared_ptr<Scope>(); };
    SDK::startWithOptions(started);
    ASSERT_TRUE(SDK::isEnabled());
    ASSERT_NE(SDK::currentHub()->scope(), nullptr);
    EXPECT_NE(SDK::captureMessage("m"), Id::empty());
}

}  // namespace
}  // namespace skald::test
