#include "skald/event.h"

#include <gtest/gtest.h>

#include "support/test_clock_fixture.h"

#include "core/dependency_container.h"
#include "support/test_current_date_provider.h"

namespace skald {
namespace {

class EventTest : public test::TestClockFixture {};

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

TEST_F(EventTest, CreationSetsIdLevelPlatformAndTimestamp) {
    const Event event(Level::Warning);
    EXPECT_EQ(event.level, Level::Warning);
    EXPECT_EQ(event.platform, "cocoa");
    EXPECT_EQ(event.timestamp, clock->date());
    EXPECT_NE(event.eventId, Id::empty());
    EXPECT_NE(Event().eventId, event.eventId);
    EXPECT_EQ(Event().level, Level::None);

    const Error error = Error::skald(ErrorCode::InvalidDsn, "bad dsn");
    const Event fromError(error);
    EXPECT_EQ(fromError.level, Level::Error);
    EXPECT_EQ(fromError.error, error);
}

TEST_F(EventTest, MinimalEventWritesOnlyTheAlwaysPresentKeys) {
    Event event;
    const Json json = event.serialize();
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"event_id", "timestamp", "platform"}));
    EXPECT_EQ(json["event_id"], event.eventId.skaldIdString());
    EXPECT_DOUBLE_EQ(json["timestamp"].get<double>(), 1714558830.123);
    EXPECT_TRUE(json["timestamp"].is_number_float());
    EXPECT_EQ(json["platform"], "cocoa");
}

TEST_F(EventTest, PlatformIsAlwaysCocoa) {
    Event event(Level::Info);
    event.platform = "linux";
    EXPECT_EQ(event.serialize()["platform"], "cocoa");
}

TEST_F(EventTest, ClearedTimestampIsFilledAtSerializationAndKept) {
    Event event;
    event.timestamp.reset();
    clock->advance(10);
    const Json json = event.serialize();
    ASSERT_TRUE(event.timestamp.has_value());
    EXPECT_EQ(*event.timestamp, clock->date());
    EXPECT_DOUBLE_EQ(json["timestamp"].get<double>(), timeIntervalSince1970(clock->date()));
    clock->advance(10);
    EXPECT_EQ(event.serialize()["timestamp"], json["timestamp"]);
}

TEST_F(EventTest, StartTimestampOnlyForTransactions) {
    Event event;
    event.type = "transaction";
    Json json = event.serialize();
    EXPECT_EQ(json["start_timestamp"], json["timestamp"]);

    event.startTimestamp = dateWithTimeIntervalSince1970(1700000000.5);
    EXPECT_DOUBLE_EQ(event.serialize()["start_timestamp"].get<double>(), 1700000000.5);

    event.type = "default";
    json = event.serialize();
    EXPECT_FALSE(json.contains("start_timestamp"));
    EXPECT_EQ(json["type"], "default");
    event.type.reset();
    EXPECT_FALSE(event.serialize().contains("start_timestamp"));
}

TEST_F(EventTest, EmptyListsAreLeftOutButEmptyTagsAreWritten) {
    Event event;
    event.tags = std::map<std::string, std::string>{};
    event.extra = Json::object();
    const Json json = event.serialize();
    EXPECT_FALSE(json.contains("exception"));
    EXPECT_FALSE(json.contains("threads"));
    EXPECT_FALSE(json.contains("debug_meta"));
    EXPECT_FALSE(json.contains("breadcrumbs"));
    EXPECT_EQ(json["tags"], Json::object());
    EXPECT_EQ(json["extra"], Json::object());
}

