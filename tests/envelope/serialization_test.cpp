#include "skald/serialization.h"

#include <gtest/gtest.h>

#include "skald/app_state.h"
#include "skald/session.h"
#include "support/log_capture.h"
#include "util/meta.h"

namespace skald {
namespace {

using Items = Envelope::Items;

std::shared_ptr<EnvelopeItem> item(const std::string& type, const std::string& data) {
    return std::make_shared<EnvelopeItem>(std::make_shared<EnvelopeItemHeader>(type, data.size()),
                                          data);
}

std::shared_ptr<Envelope> parse(const std::string& data) {
    return Serialization::envelopeWithData(data);
}

const Id kEventId = Id::fromUuidString("12c2d058d58442709aa2eca08bf20986");

// MARK: - Writing

TEST(SerializationTest, WritesTheExactFraming) {
    const std::string payload = R"({"message":"hi"})";
    Envelope envelope(
        std::make_shared<EnvelopeHeader>(kEventId, SdkInfo("skald.cocoa", "1.0.0"), std::nullopt),
        item("event", payload));
    EXPECT_EQ(Serialization::dataWithEnvelope(envelope),
              R"({"event_id":"12c2d058d58442709aa2eca08bf20986","sdk":{"name":"skald.cocoa",)"
              R"("version":"1.0.0","packages":{"name":"carthage:skald/skald.cocoa",)"
              R"("version":"1.0.0"}}})"
              "\n"
              R"({"type":"event","length":16})"
              "\n" +
                  payload);
}

TEST(SerializationTest, WritesTraceAndSentAtAndNothingAfterTheLastPayload) {
    auto header = std::make_shared<EnvelopeHeader>(
        std::nullopt, std::nullopt, TraceContext(kEventId, "key", "1.0", std::nullopt, "tx"));
    header->setSentAt(dateWithTimeIntervalSince1970(1714558830.123));
    EXPECT_EQ(Serialization::dataWithEnvelope(Envelope(header, Items{})),
              R"({"trace":{"trace_id":"12c2d058d58442709aa2eca08bf20986","public_key":"key",)"
              R"("release":"1.0","transaction":"tx"},"sent_at":"2024-05-01T10:20:30.123Z"})");

    const auto data =
        Serialization::dataWithEnvelope(Envelope(header, Items{item("a", "1"), item("b", "")}));
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->ends_with("\n{\"type\":\"b\",\"length\":0}\n"));
}

TEST(SerializationTest, HeaderSdkInfoComesFromTheCurrentMeta) {
    Meta::setSdkName("skald.wrapper");
    const EnvelopeHeader header(std::nullopt);
    Meta::setSdkName("skald.cocoa");
    ASSERT_TRUE(header.sdkInfo());
    EXPECT_EQ(header.sdkInfo()->name(), "skald.wrapper");
    EXPECT_EQ(header.sdkInfo()->version(), "1.0.0");
    EXPECT_FALSE(header.traceContext());
}

TEST(SerializationTest, WritesThePayloadLengthWhenAHeaderDisagreesWithIt) {
    test::LogCapture log;
    Envelope envelope(std::nullopt, std::make_shared<EnvelopeItem>(
                                        std::make_shared<EnvelopeItemHeader>("event", 99), "abc"));
    const auto parsed = parse(*Serialization::dataWithEnvelope(envelope));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->items()[0]->data(), "abc");
    EXPECT_TRUE(log.contains("declares 99 bytes but holds 3"));
}

// MARK: - Parsing

TEST(SerializationTest, RoundTripsHeaderValuesAndItems) {
    auto header = std::make_shared<EnvelopeHeader>(
        kEventId, SdkInfo("name", "2.0"),
        TraceContext(kEventId, "pk", "rel", "env", "tx", "seg", "0.25", "true", "replay"));
    header->setSentAt(dateWithTimeIntervalSince1970(1714558830.123));
    Envelope envelope(header, Items{item("event", "{}"),
                                    std::make_shared<EnvelopeItem>(
                                        std::make_shared<EnvelopeAttachmentHeader>(
                                            "attachment", 3, "view.json", "application/json",
                                            AttachmentType::ViewHierarchy),
                                        "a\nb"),
                                    item("session", "")});
    const auto parsed = parse(*Serialization::dataWithEnvelope(envelope));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header()->eventId(), kEventId);
    EXPECT_EQ(parsed->header()->sdkInfo(), SdkInfo("name", "2.0"));
    EXPECT_EQ(parsed->header()->traceContext(), header->traceContext());
    EXPECT_EQ(parsed->header()->sentAt(), header->sentAt());
    ASSERT_EQ(parsed->items().size(), 3u);
    EXPECT_EQ(parsed->items()[0]->header()->type(), "event");
    EXPECT_EQ(parsed->items()[0]->data(), "{}");
    const auto* attachment =
        dynamic_cast<const EnvelopeAttachmentHeader*>(parsed->items()[1]->header().get());
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->filename(), "view.json");
    EXPECT_EQ(attachment->contentType(), "application/json");
    EXPECT_EQ(attachment->attachmentType(), AttachmentType::ViewHierarchy);
    EXPECT_EQ(parsed->items()[1]->data(), "a\nb");
    EXPECT_EQ(parsed->items()[2]->header()->type(), "session");
    EXPECT_EQ(parsed->items()[2]->data(), "");
}

