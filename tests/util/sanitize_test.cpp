#include "util/sanitize.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(SanitizeDictionary, AbsentOrNonObjectInputGivesNothing) {
    EXPECT_FALSE(sanitizeDictionary(std::optional<Json>()).has_value());
    EXPECT_FALSE(sanitizeDictionary(Json::array({1, 2})).has_value());
    EXPECT_FALSE(sanitizeDictionary(Json("text")).has_value());
    EXPECT_FALSE(sanitizeDictionary(Json()).has_value());
    EXPECT_EQ(*sanitizeDictionary(Json::object()), Json::object());
}

TEST(SanitizeDictionary, DropsReservedKeysAtEveryLevelButKeepsSingleUnderscore) {
    const Json input = {
        {"__skald_sdk_integrations", {"a"}},
        {"_private", 1},
        {"__other", 2},
        {"nested", {{"__skald", true}, {"keep", "yes"}, {"deeper", {{"__skald_x", 1}, {"ok", 2}}}}},
        {"list", Json::array({Json{{"__skald_y", 1}, {"z", 3}}})},
    };
    const Json expected = {
        {"_private", 1},
        {"__other", 2},
        {"nested", {{"keep", "yes"}, {"deeper", {{"ok", 2}}}}},
        {"list", Json::array({Json{{"z", 3}}})},
    };
    EXPECT_EQ(*sanitizeDictionary(input), expected);
}

TEST(SanitizeDictionary, KeepsScalarsAndDescribesNullAndBinary) {
    const Json input = {{"s", "text"},
                        {"i", -3},
                        {"u", 18446744073709551615ull},
                        {"d", 1.5},
                        {"b", false},
                        {"n", nullptr},
                        {"nested_null", Json::array({nullptr, 1})},
                        {"bin", Json::binary({0x01, 0xab})}};
    const Json output = *sanitizeDictionary(input);
    EXPECT_EQ(output["s"], "text");
    EXPECT_EQ(output["i"], -3);
    EXPECT_EQ(output["u"], 18446744073709551615ull);
    EXPECT_EQ(output["d"], 1.5);
    EXPECT_EQ(output["b"], false);
    EXPECT_EQ(output["n"], "<null>");
    EXPECT_EQ(output["nested_null"], Json::array({"<null>", 1}));
    EXPECT_EQ(output["bin"], "{length = 2, bytes = 0x01ab}");
    // The result can always be written as JSON text.
    EXPECT_NO_THROW(output.dump());
}

TEST(SanitizeDictionary, KeepsInsertionOrderAndLeavesInputUntouched) {
    Json input = Json::object();
    input["b"] = 1;
    input["__skald"] = 2;
    input["a"] = nullptr;
    const Json before = input;
    const Json output = *sanitizeDictionary(input);
    EXPECT_EQ(output.dump(), R"({"b":1,"a":"<null>"})");
    EXPECT_EQ(input, before);
}

TEST(SanitizeDictionary, InPlaceFormGivesTheSameResult) {
    const Json input = {{"__skald_a", 1},
                        {"x", {{"__skald_b", 2}, {"n", nullptr}}},
                        {"l", Json::array({Json::binary({0xff}), Json{{"__skald", 0}}})}};
    std::optional<Json> owned = input;
    EXPECT_EQ(sanitizeDictionary(std::move(owned)), sanitizeDictionary(input));
    EXPECT_FALSE(sanitizeDictionary(std::optional<Json>(Json(3))).has_value());
}

TEST(SanitizeArray, SanitizesElementsAndIgnoresPrefixesAtItsOwnLevel) {
    const Json input =
        Json::array({"__skald_text", 1, nullptr, Json::array({nullptr}), Json{{"__skald", 1}}});
    EXPECT_EQ(sanitizeArray(input),
              Json::array({"__skald_text", 1, "<null>", Json::array({"<null>"}), Json::object()}));
    EXPECT_EQ(sanitizeArray(Json{{"a", 1}}), Json::array());
}

TEST(SanitizeDictionary, LongBinaryIsShortenedInItsDescription) {
    const Json input = {{"bin", Json::binary(std::vector<uint8_t>(100, 0x11))}};
    const std::string text = (*sanitizeDictionary(input))["bin"];
    EXPECT_EQ(text.rfind("{length = 100, bytes = 0x1111", 0), 0u);
    EXPECT_NE(text.find(" ... }"), std::string::npos);
}

}  // namespace
}  // namespace skald
