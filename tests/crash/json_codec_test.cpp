#include "crash/recording/json_codec.h"

#include <gtest/gtest.h>

#include <cmath>

namespace skald::crash {
namespace {

TEST(JsonCodecTest, EncodesInInsertionOrderOrSorted) {
    const Json value = Json::parse(R"({"b": 1, "a": {"z": true, "y": null}, "c": [1.5, "x"]})");
    Error error;
    EXPECT_EQ(JSONCodec::encode(value, 0, &error),
              R"({"b":1,"a":{"z":true,"y":null},"c":[1.5,"x"]})");
    EXPECT_EQ(JSONCodec::encode(value, JSONCodec::EncodeOptionSorted, &error),
              R"({"a":{"y":null,"z":true},"b":1,"c":[1.5,"x"]})");
}

TEST(JsonCodecTest, PrettyOutput) {
    const JSONCodec codec(JSONCodec::EncodeOptionPretty | JSONCodec::EncodeOptionSorted, 0);
    Error error;
    EXPECT_EQ(codec.encode(Json{{"list", {1, 2}}, {"empty", Json::object()}}, &error),
              "{\n    \"empty\": {},\n    \"list\": [\n        1,\n        2\n    ]\n}");
}

TEST(JsonCodecTest, ValuesAndTheirLimits) {
    Error error;
    EXPECT_EQ(JSONCodec::encode(Json(18446744073709551615u), 0, &error), "18446744073709551615");
    EXPECT_EQ(JSONCodec::encode(Json(-3), 0, &error), "-3");
    EXPECT_EQ(JSONCodec::encode(Json(NAN), 0, &error), "null");
    EXPECT_EQ(JSONCodec::encode(Json::binary({0xDE, 0xAD}), 0, &error), "\"DEAD\"");

    EXPECT_FALSE(JSONCodec::encode(Json{{"k", "bell\a"}}, 0, &error).has_value());
    EXPECT_EQ(error.domain, "SkaldCrashJSONCodecObjC");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.localizedDescription, "Invalid character in bell\a");

    EXPECT_FALSE(JSONCodec::encode(Json(Json::value_t::discarded), 0, &error).has_value());
    EXPECT_EQ(error.localizedDescription, "Could not determine type of <discarded>");

    Json deep = 1;
    for (int i = 0; i < 201; ++i) deep = Json::array({deep});
    EXPECT_FALSE(JSONCodec::encode(deep, 0, &error).has_value());
    EXPECT_EQ(error.localizedDescription, "Invalid data");
}

TEST(JsonCodecTest, DecodeRoundTripsAndDropsNulls) {
    const std::string text =
        R"({"a":[1,null,{"n":null,"s":"t"}],"b":null,"u":18446744073709551615})";
    Error error;
    const auto all = JSONCodec::decode(text, 0, &error);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(*all, Json::parse(text));
    EXPECT_EQ(JSONCodec::encode(*all, 0, &error), text);

    EXPECT_EQ(JSONCodec::decode(text, JSONCodec::DecodeOptionIgnoreNullInArray, &error),
              Json::parse(R"({"a":[1,{"n":null,"s":"t"}],"b":null,"u":18446744073709551615})"));
    EXPECT_EQ(JSONCodec::decode(text, JSONCodec::DecodeOptionIgnoreNullInObject, &error),
              Json::parse(R"({"a":[1,null,{"s":"t"}],"u":18446744073709551615})"));
}

TEST(JsonCodecTest, FailureWithAndWithoutPartialResult) {
    const std::string text = R"({"a": [1, 2], "b": {"c": "d", "e": tru)";
    Error error;
    EXPECT_FALSE(JSONCodec::decode(text, 0, &error).has_value());
    EXPECT_EQ(error.domain, "SkaldCrashJSONCodecObjC");
    EXPECT_EQ(error.code, 4);
    EXPECT_EQ(error.localizedDescription,
              "Incomplete data (offset " + std::to_string(text.size()) + ")");

    const auto partial = JSONCodec::decode(text, 7, &error);
    ASSERT_TRUE(partial.has_value());
    EXPECT_EQ(*partial, Json::parse(R"({"a": [1, 2], "b": {"c": "d"}})"));

    EXPECT_EQ(JSONCodec::decode("[1] x", 7, &error), Json::array({1}));
    EXPECT_EQ(error.localizedDescription, "Invalid character (offset 4)");
}

}  // namespace
}  // namespace skald::crash
