#include <gtest/gtest.h>

#include "support/test_clock_fixture.h"

#include <filesystem>
#include <limits>

#include "core/dependency_container.h"
#include "skald/serialization.h"
#include "model/client_report.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/session.h"
#include "skald/user_feedback.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"
#include "support/test_current_date_provider.h"
#include "util/json_bytes.h"

namespace skald {
namespace {

using namespace std::string_literals;

class EnvelopeItemTest : public test::TestClockFixture {
  protected:
    /// The item after a trip through the envelope bytes.
    static std::shared_ptr<const EnvelopeItem> roundTrip(std::shared_ptr<const EnvelopeItem> item) {
        const auto data = Serialization::dataWithEnvelope(Envelope(std::nullopt, item));
        if (!data) return nullptr;
        const auto parsed = Serialization::envelopeWithData(*data);
        if (!parsed || parsed->items().size() != 1) return nullptr;
        return parsed->items()[0];
    }

    static Json payload(const EnvelopeItem& item) { return *parseJsonBytes(item.data()); }
};

TEST_F(EnvelopeItemTest, EventAndTransactionItemsRoundTrip) {
    Event event(Level::Info);
    event.message = std::make_shared<Message>("hello");
    const auto item = EnvelopeItem::forEvent(event);
    EXPECT_EQ(item->header()->type(), "event");
    EXPECT_EQ(item->header()->length(), item->data().size());
    const auto back = roundTrip(item);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->data(), item->data());
    EXPECT_EQ(payload(*back)["event_id"], event.eventId.skaldIdString());
    EXPECT_EQ(Serialization::levelFromData(back->data()), Level::Info);

    Event transaction(Level::Info);
    transaction.type = "transaction";
    EXPECT_EQ(EnvelopeItem::forEvent(transaction)->header()->type(), "transaction");
}

TEST_F(EnvelopeItemTest, EventThatCannotBeWrittenIsReplacedByAWarning) {
    for (const char* type : {"default", "transaction"}) {
        Event event(Level::Error);
        event.type = type;
        event.message = std::make_shared<Message>("disk full");
        event.releaseName = "1.2";
        event.environment = "staging";
        event.extra = Json{{"ratio", std::numeric_limits<double>::quiet_NaN()}};
        const auto item = EnvelopeItem::forEvent(event);

        EXPECT_EQ(item->header()->type(),
                  std::string(type) == "transaction" ? "transaction" : "event");
        const Json json = payload(*item);
        EXPECT_EQ(json["level"], "warning");
        EXPECT_EQ(json["message"]["formatted"],
                  "JSON conversion error for event with message: 'disk full'");
        EXPECT_EQ(json["release"], "1.2");
        EXPECT_EQ(json["environment"], "staging");
        EXPECT_EQ(json["platform"], "cocoa");
        EXPECT_EQ(json["timestamp"], timeIntervalSince1970(*event.timestamp));
        EXPECT_FALSE(json.contains("extra"));
    }
}

TEST_F(EnvelopeItemTest, SessionFeedbackReportAndStatsdItems) {
    Session session(std::string("1.0"), "did");
    const auto sessionItem = roundTrip(EnvelopeItem::forSession(session));
    ASSERT_TRUE(sessionItem);
    EXPECT_EQ(sessionItem->header()->type(), "session");
    EXPECT_EQ(Serialization::sessionWithData(sessionItem->data())->sessionId(),
              session.sessionId());

    UserFeedback feedback(Id::fromUuidString("12c2d058d58442709aa2eca08bf20986"));
    feedback.name = "Ann";
    feedback.email = "ann@example.com";
    feedback.comments = "It broke";
    const auto feedbackItem = roundTrip(EnvelopeItem::forUserFeedback(feedback));
    ASSERT_TRUE(feedbackItem);
    EXPECT_EQ(feedbackItem->header()->type(), "user_report");
    EXPECT_EQ(payload(*feedbackItem), Json({{"event_id", "12c2d058d58442709aa2eca08bf20986"},
                                            {"name", "Ann"},
                                            {"email", "ann@example.com"},
                                            {"comments", "It broke"}}));

    ClientReport report({DiscardedEvent{DiscardReason::RateLimitBackoff, DataCategory::Error, 2}});
    const auto reportItem = roundTrip(EnvelopeItem::forClientReport(report));
    ASSERT_TRUE(reportItem);
    EXPECT_EQ(reportItem->header()->type(), "client_report");
    EXPECT_EQ(payload(*reportItem)["discarded_events"][0]["reason"], "ratelimit_backoff");

    const auto statsd = roundTrip(EnvelopeItem::forStatsd("a:1|c\nb:2|d"));
    ASSERT_TRUE(statsd);
    EXPECT_EQ(statsd->header()->type(), "statsd");
    EXPECT_EQ(statsd->data(), "a:1|c\nb:2|d");
    const auto written = EnvelopeItem::forStatsd("x")->header()->serialize();
    EXPECT_EQ(written["content_type"], "application/octet-stream");
}

TEST_F(EnvelopeItemTest, ProfileItemsUseTheGenericConstructor) {
    for (const char* type : {"profile", "profile_chunk"}) {
        const std::string body = R"({"samples":[]})";
        const auto back = roundTrip(std::make_shared<EnvelopeItem>(
            std::make_shared<EnvelopeItemHeader>(type, body.size()), body));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->header()->type(), type);
        EXPECT_EQ(back->data(), body);
    }
}

