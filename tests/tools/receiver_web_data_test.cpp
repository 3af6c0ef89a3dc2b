// What the receiver's web view makes of received items: titles, kinds, limits,
// sessions and metrics.
#include <gtest/gtest.h>

#include "skald/serialization.h"
#include "tools/receiver/inbox.h"
#include "tools/receiver/item_summary.h"
#include "tools/receiver/release_health.h"
#include "tools/receiver/statsd_lines.h"

namespace skald::tools {
namespace {

struct Item {
    std::string type;
    std::string payload;
    std::string headerExtra = {};  // more item header keys, with a leading comma
};

std::string envelopeText(const std::vector<Item>& items, const std::string& header = "{}") {
    std::string text = header;
    for (const auto& item : items) {
        text += "\n{\"type\":\"" + item.type +
                "\",\"length\":" + std::to_string(item.payload.size()) + item.headerExtra + "}\n" +
                item.payload;
    }
    return text;
}

void add(Inbox& inbox, const std::vector<Item>& items, uint64_t number = 1) {
    const std::string text = envelopeText(items);
    const auto envelope = Serialization::envelopeWithData(text);
    ASSERT_TRUE(envelope) << text;
    inbox.add(*envelope, text, number);
}

TEST(ReceiverItemSummaryTest, TitlesSayWhatHappened) {
    const Json chain = Json::parse(R"({"level":"error","release":"app@1","timestamp":1700000000.5,
        "exception":{"values":[{"type":"posix","value":"No space"},{"type":"com.example","value":"Save failed"}]}})");
    Json summary = itemSummary(itemKind("event", &chain), &chain, {});
    EXPECT_EQ(summary["title"], "com.example: Save failed");  // the outermost, not its cause
    EXPECT_EQ(summary["release"], "app@1");
    EXPECT_EQ(summary["time"], 1700000000.5);

    const Json message = Json::parse(R"({"level":"info","message":{"formatted":"Hello"}})");
    EXPECT_EQ(itemSummary("event", &message, {})["title"], "Hello");

    const Json bare = Json::parse(R"({"message":42,"exception":{"values":"nope"}})");
    EXPECT_EQ(itemSummary("event", &bare, {})["title"], "(no message)");

    const Json session = Json::parse(
        R"({"sid":"AB","status":"crashed","seq":3,"timestamp":"2024-05-01T10:20:30.123Z","attrs":{"release":"r1"}})");
    summary = itemSummary("session", &session, {});
    EXPECT_EQ(summary["title"], "Session AB crashed (update 3)");
    EXPECT_EQ(summary["release"], "r1");
    EXPECT_NEAR(summary["time"].get<double>(), 1714558830.123, 1e-3);

    const Json report = Json::parse(
        R"({"discarded_events":[{"reason":"sample_rate","category":"transaction","quantity":2},"junk"]})");
    EXPECT_EQ(itemSummary("client report", &report, {})["title"],
              "Discarded: transaction/sample_rate ×2");

    const Json chunk = Json::parse(R"({"chunk_id":"c1","profile":{"samples":[{}]}})");
    EXPECT_EQ(itemSummary("profile", &chunk, {})["title"], "Profile chunk c1 (1 samples)");

