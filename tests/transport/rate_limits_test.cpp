#include "transport/rate_limits.h"

#include <gtest/gtest.h>

#include "model/client_report.h"
#include "skald/platform/http_response.h"
#include "support/test_current_date_provider.h"

namespace skald {
namespace {

using std::chrono::seconds;

class RateLimitsTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::TestCurrentDateProvider> clock =
        std::make_shared<test::TestCurrentDateProvider>();
    RateLimitParser parser{clock};
    DefaultRateLimits limits{RetryAfterHeaderParser(HttpDateParser(), clock), parser, clock};

    Date in(int s) const { return clock->date() + seconds(s); }

    platform::HttpResponse response(int status, platform::HttpHeaders headers = {}) {
        platform::HttpResponse r;
        r.statusCode = status;
        r.headers = std::move(headers);
        return r;
    }
};

TEST_F(RateLimitsTest, HeaderWithSeveralQuotasAndCategories) {
    const auto result =
        parser.parse("60:transaction:key, 2700:default;error;security:organization");
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result.at(DataCategory::Transaction), in(60));
    EXPECT_EQ(result.at(DataCategory::Default), in(2700));
    EXPECT_EQ(result.at(DataCategory::Error), in(2700));
}

TEST_F(RateLimitsTest, EmptyCategoriesMeanAllAndBadSecondsMeanNothing) {
    const auto all = parser.parse("10::organization");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.at(DataCategory::All), in(10));
    EXPECT_TRUE(parser.parse("0:error").empty());
    EXPECT_TRUE(parser.parse("abc:error").empty());
    EXPECT_TRUE(parser.parse("-5:error").empty());
    EXPECT_TRUE(parser.parse("").empty());
    EXPECT_TRUE(parser.parse("60:user_report").empty());
    EXPECT_TRUE(parser.parse("60:not_a_category").empty());
}

TEST_F(RateLimitsTest, WhitespaceAnywhereIsIgnored) {
    const auto result = parser.parse(" 6 0 :\n err or ;\tsession ");
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result.at(DataCategory::Error), in(60));
    EXPECT_EQ(result.at(DataCategory::Session), in(60));
}

TEST_F(RateLimitsTest, MetricBucketNamespaces) {
    const auto custom = parser.parse("120:metric_bucket:organization:quota_exceeded:custom");
    EXPECT_EQ(custom.at(DataCategory::MetricBucket), in(120));
    EXPECT_TRUE(parser.parse("120:metric_bucket:organization:quota_exceeded:spans").empty());
    EXPECT_EQ(parser.parse("120:metric_bucket:organization:quota_exceeded:spans;custom")
                  .at(DataCategory::MetricBucket),
              in(120));
    EXPECT_EQ(parser.parse("120:metric_bucket:organization:quota_exceeded:")
                  .at(DataCategory::MetricBucket),
              in(120));
    EXPECT_EQ(parser.parse("120:metric_bucket:organization:quota_exceeded")
                  .at(DataCategory::MetricBucket),
              in(120));
}

TEST_F(RateLimitsTest, LongerQuotaWinsWithinOneHeader) {
    EXPECT_EQ(parser.parse("10:error, 50:error").at(DataCategory::Error), in(50));
    EXPECT_EQ(parser.parse("50:error, 10:error").at(DataCategory::Error), in(50));
}

TEST_F(RateLimitsTest, JunkHeadersNeverCrashOrLimit) {
    for (const char* junk : {":::::", ",,,,", ";;;", "1e400:error", "nan:error", "inf:error",
                             "\xff\xfe:error", "99999999999999999999999:error"}) {
        const auto result = parser.parse(junk);
        for (const auto& [category, until] : result) {
            EXPECT_GT(until, clock->date()) << junk;
            EXPECT_LT(until, clock->date() + std::chrono::hours(24 * 365 * 101)) << junk;
        }
    }
}

TEST_F(RateLimitsTest, StoredLimitIsNeverShortened) {
    limits.update(response(200, {{"X-Skald-Rate-Limits", "10:error, 50:error"}}));
    limits.update(response(200, {{"x-skald-rate-limits", "5:error"}}));
    clock->advance(49);
    EXPECT_TRUE(limits.isRateLimitActive(DataCategory::Error));
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Session));
    clock->advance(2);
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Error));
}

TEST_F(RateLimitsTest, TooManyRequestsWithoutHeadersLimitsEverythingForAMinute) {
    limits.update(response(429));
    clock->advance(59);
    EXPECT_TRUE(limits.isRateLimitActive(DataCategory::Session));
    EXPECT_TRUE(limits.isRateLimitActive(DataCategory::Error));
    clock->advance(2);
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Error));
}

TEST_F(RateLimitsTest, TooManyRequestsHonoursRetryAfter) {
    limits.update(response(429, {{"Retry-After", "120"}}));
    clock->advance(119);
    EXPECT_TRUE(limits.isRateLimitActive(DataCategory::Transaction));
    clock->advance(2);
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Transaction));
}