TEST_F(EnvelopeItemTest, AttachmentFromDataAtAndOverTheLimit) {
    test::LogCapture log;
    const auto atLimit = EnvelopeItem::forAttachment(
        Attachment::fromData("12345", "log.txt", "text/plain", AttachmentType::ViewHierarchy), 5);
    ASSERT_TRUE(atLimit);
    const auto back = roundTrip(atLimit);
    ASSERT_TRUE(back);
    const auto* header = dynamic_cast<const EnvelopeAttachmentHeader*>(back->header().get());
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->type(), "attachment");
    EXPECT_EQ(header->filename(), "log.txt");
    EXPECT_EQ(header->contentType(), "text/plain");
    EXPECT_EQ(header->attachmentType(), AttachmentType::ViewHierarchy);
    EXPECT_EQ(back->data(), "12345");

    EXPECT_FALSE(EnvelopeItem::forAttachment(Attachment::fromData("123456", "log.txt"), 5));
    EXPECT_TRUE(
        log.contains("Dropping attachment with filename 'log.txt', because the size of the passed "
                     "data with 6 bytes is bigger than the maximum allowed attachment size of 5 "
                     "bytes."));
    EXPECT_TRUE(EnvelopeItem::forAttachment(Attachment::fromData("", "empty"), 5));
}

TEST_F(EnvelopeItemTest, AttachmentFromPath) {
    test::LogCapture log;
    test::TempDirectory dir;
    const std::string path = dir.write("trace.log", "abcde");
    const Attachment attachment = Attachment::fromPath(path);
    EXPECT_EQ(attachment.filename(), "trace.log");
    const auto item = EnvelopeItem::forAttachment(attachment, 5);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->data(), "abcde");
    EXPECT_EQ(item->header()->filename(), "trace.log");

    EXPECT_FALSE(EnvelopeItem::forAttachment(attachment, 4));
    EXPECT_TRUE(log.contains("Dropping attachment, because the size of the it located at '" + path +
                             "' with 5 bytes is bigger than the maximum allowed attachment "
                             "size of 4 bytes."));

    const std::string missing = dir.file("missing.log");
    EXPECT_FALSE(EnvelopeItem::forAttachment(Attachment::fromPath(missing), 100));
    EXPECT_TRUE(log.contains("Couldn't check file size of attachment with path: " + missing +
                             ". Error: No such file or directory"));

    // A folder has a size but no contents to read.
    EXPECT_FALSE(EnvelopeItem::forAttachment(Attachment::fromPath(dir.path()), 1 << 20));
    EXPECT_TRUE(log.contains("Couldn't init Attachment."));
}