    EXPECT_EQ(itemSummary("metrics", nullptr, "b:1.0|c\na:2.0|g\nb:3.0|c\nbroken")["title"],
              "2 metrics: a, b");
}

TEST(ReceiverItemSummaryTest, CrashesAreFatalOrUnhandled) {
    EXPECT_TRUE(isCrashEvent(Json::parse(R"({"level":"fatal"})")));
    EXPECT_TRUE(isCrashEvent(Json::parse(
        R"({"level":"error","exception":{"values":[{"mechanism":{"handled":false}}]}})")));
    EXPECT_FALSE(isCrashEvent(Json::parse(
        R"({"level":"error","exception":{"values":[{"mechanism":{"handled":true}}]}})")));
    EXPECT_FALSE(isCrashEvent(Json::parse(R"({"level":"error","exception":{"values":[1,"x"]}})")));
    const Json fatal = Json::parse(R"({"level":"fatal"})");
    EXPECT_EQ(itemKind("event", &fatal), "crash");
    EXPECT_EQ(itemKind("event", nullptr), "event");
    EXPECT_EQ(itemKind("statsd", nullptr), "metrics");
    EXPECT_EQ(itemKind("profile_chunk", nullptr), "profile");
    EXPECT_EQ(itemKind("client_report", nullptr), "client report");
}

TEST(ReceiverItemSummaryTest, LongTitlesAreCutBetweenCharacters) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "ä";  // two bytes each
    const std::string cut = shortened(text, 301);
    EXPECT_EQ(cut.size(), 300u + std::string("…").size());
    EXPECT_EQ(shortened("short", 300), "short");
    EXPECT_EQ(jsonNestingDepth(R"({"a":[{"b":"[[[[\"]]"}]})"), 3u);
    EXPECT_EQ(jsonNestingDepth(std::string(5000, '[')), 5000u);
}

TEST(ReceiverInboxTest, KeepsItemsNewestFirstAndFiltersByKind) {
    Inbox inbox;
    add(inbox, {{"event", R"({"event_id":"e1","level":"info","message":{"formatted":"one"}})"}}, 1);
    add(inbox,
        {{"event",
          R"({"event_id":"e2","level":"fatal","exception":{"values":[{"type":"SIGSEGV"}]}})"},
         {"session", R"({"sid":"S","status":"crashed","seq":2})"}},
        2);
    const Json all = inbox.list("", 100);
    ASSERT_EQ(all["items"].size(), 3u);
    EXPECT_EQ(all["items"][0]["kind"], "session");
    EXPECT_EQ(all["items"][1]["kind"], "crash");
    EXPECT_EQ(all["items"][1]["title"], "SIGSEGV");
    EXPECT_EQ(all["items"][2]["title"], "one");
    EXPECT_EQ(inbox.list("crash", 100)["items"].size(), 1u);
    EXPECT_EQ(inbox.list("", 100, 2)["items"].size(), 1u);  // only those after id 2
    EXPECT_EQ(inbox.list("", 1)["items"].size(), 1u);

    // Items of one envelope point at each other.
    const auto crash = inbox.detail(2);
    ASSERT_TRUE(crash);
    ASSERT_EQ((*crash)["related"].size(), 1u);
    EXPECT_EQ((*crash)["related"][0]["kind"], "session");
    EXPECT_FALSE(inbox.detail(99));
}

TEST(ReceiverInboxTest, AttachmentsTravelWithTheirEventAndLargeOnesAreNotKept) {
    InboxLimits limits;
    limits.maxAttachmentBytes = 8;
    Inbox inbox(limits);
    add(inbox,
        {{"attachment", "<script>", R"(,"filename":"<b>x</b>.txt","content_type":"text/html")"},
         {"event", R"({"level":"error"})"},
         {"attachment", "0123456789", R"(,"filename":"big.bin")"}});
    const auto detail = inbox.detail(1);
    ASSERT_TRUE(detail);
    ASSERT_EQ((*detail)["attachments"].size(), 2u);
    EXPECT_EQ((*detail)["attachments"][0]["filename"], "<b>x</b>.txt");
    EXPECT_EQ((*detail)["attachments"][1]["kept"], false);
    const auto first = inbox.attachment(1, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data, "<script>");
    EXPECT_FALSE(inbox.attachment(1, 1));
    EXPECT_FALSE(inbox.attachment(1, 2));

    // Without an event they make an item of their own.
    add(inbox, {{"attachment", "abc", R"(,"filename":"lonely.txt")"}}, 2);
    EXPECT_EQ(inbox.list("", 10)["items"][0]["kind"], "attachment");
    EXPECT_EQ(inbox.attachment(2, 0)->data, "abc");

    // Only so many of one envelope are kept.
    std::vector<Item> many;
    for (int i = 0; i < 150; ++i) many.push_back({"attachment", "x", R"(,"filename":"f.txt")"});
    add(inbox, many, 3);
    const Json list = inbox.list("", 1);
    EXPECT_EQ(list["items"][0]["attachments"], 100);
    EXPECT_EQ(list["items"][0]["attachments_left_out"], 50);
}

TEST(ReceiverInboxTest, HostilePayloadsAreListedButNotKept) {
    InboxLimits limits;
    limits.maxJsonBytes = 1000;
    limits.maxJsonDepth = 20;
    Inbox inbox(limits);
    add(inbox, {{"event", R"({"message":{"formatted":")" + std::string(2000, 'x') + "\"}}"},
                {"event", std::string(50, '[') + std::string(50, ']')},
                {"event", "not json"},
                {"event", "[1,2]"},
                {"transaction", "{\"transaction\":\"bad \xff utf8\"}"}});
    for (uint64_t id = 1; id <= 5; ++id) {
        const auto detail = inbox.detail(id);
        ASSERT_TRUE(detail);
        EXPECT_TRUE((*detail)["payload"].is_null()) << id;
        EXPECT_FALSE((*detail)["note"].get<std::string>().empty()) << id;
    }
    EXPECT_NE(inbox.detail(1)->at("note").get<std::string>().find("too large"), std::string::npos);
    EXPECT_NE(inbox.detail(2)->at("note").get<std::string>().find("nested"), std::string::npos);
    EXPECT_EQ(inbox.list("", 10)["items"].size(), 5u);
}

TEST(ReceiverInboxTest, DropsTheOldestBeyondItsLimits) {
    InboxLimits limits;
    limits.maxItems = 3;
    Inbox inbox(limits);
    for (uint64_t i = 1; i <= 5; ++i) add(inbox, {{"event", R"({"level":"info"})"}}, i);
    Json list = inbox.list("", 100);
    ASSERT_EQ(list["items"].size(), 3u);
    EXPECT_EQ(list["items"][2]["id"], 3);
    EXPECT_EQ(list["dropped"], 2);
    EXPECT_FALSE(inbox.detail(1));

    limits.maxItems = 1000;
    limits.maxBytes = 64 * 1024;
    Inbox bytes(limits);
    const std::string big = R"({"message":{"formatted":")" + std::string(10000, 'y') + "\"}}";
    for (uint64_t i = 1; i <= 10; ++i) add(bytes, {{"event", big}}, i);
    list = bytes.list("", 100);
    EXPECT_LT(list["items"].size(), 10u);
    EXPECT_GE(list["items"].size(), 1u);
    EXPECT_EQ(list["items"][0]["id"], 10);
}