TEST(SerializationTest, LastPayloadMayEndTheDataOrBeFollowedByANewline) {
    for (const std::string tail : {"", "\n"}) {
        const auto parsed = parse("{}\n{\"type\":\"event\",\"length\":3}\nabc" + tail);
        ASSERT_TRUE(parsed) << "tail size " << tail.size();
        ASSERT_EQ(parsed->items().size(), 1u);
        EXPECT_EQ(parsed->items()[0]->data(), "abc");
    }
}

TEST(SerializationTest, ZeroLengthItemFollowedDirectlyByTheNextHeader) {
    const auto parsed =
        parse("{}\n{\"type\":\"a\",\"length\":0}\n{\"type\":\"b\",\"length\":2}\nxy");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 2u);
    EXPECT_EQ(parsed->items()[0]->data(), "");
    EXPECT_EQ(parsed->items()[1]->header()->type(), "b");
    EXPECT_EQ(parsed->items()[1]->data(), "xy");
}

TEST(SerializationTest, MissingLengthMeansEmptyPayload) {
    const auto parsed = parse("{}\n{\"type\":\"a\"}\n\n{\"type\":\"b\",\"length\":1}\nz");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 2u);
    EXPECT_EQ(parsed->items()[0]->header()->length(), 0u);
    EXPECT_EQ(parsed->items()[1]->data(), "z");
}

TEST(SerializationTest, ItemHeaderThatEndsTheDataWithoutNewline) {
    // The header's last byte belongs to it even without a newline after it.
    const auto parsed =
        parse("{}\n{\"type\":\"a\",\"length\":1}\nx\n{\"type\":\"b\",\"length\":0}");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 2u);
    EXPECT_EQ(parsed->items()[1]->header()->type(), "b");
    EXPECT_EQ(parsed->items()[1]->data(), "");
}

TEST(SerializationTest, LengthBeyondTheDataGivesNothing) {
    test::LogCapture log;
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":1}\nx\n{\"type\":\"b\",\"length\":5}\nabc"));
    EXPECT_TRUE(
        log.contains("Envelope is corrupted or has invalid data. Trying to read 5 bytes by skiping "
                     "53 from a buffer of 56 bytes."));
    // Lengths near the top of the range must not wrap around the bounds check.
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":18446744073709551615}\nabc"));
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":18446744073709551584}\nabc"));
}

TEST(SerializationTest, HeaderWithLengthButNoPayloadStopsReadingAndKeepsEarlierItems) {
    test::LogCapture log;
    const auto parsed =
        parse("{}\n{\"type\":\"a\",\"length\":1}\nx\n{\"type\":\"b\",\"length\":4}\n");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 1u);
    EXPECT_TRUE(log.contains("Envelope item has no data but header indicates it's length is 4."));
}

TEST(SerializationTest, SecondHeaderWithoutTypeEndsParsing) {
    test::LogCapture log;
    const auto parsed = parse(
        "{}\n{\"type\":\"a\",\"length\":1}\nx\n{\"length\":1}\ny\n{\"type\":\"c\",\"length\":0}\n");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 1u);
    EXPECT_EQ(parsed->items()[0]->header()->type(), "a");
    EXPECT_TRUE(log.contains("Envelope item type is required."));

    // A type that is not a string is no type either.
    EXPECT_FALSE(parse("{}\n{\"type\":5,\"length\":0}\n"));
}

TEST(SerializationTest, InvalidItemHeaderGivesNothing) {
    test::LogCapture log;
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":1}\nx\n{not json}\n"));
    EXPECT_TRUE(log.contains("Failed to parse envelope item header"));
    EXPECT_FALSE(parse("{}\n[1,2]\n"));
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":-1}\nx"));
    EXPECT_FALSE(parse("{}\n{\"type\":\"a\",\"length\":\"1\"}\nx"));
}

TEST(SerializationTest, ValidHeaderWithoutItems) {
    test::LogCapture log;
    EXPECT_FALSE(parse("{\"event_id\":\"12c2d058d58442709aa2eca08bf20986\"}\n"));
    EXPECT_TRUE(log.contains("Envelope has no items."));
}