TEST_F(EnvelopeItemTest, AttachmentFilenameIsTheLastPathComponent) {
    EXPECT_EQ(Attachment::fromPath("/var/log/app.log").filename(), "app.log");
    EXPECT_EQ(Attachment::fromPath("/var/log/").filename(), "log");
    EXPECT_EQ(Attachment::fromPath("plain").filename(), "plain");
    EXPECT_EQ(Attachment::fromPath("/a", "given").filename(), "given");
}

TEST_F(EnvelopeItemTest, ReplayVideoItemHoldsTheMessagePackMap) {
    test::TempDirectory dir;
    const std::string video = dir.write("segment.mp4", "VIDEO");
    Event replayEvent(Level::Info);
    replayEvent.type = "replay_video";
    ReplayRecording recording;
    recording.header = {{"segment_id", 3}};
    const auto item = EnvelopeItem::forReplayEvent(replayEvent, recording, video);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->header()->type(), "replay_video");
    const std::string& data = item->data();
    ASSERT_GT(data.size(), 2u);
    EXPECT_EQ(static_cast<uint8_t>(data[0]), 0x83);
    EXPECT_EQ(static_cast<uint8_t>(data[1]), 0xD9);
    EXPECT_EQ(data.substr(3, 12), "replay_event");
    EXPECT_TRUE(data.ends_with("replay_video\xC6\x00\x00\x00\x05VIDEO"s));
    EXPECT_NE(data.find("{\"segment_id\":3}\n[]"), std::string::npos);
    // The temporary map beside the video is gone; the video stays.
    EXPECT_FALSE(std::filesystem::exists(dir.file("segment.dat")));
    EXPECT_TRUE(std::filesystem::exists(video));
}

TEST_F(EnvelopeItemTest, ReplayVideoFailures) {
    test::LogCapture log;
    test::TempDirectory dir;
    Event replayEvent(Level::Info);
    EXPECT_FALSE(EnvelopeItem::forReplayEvent(replayEvent, {}, dir.file("absent.mp4")));
    EXPECT_TRUE(log.contains("Could not read file attributes - File: " + dir.file("absent.mp4")));
    EXPECT_TRUE(log.contains("Could not create MessagePack for session replay envelope item."));
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent.dat")));

    // A video that already has the temporary extension is not overwritten.
    const std::string video = dir.write("clip.dat", "DATA");
    ASSERT_TRUE(EnvelopeItem::forReplayEvent(replayEvent, {}, video));
    EXPECT_EQ(test::TempDirectory::read(video), "DATA");
}

TEST_F(EnvelopeItemTest, ConvenienceEnvelopes) {
    Event event(Level::Error);
    const auto forEvent = Envelope::forEvent(event);
    EXPECT_EQ(forEvent->header()->eventId(), event.eventId);
    ASSERT_EQ(forEvent->items().size(), 1u);
    EXPECT_EQ(forEvent->items()[0]->header()->type(), "event");
    ASSERT_TRUE(forEvent->header()->sdkInfo());
    EXPECT_EQ(forEvent->header()->sdkInfo()->name(), "skald.cocoa");

    auto first = std::make_shared<Session>(std::string("1.0"), "did");
    auto second = std::make_shared<Session>(std::string("1.0"), "did");
    const auto forSession = Envelope::forSession(*first);
    EXPECT_FALSE(forSession->header()->eventId());
    EXPECT_EQ(forSession->items().size(), 1u);
    const auto forSessions = Envelope::forSessions({first, second});
    EXPECT_FALSE(forSessions->header()->eventId());
    ASSERT_EQ(forSessions->items().size(), 2u);
    EXPECT_EQ(Serialization::sessionWithData(forSessions->items()[1]->data())->sessionId(),
              second->sessionId());

    UserFeedback feedback(Id::fromUuidString("12c2d058d58442709aa2eca08bf20986"));
    const auto forFeedback = Envelope::forUserFeedback(feedback);
    EXPECT_EQ(forFeedback->header()->eventId(), feedback.eventId);
    EXPECT_EQ(forFeedback->items()[0]->header()->type(), "user_report");

    const Envelope empty(EnvelopeHeader::empty(), Envelope::Items{nullptr});
    EXPECT_TRUE(empty.items().empty());
    EXPECT_FALSE(empty.header()->eventId());
}

}  // namespace
}  // namespace skald
