#include "util/json_bytes.h"

#include <gtest/gtest.h>

#include <limits>

namespace skald {
namespace {

TEST(JsonBytesTest, WritesCompactlyInInsertionOrder) {
    Json value = Json::object();
    value["b"] = 1;
    value["a"] = Json::array({true, nullptr, "x"});
    EXPECT_EQ(jsonBytes(value), R"({"b":1,"a":[true,null,"x"]})");
}

TEST(JsonBytesTest, ReplacesInvalidUtf8InsteadOfThrowing) {
    const Json value = {{"text", std::string("a\xff"
                                             "b")}};
    EXPECT_EQ(jsonBytes(value),
              "{\"text\":\"a\xef\xbf\xbd"
              "b\"}");
}

TEST(JsonBytesTest, RefusesValuesJsonCannotCarry) {
    EXPECT_FALSE(jsonBytes(Json{{"x", std::numeric_limits<double>::quiet_NaN()}}));
    EXPECT_FALSE(jsonBytes(Json{{"deep", {{"x", std::numeric_limits<double>::infinity()}}}}));
    EXPECT_FALSE(jsonBytes(Json::array({Json::binary({1, 2})})));
    EXPECT_FALSE(jsonBytes(Json(Json::value_t::discarded)));
    EXPECT_EQ(jsonBytes(Json(1.5)), "1.5");
}

TEST(JsonBytesTest, ParsesWithoutThrowingAndReportsWhy) {
    EXPECT_EQ(parseJsonBytes(" \n{\"a\":1}\n"), Json({{"a", 1}}));
    std::string error;
    EXPECT_FALSE(parseJsonBytes("{\"a\":", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(parseJsonBytes(""));
    EXPECT_FALSE(parseJsonBytes("\xff\xfe"));
    EXPECT_FALSE(parseJsonBytes("{} trailing"));
}

TEST(JsonBytesTest, UnsignedIntegers) {
    EXPECT_EQ(unsignedIntegerFromJson(Json(7)), 7u);
    EXPECT_EQ(unsignedIntegerFromJson(Json(18446744073709551615ull)), 18446744073709551615ull);
    EXPECT_EQ(unsignedIntegerFromJson(Json(3.0)), 3u);
    EXPECT_FALSE(unsignedIntegerFromJson(Json(-1)));
    EXPECT_FALSE(unsignedIntegerFromJson(Json(2.5)));
    EXPECT_FALSE(unsignedIntegerFromJson(Json(1e30)));
    EXPECT_FALSE(unsignedIntegerFromJson(Json("5")));
    EXPECT_FALSE(unsignedIntegerFromJson(Json(true)));
}

}  // namespace
}  // namespace skald
