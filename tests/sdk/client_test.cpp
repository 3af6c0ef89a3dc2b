#include <gtest/gtest.h>

#include "core/global_event_processor.h"
#include "core/installation.h"
#include "core/sdk_state.h"
#include "skald/platform/file_operations.h"
#include "sdk_fixture.h"
#include "skald/message.h"
#include "skald/session.h"
#include "skald/user_feedback.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

class ClientTest : public SdkFixture {
  protected:
    void TearDown() override {
        GlobalEventProcessor::shared().removeAllProcessors();
        SdkFixture::TearDown();
    }

    Json lastEvent() {
        auto envelopes = transport->envelopes();
        if (envelopes.empty()) return Json();
        return itemJson(*envelopes.back(), "event");
    }

    bool hasLoss(DataCategory category, DiscardReason reason, uint64_t quantity = 1) {
        for (const auto& loss : transport->losses()) {
            if (loss.category == category && loss.reason == reason && loss.quantity == quantity)
                return true;
        }
        return false;
    }
};

TEST_F(ClientTest, SamplingDropsAboveTheRateAndRecordsEachDrop) {
    options->setSampleRate(0.0);
    random->value = 0.3;
    EXPECT_EQ(client->captureMessage("dropped"), Id::empty());
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(hasLoss(DataCategory::Error, DiscardReason::SampleRate));

    options->setSampleRate(1.0);
    random->value = 0.999;
    EXPECT_NE(client->captureMessage("kept"), Id::empty());
    EXPECT_EQ(transport->envelopes().size(), 1u);

    // Without a rate nothing is sampled away.
    options->setSampleRate(std::nullopt);
    EXPECT_NE(client->captureMessage("kept too"), Id::empty());
}

TEST_F(ClientTest, TransactionsAreNeverSampledHere) {
    options->setSampleRate(0.0);
    random->value = 0.9;
    auto transaction = std::make_shared<Event>(Level::Info);
    transaction->type = "transaction";
    EXPECT_NE(client->captureEvent(transaction, scope), Id::empty());
}

TEST_F(ClientTest, BeforeSendReturningNullDropsAndRecords) {
    options->beforeSend = [](std::shared_ptr<Event>) { return std::shared_ptr<Event>(); };
    EXPECT_EQ(client->captureMessage("x", scope), Id::empty());
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(hasLoss(DataCategory::Error, DiscardReason::BeforeSend));

    auto transaction = std::make_shared<Event>(Level::Info);
    transaction->type = "transaction";
    EXPECT_EQ(client->captureEvent(transaction, scope), Id::empty());
    EXPECT_TRUE(hasLoss(DataCategory::Transaction, DiscardReason::BeforeSend));
    EXPECT_TRUE(hasLoss(DataCategory::Span, DiscardReason::BeforeSend, 1));
}

TEST_F(ClientTest, BeforeSendMayChangeTheEvent) {
    options->beforeSend = [](std::shared_ptr<Event> event) {
        event->tags = std::map<std::string, std::string>{{"seen", "yes"}};
        return event;
    };
    client->captureMessage("x", scope);
    EXPECT_EQ(lastEvent()["tags"]["seen"], "yes");
}

TEST_F(ClientTest, EventProcessorsRunInOrderAndANullResultDrops) {
    std::vector<int> order;
    GlobalEventProcessor::shared().addEventProcessor([&](std::shared_ptr<Event> e) {
        order.push_back(1);
        return e;
    });
    GlobalEventProcessor::shared().addEventProcessor([&](std::shared_ptr<Event>) {
        order.push_back(2);
        return std::shared_ptr<Event>();
    });
    bool beforeSendCalled = false;
    options->beforeSend = [&](std::shared_ptr<Event> e) {
        beforeSendCalled = true;
        return e;
    };
    LogCapture log;
    EXPECT_EQ(client->captureMessage("x", scope), Id::empty());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(beforeSendCalled);
    EXPECT_TRUE(hasLoss(DataCategory::Error, DiscardReason::EventProcessor));
    EXPECT_TRUE(log.contains("An event processor decided to remove this event."));
}

