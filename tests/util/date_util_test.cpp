#include "util/date_util.h"

#include <gtest/gtest.h>

#include "support/test_current_date_provider.h"

namespace skald {
namespace {

using std::chrono::milliseconds;

TEST(DateUtil, IsInFutureComparesWithTheProvider) {
    auto provider = std::make_shared<test::TestCurrentDateProvider>();
    DateUtil util(provider);
    const Date now = provider->date();
    EXPECT_TRUE(util.isInFuture(now + milliseconds(1)));
    EXPECT_FALSE(util.isInFuture(now));
    EXPECT_FALSE(util.isInFuture(now - milliseconds(1)));
    EXPECT_FALSE(util.isInFuture(std::nullopt));
    provider->advance(1.0);
    EXPECT_FALSE(util.isInFuture(now + milliseconds(1)));
}

TEST(DateUtil, GetMaximumDate) {
    const Date early = Date() + milliseconds(1000);
    const Date late = Date() + milliseconds(2000);
    EXPECT_EQ(DateUtil::getMaximumDate(early, late), late);
    EXPECT_EQ(DateUtil::getMaximumDate(late, early), late);
    EXPECT_EQ(DateUtil::getMaximumDate(std::nullopt, early), early);
    EXPECT_EQ(DateUtil::getMaximumDate(early, std::nullopt), early);
    EXPECT_FALSE(DateUtil::getMaximumDate(std::nullopt, std::nullopt).has_value());
    EXPECT_EQ(DateUtil::getMaximumDate(early, early), early);
}

TEST(DateUtil, MillisecondsSince1970) {
    EXPECT_EQ(DateUtil::millisecondsSince1970(dateWithTimeIntervalSince1970(1714558830.123)),
              1714558830123);
    EXPECT_EQ(DateUtil::millisecondsSince1970(Date() + std::chrono::microseconds(1999)), 1);
    EXPECT_EQ(DateUtil::millisecondsSince1970(Date() - std::chrono::microseconds(1999)), -1);
}

}  // namespace
}  // namespace skald