TEST_F(RateLimitsTest, TooManyRequestsPrefersTheRateLimitHeader) {
    limits.update(response(429, {{"X-Skald-Rate-Limits", "30:error"}, {"Retry-After", "600"}}));
    EXPECT_TRUE(limits.isRateLimitActive(DataCategory::Error));
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Session));
}

TEST_F(RateLimitsTest, OtherResponsesChangeNothing) {
    limits.update(response(500, {{"Retry-After", "600"}}));
    limits.update(response(200));
    EXPECT_FALSE(limits.isRateLimitActive(DataCategory::Error));
}

TEST_F(RateLimitsTest, RetryAfterAsSecondsOrHttpDate) {
    RetryAfterHeaderParser retry(HttpDateParser(), clock);
    EXPECT_EQ(retry.parse("30"), in(30));
    EXPECT_EQ(retry.parse(" 30 seconds"), in(30));
    EXPECT_FALSE(retry.parse(std::nullopt));
    EXPECT_FALSE(retry.parse(""));
    EXPECT_FALSE(retry.parse("soon"));
    const auto date = retry.parse("Wed, 21 Oct 2015 07:28:00 GMT");
    ASSERT_TRUE(date);
    EXPECT_DOUBLE_EQ(timeIntervalSince1970(*date), 1445412480.0);
}

TEST_F(RateLimitsTest, HttpDatesAreStrict) {
    HttpDateParser dates;
    EXPECT_TRUE(dates.dateFromString("Thu, 01 Jan 1970 00:00:00 GMT"));
    EXPECT_EQ(timeIntervalSince1970(*dates.dateFromString("Thu, 29 Feb 2024 23:59:59 GMT")),
              1709251199.0);
    EXPECT_FALSE(dates.dateFromString("Thu, 30 Feb 2024 00:00:00 GMT"));
    EXPECT_FALSE(dates.dateFromString("Thu, 01 Foo 2024 00:00:00 GMT"));
    EXPECT_FALSE(dates.dateFromString("Thu, 01 Jan 2024 25:00:00 GMT"));
    EXPECT_FALSE(dates.dateFromString("Thu, 01 Jan 2024 00:00:00"));
    EXPECT_FALSE(dates.dateFromString("2024-01-01T00:00:00Z"));
    EXPECT_FALSE(dates.dateFromString("Wed, 21 Oct 0215 07:28:00 GMT")) << "would overflow";
}

TEST(DataCategoryTest, NamesAndConversions) {
    EXPECT_EQ(dataCategoryForEnvelopeItemType("event"), DataCategory::Error);
    EXPECT_EQ(dataCategoryForEnvelopeItemType("statsd"), DataCategory::MetricBucket);
    EXPECT_EQ(dataCategoryForEnvelopeItemType("replay_video"), DataCategory::Replay);
    EXPECT_EQ(dataCategoryForEnvelopeItemType("user_report"), DataCategory::Default);
    EXPECT_EQ(dataCategoryForEnvelopeItemType("client_report"), DataCategory::Default);
    EXPECT_EQ(dataCategoryForEnvelopeItemType("Event"), DataCategory::Default);
    EXPECT_EQ(dataCategoryForString(""), DataCategory::All);
    EXPECT_EQ(dataCategoryForString("profile_chunk"), DataCategory::ProfileChunk);
    EXPECT_EQ(dataCategoryForString("Error"), DataCategory::Unknown);
    EXPECT_EQ(dataCategoryForNumber(13), DataCategory::Unknown);
    EXPECT_EQ(dataCategoryForNumber(11), DataCategory::Span);
    EXPECT_STREQ(nameForDataCategory(DataCategory::All), "");
    EXPECT_STREQ(nameForDataCategory(DataCategory::MetricBucket), "metric_bucket");
    EXPECT_STREQ(nameForDataCategory(static_cast<DataCategory>(40)), "");
    EXPECT_STREQ(nameForDiscardReason(DiscardReason::RateLimitBackoff), "ratelimit_backoff");
    EXPECT_STREQ(nameForDiscardReason(static_cast<DiscardReason>(9)), "before_send");
}

TEST(ClientReportTest, SerializesCountsInOrder) {
    ClientReport empty({});
    EXPECT_EQ(empty.serialize()["discarded_events"], Json::array());
    EXPECT_TRUE(empty.serialize()["timestamp"].is_number_float());

    ClientReport report({{DiscardReason::SampleRate, DataCategory::Transaction, 3},
                         {DiscardReason::NetworkError, DataCategory::Span, 12}});
    const auto json = report.serialize();
    ASSERT_EQ(json["discarded_events"].size(), 2u);
    EXPECT_EQ(json["discarded_events"][0].dump(),
              R"({"reason":"sample_rate","category":"transaction","quantity":3})");
    EXPECT_EQ(json["discarded_events"][1]["category"], "span");
}

}  // namespace
}  // namespace skald