TEST_F(ClientTest, ErrorChainBecomesExceptionsInnermostFirst) {
    Error inner("Inner", 3, "disk");
    Error middle("Middle", 2, "io");
    middle.underlyingError = std::make_shared<Error>(inner);
    Error outer("Outer", 5, "save failed");
    outer.userInfo["NSDebugDescription"] = "could not save";
    outer.userInfo["file"] = "a.txt";
    outer.underlyingError = std::make_shared<Error>(middle);

    EXPECT_NE(client->captureError(outer, scope), Id::empty());
    const auto event = lastEvent();
    const auto& values = event["exception"]["values"];
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0]["type"], "Inner");
    EXPECT_EQ(values[0]["value"], "Code: 3");
    EXPECT_EQ(values[1]["type"], "Middle");
    EXPECT_EQ(values[2]["type"], "Outer");
    EXPECT_EQ(values[2]["value"], "could not save (Code: 5)");
    EXPECT_EQ(values[2]["mechanism"]["type"], "NSError");
    EXPECT_EQ(values[2]["mechanism"]["meta"]["ns_error"]["code"], 5);
    EXPECT_EQ(event["contexts"]["user_info"]["file"], "a.txt");
    EXPECT_EQ(event["level"], "error");
    // Errors always carry the capturing thread's stack.
    EXPECT_FALSE(event["threads"]["values"].empty());
}

TEST_F(ClientTest, AnUnderlyingErrorOnlyInTheUserInfoEndsTheChainWithAWarning) {
    Error error("Outer", 1, "x");
    error.userInfo["NSUnderlyingError"] = "not an error";
    LogCapture log;
    client->captureError(error, scope);
    EXPECT_EQ(lastEvent()["exception"]["values"].size(), 1u);
    EXPECT_TRUE(log.contains("Invalid value for NSUnderlyingErrorKey in user info"));
}

TEST_F(ClientTest, AFailedCopyOrDeleteIsCapturedWithItsSystemCause) {
    TempDirectory dir;
    const auto file = dir.write("plain-file", "x");
    const auto copyError =
        platform::FileOperations::copyItem(dir.file("missing.app"), dir.file("Vantorel.app"));
    const auto deleteError = platform::FileOperations::removeItem(file + "/Vantorel.app");
    ASSERT_TRUE(copyError && deleteError);

    for (const auto& [error, systemError] :
         {std::pair{*copyError, ENOENT}, std::pair{*deleteError, ENOTDIR}}) {
        LogCapture log;
        EXPECT_NE(client->captureError(error, scope), Id::empty());
        const auto event = lastEvent();
        const auto& values = event["exception"]["values"];
        ASSERT_EQ(values.size(), 2u) << values.dump();
        // Innermost first: the system's error, then the file error it caused.
        EXPECT_EQ(values[0]["type"], "NSPOSIXErrorDomain");
        EXPECT_EQ(values[0]["mechanism"]["meta"]["ns_error"]["code"], systemError);
        EXPECT_EQ(values[1]["type"], "NSCocoaErrorDomain");
        EXPECT_EQ(values[1]["mechanism"]["meta"]["ns_error"]["code"],
                  platform::kFileNoSuchFileError);
        EXPECT_FALSE(log.contains("Invalid value for NSUnderlyingErrorKey"));
    }
}

TEST_F(ClientTest, ExceptionObjectsBecomeOneException) {
    const std::runtime_error failure("bad state");
    auto object = ExceptionObject::fromStdException(failure);
    object.userInfo["where"] = "loader";
    client->captureException(object, scope);
    const auto event = lastEvent();
    EXPECT_EQ(event["exception"]["values"][0]["type"], "std::runtime_error");
    EXPECT_EQ(event["exception"]["values"][0]["value"], "bad state");
    EXPECT_EQ(event["contexts"]["user_info"]["where"], "loader");
}