TEST(SerializationTest, EmptyGarbageAndHeaderlessInput) {
    test::LogCapture log;
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(parse("{}"));
    EXPECT_EQ(log.count("Invalid envelope. No header found."), 2u);
    log.clear();
    EXPECT_FALSE(parse(std::string("\x00\x01garbage\n\xff\xfe", 12)));
    EXPECT_TRUE(log.contains("Failed to parse envelope header"));
    EXPECT_TRUE(log.contains("Invalid envelope. No header found."));
    EXPECT_FALSE(parse("\n\n\n"));
    EXPECT_FALSE(parse("[]\n{\"type\":\"a\"}\n"));
}

TEST(SerializationTest, AttachmentHeaderOnlyWithFilename) {
    const auto parsed = parse(
        "{}\n{\"type\":\"attachment\",\"length\":0,\"filename\":\"f\"}\n"
        "\n{\"type\":\"attachment\",\"length\":0,\"filename\":\"g\","
        "\"attachment_type\":\"event.view_hierarchy\",\"content_type\":\"text/plain\"}\n"
        "\n{\"type\":\"event\",\"length\":0,\"content_type\":\"text/plain\"}\n");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->items().size(), 3u);
    const auto* plain =
        dynamic_cast<const EnvelopeAttachmentHeader*>(parsed->items()[0]->header().get());
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->attachmentType(), AttachmentType::EventAttachment);
    EXPECT_FALSE(plain->contentType());
    const auto* hierarchy =
        dynamic_cast<const EnvelopeAttachmentHeader*>(parsed->items()[1]->header().get());
    ASSERT_NE(hierarchy, nullptr);
    EXPECT_EQ(hierarchy->attachmentType(), AttachmentType::ViewHierarchy);
    EXPECT_EQ(hierarchy->contentType(), "text/plain");
    const auto& event = *parsed->items()[2]->header();
    EXPECT_EQ(dynamic_cast<const EnvelopeAttachmentHeader*>(&event), nullptr);
    EXPECT_FALSE(event.contentType());
}

TEST(SerializationTest, SentAtWithAndWithoutMilliseconds) {
    const auto withMillis =
        parse("{\"sent_at\":\"2024-05-01T10:20:30.123Z\"}\n{\"type\":\"a\",\"length\":0}\n");
    const auto withoutMillis =
        parse("{\"sent_at\":\"2024-05-01T10:20:30Z\"}\n{\"type\":\"a\",\"length\":0}\n");
    ASSERT_TRUE(withMillis && withoutMillis);
    EXPECT_EQ(withMillis->header()->sentAt(), dateWithTimeIntervalSince1970(1714558830.123));
    EXPECT_EQ(withoutMillis->header()->sentAt(), dateWithTimeIntervalSince1970(1714558830));
}

TEST(SerializationTest, HeaderValuesOfTheWrongShape) {
    const auto parsed = parse(
        "{\"event_id\":\"nope\",\"sdk\":{\"name\":1},\"trace\":{\"trace_id\":\"x\"},"
        "\"sent_at\":\"yesterday\"}\n{\"type\":\"a\",\"length\":0}\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header()->eventId(), Id::empty());
    EXPECT_EQ(parsed->header()->sdkInfo(), SdkInfo("", ""));
    EXPECT_FALSE(parsed->header()->traceContext());
    EXPECT_FALSE(parsed->header()->sentAt());

    const auto bare = parse("{}\n{\"type\":\"a\",\"length\":0}\n");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->header()->eventId());
    EXPECT_FALSE(bare->header()->sdkInfo());
}

TEST(SerializationTest, TruncationAtEveryOffsetIsSafe) {
    auto header = std::make_shared<EnvelopeHeader>(kEventId);
    Envelope envelope(header, Items{item("event", R"({"a":"b\nc"})"), item("attachment", "12345")});
    const std::string data = *Serialization::dataWithEnvelope(envelope);
    for (size_t length = 0; length <= data.size(); ++length) {
        // A copy of exactly `length` bytes, so that sanitizers see reads past it.
        const std::string truncated = data.substr(0, length);
        const auto parsed = parse(truncated);
        if (!parsed) continue;
        size_t payloadBytes = 0;
        for (const auto& parsedItem : parsed->items()) {
            EXPECT_EQ(parsedItem->data().size(), parsedItem->header()->length());
            payloadBytes += parsedItem->data().size();
        }
        EXPECT_LE(payloadBytes, length);
        const auto& items = parsed->items();
        if (length == data.size()) {
            ASSERT_EQ(items.size(), 2u);
            EXPECT_EQ(items[1]->data(), "12345");
        } else {
            // A truncated envelope never claims its second payload whole.
            ASSERT_EQ(items.size(), 1u) << "at " << length;
            EXPECT_EQ(items[0]->data(), R"({"a":"b\nc"})");
        }
    }
}

