#include "util/dictionary.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(MergeEntries, MergesNestedObjectsAndReplacesEverythingElse) {
    Json target = {{"a", {{"x", 1}, {"y", {{"deep", 1}, {"keep", true}}}}},
                   {"b", 1},
                   {"c", {{"obj", 1}}},
                   {"l", {1, 2}}};
    const Json source = {{"a", {{"y", {{"deep", 2}}}, {"z", 3}}},
                         {"b", {{"now", "object"}}},
                         {"c", 5},
                         {"l", {3}},
                         {"new", "v"}};
    mergeEntries(source, target);
    const Json expected = {{"a", {{"x", 1}, {"y", {{"deep", 2}, {"keep", true}}}, {"z", 3}}},
                           {"b", {{"now", "object"}}},
                           {"c", 5},
                           {"l", {3}},
                           {"new", "v"}};
    EXPECT_EQ(target, expected);
}

TEST(MergeEntries, IgnoresNonObjects) {
    Json target = {{"a", 1}};
    mergeEntries(Json::array({1}), target);
    EXPECT_EQ(target, (Json{{"a", 1}}));
    Json notAnObject = Json::array();
    mergeEntries(Json{{"a", 1}}, notAnObject);
    EXPECT_EQ(notAnObject, Json::array());
}

TEST(SetBoolValue, WritesOnlySetValuesAsBooleans) {
    Json target = Json::object();
    setBoolValue(std::nullopt, "absent", target);
    setBoolValue(true, "yes", target);
    setBoolValue(false, "no", target);
    EXPECT_EQ(target.dump(), R"({"yes":true,"no":false})");
}

TEST(JsonEquals, IgnoresKeyOrderButNotArrayOrder) {
    Json a = Json::object();
    a["x"] = 1;
    a["y"] = {{"p", 1}, {"q", 2}};
    Json b = Json::object();
    b["y"] = {{"q", 2}, {"p", 1}};
    b["x"] = 1;
    EXPECT_TRUE(jsonEquals(a, b));
    EXPECT_FALSE(jsonEquals(Json::array({1, 2}), Json::array({2, 1})));
    b["x"] = 2;
    EXPECT_FALSE(jsonEquals(a, b));
    EXPECT_FALSE(jsonEquals(Json{{"x", 1}}, Json{{"x", 1}, {"y", 1}}));
    EXPECT_TRUE(jsonEquals(std::optional<Json>(), std::optional<Json>()));
    EXPECT_FALSE(jsonEquals(std::optional<Json>(Json::object()), std::optional<Json>()));
}

TEST(AssignEntries, OverwritesInPlaceAndAppendsNewKeys) {
    Json target = {{"level", "info"}, {"category", "ui"}};
    assignEntries(Json{{"level", 3}, {"extra", true}}, target);
    EXPECT_EQ(target.dump(), R"({"level":3,"category":"ui","extra":true})");
}

}  // namespace
}  // namespace skald
