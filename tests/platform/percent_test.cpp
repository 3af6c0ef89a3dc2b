#include "platform/base/percent.h"

#include <gtest/gtest.h>

#include <string>

namespace skald::platform {
namespace {

void expectDecoded(std::initializer_list<std::pair<std::string, std::string>> cases) {
    for (const auto& [text, decoded] : cases) EXPECT_EQ(percentDecode(text), decoded) << text;
}

TEST(PercentTest, DecodesEscapesOfEitherCase) {
    expectDecoded({{"a%20b", "a b"},
                   {"%4a%4A", "JJ"},
                   {"%E2%82%AC", "\xE2\x82\xAC"},
                   {"%00", std::string(1, '\0')},
                   {"", ""}});
}

TEST(PercentTest, KeepsWhatStartsNoEscape) {
    expectDecoded({{"%", "%"},
                   {"%4", "%4"},
                   {"a%4", "a%4"},
                   {"%zz", "%zz"},
                   {"%4g", "%4g"},
                   {"%%41", "%A"},
                   // '+' is a plus here, not a blank as in form data.
                   {"a+b", "a+b"},
                   // A decoded '%' starts nothing new.
                   {"%2541", "%41"}});
}

TEST(PercentTest, FindsEscapesOnlyWhereAllThreeCharactersAre) {
    EXPECT_TRUE(isPercentEscapeAt("%41", 0));
    EXPECT_TRUE(isPercentEscapeAt("x%fF", 1));
    EXPECT_FALSE(isPercentEscapeAt("%4", 0));
    EXPECT_FALSE(isPercentEscapeAt("%41", 1));
    EXPECT_FALSE(isPercentEscapeAt("%41", 3));
    EXPECT_FALSE(isPercentEscapeAt("%-1", 0));
    EXPECT_FALSE(isPercentEscapeAt("", 0));
}

TEST(PercentTest, EncodesAllButLettersDigitsAndTheKeptBytes) {
    EXPECT_EQ(percentEncode("a b/c", "/"), "a%20b/c");
    EXPECT_EQ(percentEncode("a b/c", ""), "a%20b%2Fc");
    EXPECT_EQ(percentEncode("100%", ""), "100%25");
    EXPECT_EQ(percentEncode("+", ""), "%2B");
    EXPECT_EQ(percentEncode("\xE2\x82\xAC", ""), "%E2%82%AC");
    // A NUL is kept only when asked for by name.
    EXPECT_EQ(percentEncode(std::string(1, '\0'), "-"), "%00");
    EXPECT_EQ(percentEncode(std::string(1, '\0'), std::string_view("-\0", 2)),
              std::string(1, '\0'));
}

TEST(PercentTest, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string encoded = percentEncode(all, "-._~");
    for (const char c : encoded) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                    std::string("-._~%").find(c) != std::string::npos)
            << "unescaped " << static_cast<int>(static_cast<unsigned char>(c));
    }
    EXPECT_EQ(percentDecode(encoded), all);
}

}  // namespace
}  // namespace skald::platform