TEST(SerializationTest, GarbageAfterEveryByteNeverCrashes) {
    const std::string data = *Serialization::dataWithEnvelope(
        Envelope(std::nullopt, Items{item("event", "{}"), item("session", "{}")}));
    for (size_t i = 0; i < data.size(); ++i) {
        for (char replacement : {'\n', '\0', '9', '"', '}'}) {
            std::string corrupted = data;
            corrupted[i] = replacement;
            if (const auto parsed = parse(corrupted)) {
                for (const auto& parsedItem : parsed->items()) {
                    EXPECT_LE(parsedItem->data().size(), corrupted.size());
                }
            }
        }
    }
}

// MARK: - JSON, sessions, app state, level

TEST(SerializationTest, DataWithJsonObject) {
    test::LogCapture log;
    EXPECT_EQ(Serialization::dataWithJSONObject(Json{{"b", 1}, {"a", "x"}}), R"({"b":1,"a":"x"})");
    EXPECT_FALSE(Serialization::dataWithJSONObject(Json("text")));
    EXPECT_FALSE(Serialization::dataWithJSONObject(Json{{"n", std::nan("")}}));
    EXPECT_EQ(log.count("Dictionary is not a valid JSON object."), 2u);
}

TEST(SerializationTest, DeserializeDictionary) {
    test::LogCapture log;
    EXPECT_EQ(Serialization::deserializeDictionaryFromJsonData(R"({"a":1})"), Json({{"a", 1}}));
    EXPECT_FALSE(Serialization::deserializeDictionaryFromJsonData("{"));
    EXPECT_FALSE(Serialization::deserializeDictionaryFromJsonData("[1]"));
    EXPECT_EQ(log.count("Failed to deserialize json item dictionary: "), 2u);
}

TEST(SerializationTest, LevelFromData) {
    test::LogCapture log;
    EXPECT_EQ(Serialization::levelFromData(R"({"level":"warning"})"), Level::Warning);
    EXPECT_EQ(Serialization::levelFromData(R"({"level":"fatal"})"), Level::Fatal);
    EXPECT_EQ(Serialization::levelFromData(R"({"level":"loud"})"), Level::Error);
    EXPECT_EQ(Serialization::levelFromData(R"({"level":3})"), Level::Error);
    EXPECT_EQ(Serialization::levelFromData(R"({})"), Level::Error);
    EXPECT_FALSE(log.contains("Failed to retrieve event level"));
    EXPECT_EQ(Serialization::levelFromData("not json"), Level::Error);
    EXPECT_TRUE(log.contains("Failed to retrieve event level from envelope item data: "));
}

TEST(SerializationTest, SessionBytes) {
    test::LogCapture log;
    Session session(std::string("1.0"), "did");
    const auto data = Serialization::dataWithSession(session);
    ASSERT_TRUE(data);
    const auto back = Serialization::sessionWithData(*data);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sessionId(), session.sessionId());

    EXPECT_FALSE(Serialization::sessionWithData("{"));
    EXPECT_TRUE(log.contains("Failed to deserialize session data "));
    EXPECT_FALSE(Serialization::sessionWithData(R"({"sid":"x"})"));
    EXPECT_TRUE(log.contains("Failed to initialize session from dictionary. Dropping it."));

    for (auto release : {std::optional<std::string>(), std::optional<std::string>("")}) {
        log.clear();
        Session unnamed(release, "did");
        EXPECT_FALSE(Serialization::sessionWithData(*Serialization::dataWithSession(unnamed)));
        EXPECT_TRUE(
            log.contains("Deserialized session doesn't contain a release name. Dropping it."));
    }
}

TEST(SerializationTest, AppStateBytes) {
    test::LogCapture log;
    AppState state("1.0", "14.1", "vendor", true, dateWithTimeIntervalSince1970(100));
    const auto back =
        Serialization::appStateWithData(*Serialization::dataWithJSONObject(state.serialize()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->vendorId, "vendor");
    EXPECT_FALSE(Serialization::appStateWithData("nope"));
    EXPECT_TRUE(log.contains("Failed to deserialize app state data "));
    EXPECT_FALSE(Serialization::appStateWithData("{}"));
}

TEST(SerializationTest, ReplayRecordingBytes) {
    ReplayRecording recording;
    recording.header = {{"segment_id", 0}};
    recording.body = Json::array({{{"type", 4}}});
    EXPECT_EQ(Serialization::dataWithReplayRecording(recording),
              "{\"segment_id\":0}\n[{\"type\":4}]");
}

}  // namespace
}  // namespace skald
