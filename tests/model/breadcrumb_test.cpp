#include "skald/breadcrumb.h"

#include <gtest/gtest.h>

#include "support/test_clock_fixture.h"

#include "core/dependency_container.h"
#include "support/test_current_date_provider.h"

namespace skald {
namespace {

class BreadcrumbTest : public test::TestClockFixture {};

TEST_F(BreadcrumbTest, DefaultsToInfoDefaultAndNow) {
    const Breadcrumb crumb;
    EXPECT_EQ(crumb.level, Level::Info);
    EXPECT_EQ(crumb.category, "default");
    EXPECT_EQ(crumb.timestamp, clock->date());
    EXPECT_EQ(crumb.serialize().dump(),
              R"({"level":"info","timestamp":"2024-05-01T10:20:30.123Z","category":"default"})");
}

TEST_F(BreadcrumbTest, SerializesEveryFieldAndMergesUnknownLast) {
    Breadcrumb crumb(Level::Warning, "http");
    crumb.type = "http";
    crumb.message = "GET";
    crumb.data = Json{{"status_code", 500}, {"__skald_internal", 1}, {"body", nullptr}};
    crumb.unknown = Json{{"origin", "installer"}, {"category", "replaced"}};
    EXPECT_EQ(crumb.serialize().dump(),
              R"({"level":"warning","timestamp":"2024-05-01T10:20:30.123Z","category":"replaced",)"
              R"("type":"http","message":"GET","data":{"status_code":500,"body":"<null>"},)"
              R"("origin":"installer"})");
}

TEST_F(BreadcrumbTest, FromDictionaryTakesKnownKeysOfTheRightType) {
    const Json input = {{"level", "error"},         {"timestamp", "2024-05-01T10:20:30.123Z"},
                        {"category", "navigation"}, {"type", "navigation"},
                        {"message", "opened"},      {"data", {{"from", "a"}}},
                        {"custom", {1, 2}}};
    const Breadcrumb crumb = Breadcrumb::fromDictionary(input);
    EXPECT_EQ(crumb.level, Level::Error);
    EXPECT_EQ(crumb.timestamp, Date() + std::chrono::milliseconds(1714558830123));
    EXPECT_EQ(crumb.category, "navigation");
    EXPECT_EQ(crumb.type, "navigation");
    EXPECT_EQ(crumb.message, "opened");
    EXPECT_EQ(crumb.data, (Json{{"from", "a"}}));
    EXPECT_EQ(crumb.unknown, (Json{{"custom", {1, 2}}}));
    EXPECT_EQ(crumb.serialize(), input);
}

TEST_F(BreadcrumbTest, FromDictionaryStartsEmptyAndKeepsWrongTypesInUnknown) {
    const Breadcrumb empty = Breadcrumb::fromDictionary(Json::object());
    EXPECT_EQ(empty.level, Level::None);
    EXPECT_FALSE(empty.timestamp.has_value());
    EXPECT_FALSE(empty.category.has_value());
    EXPECT_FALSE(empty.unknown.has_value());
    EXPECT_EQ(empty.serialize().dump(), R"({"level":"none"})");
    EXPECT_EQ(Breadcrumb::fromDictionary(Json::array()).serialize().dump(), R"({"level":"none"})");

    const Breadcrumb crumb = Breadcrumb::fromDictionary(
        Json{{"level", 3}, {"category", 7}, {"data", "text"}, {"message", nullptr}});
    EXPECT_EQ(crumb.level, Level::None);
    EXPECT_FALSE(crumb.category.has_value());
    EXPECT_FALSE(crumb.data.has_value());
    EXPECT_EQ(crumb.unknown,
              (Json{{"level", 3}, {"category", 7}, {"data", "text"}, {"message", nullptr}}));
    // The level name is written first, then the unknown number replaces it.
    const Json json = crumb.serialize();
    EXPECT_EQ(json["level"], 3);
    EXPECT_EQ(json["category"], 7);
}

TEST_F(BreadcrumbTest, UnparseableTimestampIsKeptAsItCame) {
    const Breadcrumb crumb = Breadcrumb::fromDictionary(Json{{"timestamp", "yesterday"}});
    EXPECT_FALSE(crumb.timestamp.has_value());
    EXPECT_EQ(crumb.serialize()["timestamp"], "yesterday");
    const Breadcrumb seconds =
        Breadcrumb::fromDictionary(Json{{"timestamp", "2024-05-01T10:20:30Z"}});
    EXPECT_EQ(seconds.serialize()["timestamp"], "2024-05-01T10:20:30.000Z");
}

TEST_F(BreadcrumbTest, UnknownLevelNameBecomesError) {
    EXPECT_EQ(Breadcrumb::fromDictionary(Json{{"level", "Warning"}}).level, Level::Error);
}

TEST_F(BreadcrumbTest, EqualityCoversEveryField) {
    Breadcrumb a(Level::Info, "ui");
    a.data = Json{{"x", 1}, {"y", 2}};
    Breadcrumb b = a;
    b.data = Json{{"y", 2}, {"x", 1}};  // order plays no part
    EXPECT_EQ(a, b);

    auto differs = [&](auto change) {
        Breadcrumb c = a;
        change(c);
        return !(c == a);
    };
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.level = Level::Debug; }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.category = "other"; }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.timestamp.reset(); }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.type = "t"; }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.message = "m"; }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.data = Json::object(); }));
    EXPECT_TRUE(differs([](Breadcrumb& c) { c.unknown = Json{{"u", 1}}; }));
}

TEST_F(BreadcrumbTest, DescriptionShowsAddressAndSerializedForm) {
    Breadcrumb crumb(Level::Debug, "c");
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(&crumb));
    EXPECT_EQ(crumb.description(),
              std::string("<Breadcrumb: ") + address + ", " + crumb.serialize().dump() + ">");
}

}  // namespace
}  // namespace skald