TEST(ReceiverInboxTest, AnEnvelopeOfManyItemsKeepsOnlyItsLast) {
    InboxLimits limits;
    limits.maxItems = 5;
    Inbox inbox(limits);
    std::vector<Item> items;
    for (int i = 0; i < 50; ++i) {
        items.push_back({"event", R"({"message":{"formatted":"m)" + std::to_string(i) + "\"}}"});
    }
    add(inbox, items);
    const Json list = inbox.list("", 100);
    ASSERT_EQ(list["items"].size(), 5u);
    EXPECT_EQ(list["items"][0]["title"], "m49");
    EXPECT_EQ(list["items"][4]["title"], "m45");
    EXPECT_EQ(list["dropped"], 45);
}

TEST(ReceiverInboxTest, WaitersWakeForNewItemsAndOnClose) {
    Inbox inbox;
    EXPECT_EQ(inbox.waitForNewer(0, std::chrono::milliseconds(10)), 0u);
    std::thread adder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        add(inbox, {{"event", "{}"}});
    });
    EXPECT_EQ(inbox.waitForNewer(0, std::chrono::seconds(10)), 1u);
    adder.join();
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        inbox.close();
    });
    const auto started = std::chrono::steady_clock::now();
    inbox.waitForNewer(1, std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(inbox.isClosed());
    closer.join();
}

TEST(ReceiverInboxTest, LinksATransactionAndItsProfile) {
    Inbox inbox;
    add(inbox, {{"transaction", R"({"event_id":"t1","type":"transaction","transaction":"load"})"}},
        1);
    add(inbox,
        {{"profile", R"({"transaction":{"id":"t1","name":"load"},"profile":{"samples":[{},{}]}})"}},
        2);
    add(inbox, {{"profile", R"({"transaction":{"id":"other"}})"}}, 3);
    const auto transaction = inbox.detail(1);
    ASSERT_EQ((*transaction)["related"].size(), 1u);
    EXPECT_EQ((*transaction)["related"][0]["id"], 2);
    EXPECT_EQ(inbox.detail(2)->at("title"), "Profile of load (2 samples)");
    EXPECT_EQ(inbox.detail(2)->at("related").size(), 1u);
    EXPECT_EQ(inbox.detail(3)->at("related").size(), 0u);
}