TEST_F(EventTest, FullEventWritesEveryKeyInOrder) {
    Event event(Level::Fatal);
    event.sdk = Json{{"name", "skald.cpp"}, {"__skald_hidden", 1}};
    event.releaseName = "1.0";
    event.dist = "7";
    event.environment = "production";
    event.transaction = "download";
    event.fingerprint = std::vector<std::string>{"a", "b"};
    event.user = std::make_shared<User>("u1");
    event.modules = std::map<std::string, std::string>{{"asio", "1.28"}};
    event.stacktrace = std::make_shared<Stacktrace>();
    event.stacktrace->snapshot = true;
    event.breadcrumbs.push_back(std::make_shared<Breadcrumb>(Level::Info, "ui"));
    event.serializedBreadcrumbs.push_back(Json{{"message", "restored"}});
    event.context = Json{{"os", {{"name", "Linux"}, {"__skald_x", 1}}}};
    event.message = std::make_shared<Message>("hello");
    event.logger = "installer";
    event.serverName = "host";
    event.type = "transaction";
    event.request = std::make_shared<Request>();
    event.request->url = "https://example.invalid/";
    event.threads.push_back(std::make_shared<Thread>(1));
    event.exceptions.push_back(std::make_shared<Exception>("boom", "SIGABRT"));
    event.debugMeta.push_back(std::make_shared<DebugMeta>());
    event.debugMeta[0]->name = "/usr/lib/libc.so.6";
    event.extra = Json{{"k", nullptr}};
    event.tags = std::map<std::string, std::string>{{"error-type", "download"}};
    event.error = Error::skald(ErrorCode::UnknownError, "not written");
    event.isCrashEvent = true;

    const Json json = event.serialize();
    EXPECT_EQ(keysOf(json),
              (std::vector<std::string>{
                  "event_id", "timestamp", "platform",    "level",       "sdk",
                  "release",  "dist",      "environment", "transaction", "fingerprint",
                  "user",     "modules",   "stacktrace",  "breadcrumbs", "contexts",
                  "message",  "logger",    "server_name", "type",        "start_timestamp",
                  "request",  "threads",   "exception",   "debug_meta",  "extra",
                  "tags"}));
    EXPECT_EQ(json["level"], "fatal");
    EXPECT_EQ(json["sdk"], (Json{{"name", "skald.cpp"}}));
    EXPECT_EQ(json["fingerprint"], Json::array({"a", "b"}));
    EXPECT_EQ(json["user"], (Json{{"id", "u1"}}));
    EXPECT_EQ(json["modules"], (Json{{"asio", "1.28"}}));
    EXPECT_EQ(json["stacktrace"], (Json{{"snapshot", true}}));
    ASSERT_EQ(json["breadcrumbs"].size(), 2u);
    EXPECT_EQ(json["breadcrumbs"][0]["category"], "ui");
    EXPECT_EQ(json["breadcrumbs"][1], (Json{{"message", "restored"}}));
    EXPECT_EQ(json["contexts"], (Json{{"os", {{"name", "Linux"}}}}));
    EXPECT_EQ(json["message"], (Json{{"formatted", "hello"}}));
    EXPECT_EQ(json["request"], (Json{{"url", "https://example.invalid/"}}));
    EXPECT_EQ(json["threads"], (Json{{"values", {{{"id", 1}}}}}));
    EXPECT_EQ(json["exception"], (Json{{"values", {{{"value", "boom"}, {"type", "SIGABRT"}}}}}));
    EXPECT_EQ(json["debug_meta"], (Json{{"images", {{{"name", "libc.so.6"}}}}}));
    EXPECT_EQ(json["extra"], (Json{{"k", "<null>"}}));
    EXPECT_EQ(json["tags"], (Json{{"error-type", "download"}}));
    EXPECT_NO_THROW(json.dump());
}

TEST_F(EventTest, OnlySerializedBreadcrumbsStillWriteTheKey) {
    Event event;
    event.serializedBreadcrumbs.push_back(Json{{"level", "info"}});
    EXPECT_EQ(event.serialize()["breadcrumbs"], Json::array({Json{{"level", "info"}}}));
}

TEST_F(EventTest, MetricKitAndAppHangDetection) {
    Event event;
    EXPECT_FALSE(event.isMetricKitEvent());
    EXPECT_FALSE(event.isAppHangEvent());

    auto exception = std::make_shared<Exception>("main thread blocked", "App Hanging");
    event.exceptions.push_back(exception);
    EXPECT_TRUE(event.isAppHangEvent());
    EXPECT_FALSE(event.isMetricKitEvent());

    for (const char* type : {"mx_disk_write_exception", "mx_cpu_exception", "mx_hang_diagnostic",
                             "MXCrashDiagnostic"}) {
        exception->mechanism = std::make_shared<Mechanism>(type);
        EXPECT_TRUE(event.isMetricKitEvent()) << type;
    }
    exception->mechanism = std::make_shared<Mechanism>("mx_other");
    EXPECT_FALSE(event.isMetricKitEvent());

    exception->mechanism = std::make_shared<Mechanism>("mx_cpu_exception");
    event.exceptions.push_back(std::make_shared<Exception>("x", "App Hanging"));
    EXPECT_FALSE(event.isMetricKitEvent());
    EXPECT_FALSE(event.isAppHangEvent());
}

TEST_F(EventTest, NullRecordsInListsAreSkipped) {
    Event event;
    event.threads.push_back(nullptr);
    event.breadcrumbs.push_back(nullptr);
    const Json json = event.serialize();
    EXPECT_FALSE(json.contains("threads"));
    EXPECT_FALSE(json.contains("breadcrumbs"));
}

}  // namespace
}  // namespace skald
