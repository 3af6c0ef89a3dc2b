#include "platform/base/utf8.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace skald::platform {
namespace {

std::string bytes(std::initializer_list<unsigned> values) {
    std::string text;
    for (unsigned value : values) text += static_cast<char>(value);
    return text;
}

// JSON text must be UTF-8, and the JSON writer's strict mode is the reference
// for what the SDK may write.
bool jsonWriterAccepts(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

TEST(Utf8Test, AcceptsWellFormedText) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain ASCII"));
    EXPECT_TRUE(isValidUtf8(std::string("nul\0inside", 10)));
    EXPECT_TRUE(isValidUtf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));  // é € 😀
    EXPECT_TRUE(isValidUtf8(bytes({0xED, 0x9F, 0xBF})));               // U+D7FF
    EXPECT_TRUE(isValidUtf8(bytes({0xEE, 0x80, 0x80})));               // U+E000
    EXPECT_TRUE(isValidUtf8(bytes({0xF4, 0x8F, 0xBF, 0xBF})));         // U+10FFFF
}

TEST(Utf8Test, RefusesOverlongForms) {
    EXPECT_FALSE(isValidUtf8(bytes({0xC0, 0xAF})));
    EXPECT_FALSE(isValidUtf8(bytes({0xC1, 0xBF})));
    EXPECT_FALSE(isValidUtf8(bytes({0xE0, 0x80, 0xAF})));
    EXPECT_FALSE(isValidUtf8(bytes({0xE0, 0x9F, 0xBF})));
    EXPECT_FALSE(isValidUtf8(bytes({0xF0, 0x80, 0x80, 0xAF})));
    EXPECT_FALSE(isValidUtf8(bytes({0xF0, 0x8F, 0xBF, 0xBF})));
}

TEST(Utf8Test, RefusesSurrogatesAndCodePointsPastTheLast) {
    EXPECT_FALSE(isValidUtf8(bytes({0xED, 0xA0, 0x80})));  // U+D800
    EXPECT_FALSE(isValidUtf8(bytes({0xED, 0xBF, 0xBF})));  // U+DFFF
    // A pair of encoded surrogates is no better than one.
    EXPECT_FALSE(isValidUtf8(bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})));
    EXPECT_FALSE(isValidUtf8(bytes({0xF4, 0x90, 0x80, 0x80})));  // U+110000
    EXPECT_FALSE(isValidUtf8(bytes({0xF5, 0x80, 0x80, 0x80})));
    EXPECT_FALSE(isValidUtf8(bytes({0xFF})));
}

TEST(Utf8Test, RefusesTruncatedAndBrokenSequences) {
    EXPECT_FALSE(isValidUtf8(bytes({0xC3})));
    EXPECT_FALSE(isValidUtf8(bytes({0xE2, 0x82})));
    EXPECT_FALSE(isValidUtf8(bytes({0xF0, 0x9F, 0x98})));
    EXPECT_FALSE(isValidUtf8("complete \xE2\x82\xAC then cut \xE2\x82"));
    EXPECT_FALSE(isValidUtf8(bytes({0x80})));              // a continuation alone
    EXPECT_FALSE(isValidUtf8(bytes({0xC3, 0x41})));        // cut by ASCII
    EXPECT_FALSE(isValidUtf8(bytes({0xE2, 0x82, 0xC3})));  // cut by another lead
    EXPECT_FALSE(isValidUtf8(bytes({0xF0, 0x9F, 0x98, 0x41})));
}

TEST(Utf8Test, AgreesWithTheJsonWriterOnEveryShortSequence) {
    for (unsigned first = 0; first < 256; ++first) {
        const std::string one = bytes({first});
        ASSERT_EQ(isValidUtf8(one), jsonWriterAccepts(one)) << std::hex << first;
        for (unsigned second = 0; second < 256; ++second) {
            const std::string two = bytes({first, second});
            ASSERT_EQ(isValidUtf8(two), jsonWriterAccepts(two))
                << std::hex << first << " " << second;
        }
    }
    // Longer sequences over the bytes where the rules change.
    const std::vector<unsigned> edges{0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                                      0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED,
                                      0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    for (unsigned a : edges) {
        for (unsigned b : edges) {
            for (unsigned c : edges) {
                const std::string three = bytes({a, b, c});
                ASSERT_EQ(isValidUtf8(three), jsonWriterAccepts(three));
                for (unsigned d : edges) {
                    const std::string four = bytes({a, b, c, d});
                    ASSERT_EQ(isValidUtf8(four), jsonWriterAccepts(four))
                        << std::hex << a << " " << b << " " << c << " " << d;
                }
            }
        }
    }
}

TEST(Utf8Test, CountsAndCutsByCodePoint) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
    EXPECT_EQ(utf8CodePointCount(text), 5u);
    EXPECT_EQ(utf8CodePointCount(""), 0u);
    EXPECT_EQ(utf8PrefixLength(text, 0), 0u);
    EXPECT_EQ(utf8PrefixLength(text, 1), 1u);
    EXPECT_EQ(utf8PrefixLength(text, 2), 3u);
    EXPECT_EQ(utf8PrefixLength(text, 3), 6u);
    EXPECT_EQ(utf8PrefixLength(text, 4), 10u);
    EXPECT_EQ(utf8PrefixLength(text, 5), text.size());
    EXPECT_EQ(utf8PrefixLength(text, 99), text.size());
    // Stray continuation bytes belong to the code point before them.
    const std::string stray =
        "a\x80\x80"
        "b";
    EXPECT_EQ(utf8CodePointCount(stray), 2u);
    EXPECT_EQ(utf8PrefixLength(stray, 1), 3u);
}

TEST(Utf8Test, DecodesSequencesByTheirShape) {
    const auto* euro = reinterpret_cast<const unsigned char*>("\xE2\x82\xAC");
    EXPECT_EQ(utf8SequenceLength(euro[0]), 3u);
    EXPECT_EQ(decodeUtf8Sequence(euro, 3), U'\u20AC');
    const auto* grin = reinterpret_cast<const unsigned char*>("\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8SequenceLength(grin[0]), 4u);
    EXPECT_EQ(decodeUtf8Sequence(grin, 4), U'\U0001F600');
    EXPECT_EQ(utf8SequenceLength(0x41), 1u);
    EXPECT_EQ(utf8SequenceLength(0x80), 1u);
    EXPECT_EQ(utf8SequenceLength(0xFF), 1u);
    const auto* broken = reinterpret_cast<const unsigned char*>("\xE2\x41\xAC");
    EXPECT_EQ(decodeUtf8Sequence(broken, 3), U'\uFFFD');
    const unsigned char lone = 0x80;
    EXPECT_EQ(decodeUtf8Sequence(&lone, 1), U'\uFFFD');
}

}  // namespace
}  // namespace skald::platform