TEST(ReceiverReleaseHealthTest, GroupsUpdatesAndCountsCrashFreeSessions) {
    auto update = [](uint64_t id, const char* json) {
        return SessionUpdate{id, Json::parse(json)};
    };
    const std::vector<SessionUpdate> updates = {
        update(1, R"({"sid":"A","seq":2,"status":"ok","errors":1,"attrs":{"release":"r1"}})"),
        update(
            2,
            R"({"sid":"A","seq":1,"status":"ok","init":true,"errors":0,"attrs":{"release":"r1"}})"),
        update(3, R"({"sid":"B","seq":1,"status":"crashed","errors":1,"attrs":{"release":"r1"}})"),
        update(4, R"({"sid":"C","seq":1,"status":"exited","attrs":{"release":"r1"}})"),
        update(5, R"({"sid":"D","seq":4,"status":"abnormal","attrs":{"release":"r2"}})"),
        update(6, R"({"status":"ok"})"),
        update(7, R"("not an object")"),
        update(8, R"({"sid":"A","seq":3,"status":"exited","errors":1,"attrs":{"release":"r1"}})"),
    };
    const Json overview = sessionOverview(updates);
    EXPECT_EQ(overview["malformed"], 2);
    const Json& sessions = overview["sessions"];
    ASSERT_EQ(sessions.size(), 4u);
    // Newest activity first; updates in sequence order whatever order they came in.
    EXPECT_EQ(sessions[0]["sid"], "A");
    EXPECT_EQ(sessions[0]["status"], "exited");
    ASSERT_EQ(sessions[0]["updates"].size(), 3u);
    EXPECT_EQ(sessions[0]["updates"][0]["id"], 2);
    EXPECT_EQ(sessions[0]["updates"][0]["init"], true);
    EXPECT_EQ(sessions[0]["updates"][2]["id"], 8);

    const Json& releases = overview["releases"];
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[0]["release"], "r1");
    EXPECT_EQ(releases[0]["sessions"], 3);
    EXPECT_EQ(releases[0]["crashed"], 1);
    EXPECT_EQ(releases[0]["errored"], 1);
    EXPECT_NEAR(releases[0]["crash_free_sessions"].get<double>(), 2.0 / 3.0, 1e-9);
    EXPECT_EQ(releases[1]["abnormal"], 1);
    EXPECT_EQ(releases[1]["crash_free_sessions"], 1.0);
}

TEST(ReceiverStatsdTest, ReadsTheLinesTheMetricsClientWrites) {
    const auto text = parseStatsd(
        "button.click@none:1.0|c|#screen:main,release:app@1|T1700000000\n"
        "load@second:0.5:1.5:1.0|d|T1700000010\r\n"
        "mem@byte:4.0:1.0:9.0:14.0:3|g\n"
        "users:17:23|s|#note:a\\\\u{7c}b\\\\u{2c}c\\\\nd\\\\\\\\e\n"
        "\n"
        "nope\n"
        "bad:1.0|x\n"
        "bad:abc|c\n"
        "bad:inf|c\n"
        "bad:1.0|c|Tsoon\n"
        "bad:1.0|c|#novalue\n");
    EXPECT_EQ(text.malformed, 6u);
    ASSERT_EQ(text.lines.size(), 4u);
    const auto& counter = text.lines[0];
    EXPECT_EQ(counter.name, "button.click");
    EXPECT_EQ(counter.unit, "none");
    EXPECT_EQ(counter.tags.at("release"), "app@1");
    EXPECT_EQ(counter.timestamp, 1700000000);
    EXPECT_DOUBLE_EQ(chartValue(counter), 1.0);
    EXPECT_DOUBLE_EQ(chartValue(text.lines[1]), 1.0);  // mean of the distribution
    EXPECT_DOUBLE_EQ(chartValue(text.lines[2]), 4.0);  // the gauge's last value
    EXPECT_FALSE(text.lines[2].timestamp);
    EXPECT_EQ(text.lines[3].unit, "");
    EXPECT_DOUBLE_EQ(chartValue(text.lines[3]), 2.0);  // set members
    EXPECT_EQ(text.lines[3].tags.at("note"), "a|b,c\nd\\e");
    EXPECT_EQ(parseStatsd("d:1:2:3:4|d", 2).lines[0].values.size(), 2u);
}

TEST(ReceiverInboxTest, MetricsBecomeSeriesByName) {
    Inbox inbox;
    add(inbox,
        {{"statsd", "a:2.0|c|T1700000010\nb:1.0|g|T1700000000\n",
          R"(,"content_type":"application/octet-stream")"}},
        1);
    add(inbox, {{"statsd", "a:5.0|c|T1700000000\ngarbage\n"}}, 2);
    const Json metrics = inbox.metrics();
    EXPECT_EQ(metrics["malformed"], 1);
    ASSERT_EQ(metrics["metrics"].size(), 2u);
    const Json& a = metrics["metrics"][0];
    EXPECT_EQ(a["name"], "a");
    ASSERT_EQ(a["points"].size(), 2u);
    EXPECT_EQ(a["points"][0]["value"], 5.0);  // ordered by time, not by arrival
    EXPECT_EQ(a["points"][1]["value"], 2.0);
}

}  // namespace
}  // namespace skald::tools
