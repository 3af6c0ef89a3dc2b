#include "skald/url_target.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(UrlTargetTest, TextMatchesBySubstringCaseSensitively) {
    const UrlTarget target("api.example.com");
    EXPECT_EQ(target.kind(), UrlTarget::Kind::Text);
    EXPECT_TRUE(target.matches("https://api.example.com/v1/items"));
    EXPECT_FALSE(target.matches("https://API.example.com/v1"));
    EXPECT_FALSE(target.matches("https://example.com/"));
}

TEST(UrlTargetTest, RegularExpressionsFindMatchesAnywhere) {
    const auto sensitive = RegularExpression::make("example\\.com/v[0-9]+");
    ASSERT_TRUE(sensitive);
    EXPECT_FALSE(sensitive->caseInsensitive());
    const UrlTarget target(*sensitive);
    EXPECT_EQ(target.kind(), UrlTarget::Kind::RegularExpression);
    EXPECT_TRUE(target.matches("https://example.com/v2/items"));
    EXPECT_FALSE(target.matches("https://EXAMPLE.com/v2/items"));

    const UrlTarget insensitive(*RegularExpression::make("^https://example", true));
    EXPECT_TRUE(insensitive.matches("HTTPS://Example.com/"));
    EXPECT_FALSE(insensitive.matches("http://example.com/"));
}

TEST(UrlTargetTest, InvalidPatternsDoNotCompile) {
    EXPECT_FALSE(RegularExpression::make("(unclosed"));
    EXPECT_FALSE(RegularExpression::make("[z-a]", true));
}

TEST(UrlTargetTest, OtherEntriesKeepTheirDescriptionAndMatchNothing) {
    const auto target = UrlTarget::other("42");
    EXPECT_EQ(target.kind(), UrlTarget::Kind::Other);
    EXPECT_EQ(target.text(), "42");
    EXPECT_EQ(target.regularExpression(), nullptr);
    EXPECT_FALSE(target.matches("42"));
}

TEST(UrlTargetTest, MatchAllIsOneSharedCaseInsensitiveExpression) {
    const auto first = UrlTarget::matchAll();
    const auto second = UrlTarget::matchAll();
    ASSERT_NE(first.regularExpression(), nullptr);
    EXPECT_EQ(first.regularExpression()->pattern(), ".*");
    EXPECT_TRUE(first.regularExpression()->caseInsensitive());
    EXPECT_EQ(first.regularExpression()->compiled(), second.regularExpression()->compiled());
    EXPECT_TRUE(first.matches(""));
    EXPECT_TRUE(first.matches("https://anything.example/"));
}

}  // namespace
}  // namespace skald