TEST_F(ClientTest, MessagesAreInfoEventsWithReleaseEnvironmentSdkAndInstallationUser) {
    options->dist = "42";
    options->environment = "staging";
    client->captureMessage("hello", scope);
    const auto event = lastEvent();
    EXPECT_EQ(event["level"], "info");
    EXPECT_EQ(event["message"]["formatted"], "hello");
    EXPECT_EQ(event["release"], "app@1.0");
    EXPECT_EQ(event["dist"], "42");
    EXPECT_EQ(event["environment"], "staging");
    EXPECT_EQ(event["sdk"]["name"], "skald.cocoa");
    EXPECT_EQ(event["sdk"]["version"], "1.0.0");
    EXPECT_TRUE(event["sdk"]["integrations"].is_array());
    EXPECT_EQ(event["user"]["id"], Installation::id(options->cacheDirectoryPath));
    EXPECT_FALSE(event["user"].contains("ip_address"));
}

TEST_F(ClientTest, OptionsDistWinsAndOwnReleaseIsKept) {
    options->dist = "from-options";
    auto event = std::make_shared<Event>(Level::Info);
    event->dist = "own";
    event->releaseName = "own@2";
    client->captureEvent(event, scope);
    EXPECT_EQ(lastEvent()["dist"], "from-options");
    EXPECT_EQ(lastEvent()["release"], "own@2");
}

TEST_F(ClientTest, SendDefaultPiiAsksTheServiceForTheAddress) {
    options->sendDefaultPii = true;
    client->captureMessage("x", scope);
    EXPECT_EQ(lastEvent()["user"]["ip_address"], "{{auto}}");
}

TEST_F(ClientTest, EventThreadsAreKeptAndCrashEventsGetNoLiveThreads) {
    auto event = std::make_shared<Event>(Level::Error);
    auto thread = std::make_shared<Thread>(7);
    event->threads = {thread};
    options->attachStacktrace = true;
    client->captureEvent(event, scope);
    ASSERT_EQ(lastEvent()["threads"]["values"].size(), 1u);
    EXPECT_EQ(lastEvent()["threads"]["values"][0]["id"], 7);

    auto crash = std::make_shared<Event>(Level::Fatal);
    client->captureCrashEvent(crash, scope);
    EXPECT_FALSE(lastEvent().contains("threads"));
}

TEST_F(ClientTest, DeviceAndCultureContextsJoinExistingContexts) {
    scope->setContextValue(Json{{"name", "Linux"}}, "os");
    client->captureMessage("x", scope);
    const auto contexts = lastEvent()["contexts"];
    EXPECT_TRUE(contexts["device"].contains("free_memory"));
    EXPECT_TRUE(contexts["device"].contains("processor_count"));
    EXPECT_TRUE(contexts["app"].contains("app_memory"));
    for (const char* key : {"calendar", "display_name", "locale", "is_24_hour_format", "timezone"})
        EXPECT_TRUE(contexts["culture"].contains(key)) << key;
}

TEST_F(ClientTest, WatchdogCrashEventsLoseLiveDeviceFields) {
    auto event = std::make_shared<Event>(Level::Fatal);
    auto exception = std::make_shared<Exception>("killed", "WatchdogTermination");
    exception->mechanism = std::make_shared<Mechanism>("watchdog_termination");
    event->exceptions = {exception};
    event->context = Json{{"device", {{"free_memory", 1}, {"model", "x"}}},
                          {"app", {{"app_memory", 2}, {"app_name", "y"}}}};
    client->captureCrashEvent(event, std::make_shared<Scope>());
    const auto contexts = lastEvent()["contexts"];
    EXPECT_FALSE(contexts["device"].contains("free_memory"));
    EXPECT_EQ(contexts["device"]["model"], "x");
    EXPECT_FALSE(contexts["app"].contains("app_memory"));
    EXPECT_FALSE(contexts.contains("culture"));
}

TEST_F(ClientTest, OnCrashedLastRunIsCalledOncePerProcess) {
    SdkState::resetCrashedLastRunCalled();
    int calls = 0;
    options->onCrashedLastRun = [&](const std::shared_ptr<Event>&) { ++calls; };
    client->captureCrashEvent(std::make_shared<Event>(Level::Fatal), scope);
    client->captureCrashEvent(std::make_shared<Event>(Level::Fatal), scope);
    client->captureMessage("not a crash", scope);
    EXPECT_EQ(calls, 1);
    SdkState::resetCrashedLastRunCalled();
}

TEST_F(ClientTest, ErrorsCountedInASessionTravelWithIt) {
    auto session = std::make_shared<Session>(std::string("app@1.0"), "d");
    int calls = 0;
    client->captureError(Error("D", 1, "x"), scope, [&] {
        ++calls;
        return session;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(itemTypes(*transport->envelopes().back()),
              (std::vector<std::string>{"event", "session"}));

    // A session without release is not sent; the event goes alone.
    auto noRelease = std::make_shared<Session>(std::nullopt, "d");
    client->captureError(Error("D", 1, "x"), scope, [&] { return noRelease; });
    EXPECT_EQ(itemTypes(*transport->envelopes().back()), (std::vector<std::string>{"event"}));

    // A dropped event does not count.
    options->beforeSend = [](std::shared_ptr<Event>) { return std::shared_ptr<Event>(); };
    client->captureError(Error("D", 1, "x"), scope, [&] {
        ++calls;
        return session;
    });
    EXPECT_EQ(calls, 1);
}

TEST_F(ClientTest, AttachmentsFollowTheEventAndOversizedOnesAreLeftOut) {
    options->maxAttachmentSize = 10;
    scope->addAttachment(Attachment::fromData("small", "a.txt"));
    scope->addAttachment(Attachment::fromData(std::string(100, 'x'), "big.bin"));
    client->captureMessage("x", scope);
    EXPECT_EQ(itemTypes(*transport->envelopes().back()),
              (std::vector<std::string>{"event", "attachment"}));
}

TEST_F(ClientTest, ErrorEnvelopesCarryATraceContextMessagesDoNot) {
    client->captureMessage("x", scope);
    EXPECT_FALSE(transport->envelopes().back()->header()->traceContext());
    client->captureError(Error("D", 1, "x"), scope);
    auto trace = transport->envelopes().back()->header()->traceContext();
    ASSERT_TRUE(trace);
    EXPECT_EQ(trace->traceId(), scope->propagationContext().traceId());
    EXPECT_EQ(trace->publicKey(), "public");
}

TEST_F(ClientTest, UserFeedbackWithTheEmptyIdIsNotSent) {
    LogCapture log;
    client->captureUserFeedback(UserFeedback(Id::empty()));
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(log.contains("Capturing UserFeedback with an empty event id. Won't send it."));
    client->captureUserFeedback(UserFeedback(Id()));
    EXPECT_EQ(transport->envelopes().size(), 1u);
}

TEST_F(ClientTest, SessionsWithoutReleaseAreNeverSent) {
    client->captureSession(std::make_shared<Session>(std::nullopt, "d"));
    EXPECT_TRUE(transport->envelopes().empty());
    client->captureSession(std::make_shared<Session>(std::string("app@1.0"), "d"));
    EXPECT_EQ(itemTypes(*transport->envelopes().back()), (std::vector<std::string>{"session"}));
}

TEST_F(ClientTest, AClosedClientPreparesNothing) {
    client->close();
    LogCapture log;
    EXPECT_EQ(client->captureMessage("x", scope), Id::empty());
    EXPECT_TRUE(transport->envelopes().empty());
    EXPECT_TRUE(log.contains("SDK disabled or no DSN set."));
}

TEST_F(ClientTest, ExceptionValueForErrorFormats) {
    Error plain("D", 5, "x");
    EXPECT_EQ(exceptionValueForError(plain), "Code: 5");
    plain.userInfo["NSDebugDescription"] = "details";
    EXPECT_EQ(exceptionValueForError(plain), "details (Code: 5)");
}

}  // namespace
}  // namespace skald::test
