#include "skald/trace_header.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace skald {
namespace {

const std::string kTraceId = "0123456789abcdef0123456789abcdef";
const std::string kSpanId = "fedcba9876543210";

TraceHeader header(SampleDecision sampled) {
    return TraceHeader(*Id::parse(kTraceId), SpanId(kSpanId), sampled);
}

TEST(TraceHeader, ValueCarriesTheDecisionOnlyWhenTaken) {
    EXPECT_EQ(header(SampleDecision::Undecided).value(), kTraceId + "-" + kSpanId);
    EXPECT_EQ(header(SampleDecision::Yes).value(), kTraceId + "-" + kSpanId + "-1");
    EXPECT_EQ(header(SampleDecision::No).value(), kTraceId + "-" + kSpanId + "-0");
    EXPECT_STREQ(TraceHeader::kHeaderName, "skald-trace");
}

TEST(TraceHeader, ParsingTheValueGivesTheSameHeaderBack) {
    for (const SampleDecision sampled :
         {SampleDecision::Undecided, SampleDecision::Yes, SampleDecision::No}) {
        const TraceHeader original(Id(), SpanId(), sampled);
        const auto parsed = TraceHeader::parse(original.value());
        ASSERT_TRUE(parsed) << original.value();
        EXPECT_EQ(parsed->traceId(), original.traceId());
        EXPECT_EQ(parsed->spanId(), original.spanId());
        EXPECT_EQ(parsed->sampled(), sampled);
        EXPECT_EQ(parsed->value(), original.value());
    }
}

TEST(TraceHeader, ParsesUpperCaseAndTrimsAsciiWhitespace) {
    const auto upper = TraceHeader::parse("0123456789ABCDEF0123456789ABCDEF-FEDCBA9876543210-1");
    ASSERT_TRUE(upper);
    EXPECT_EQ(*upper, header(SampleDecision::Yes));
    EXPECT_EQ(upper->value(), kTraceId + "-" + kSpanId + "-1");

    const auto padded = TraceHeader::parse(" \t\r\n" + kTraceId + "-" + kSpanId + "-0\v\f ");
    ASSERT_TRUE(padded);
    EXPECT_EQ(*padded, header(SampleDecision::No));
}

TEST(TraceHeader, MalformedHeadersGiveNothing) {
    const std::string ids = kTraceId + "-" + kSpanId;
    for (const std::string& text : {
             std::string(),
             std::string("   "),
             kTraceId,
             kTraceId.substr(1) + "-" + kSpanId,        // 31 digits
             kTraceId + "0-" + kSpanId,                 // 33 digits
             kTraceId + "-" + kSpanId.substr(1),        // 15 digits
             kTraceId + "-" + kSpanId + "0",            // 17 digits
             "g" + kTraceId.substr(1) + "-" + kSpanId,  // not hex
             kTraceId + "-" + kSpanId.substr(1) + "x",
             kTraceId + "_" + kSpanId,
             "0x" + kTraceId.substr(2) + "-" + kSpanId,
             "01234567-89ab-cdef-0123-456789abcdef-" + kSpanId,  // a dashed UUID
             ids + "-2",
             ids + "-",
             ids + "-10",
             ids + "-1-1",
             ids + "+1",
             ids + "--1",
             ids + "- 1",
             kTraceId + " -" + kSpanId,
             kTraceId + "-" + kSpanId + " -1",
             "+" + kTraceId.substr(1) + "-" + kSpanId,
         }) {
        EXPECT_FALSE(TraceHeader::parse(text)) << text;
    }
}

TEST(TraceHeader, HostileInputGivesNothingWithoutThrowing) {
    const std::string ids = kTraceId + "-" + kSpanId;
    std::string withNul = ids + "-1";
    withNul[5] = '\0';
    std::string trailingNul = ids + "-1";
    trailingNul += '\0';
    std::string badUtf8 = ids + "-1";
    badUtf8[40] = static_cast<char>(0xC3);
    const std::string nonBreakingSpace = "\xC2\xA0" + ids;
    const std::string huge(1 << 20, 'a');
    const std::string hugeWhitespace = std::string(1 << 20, ' ') + ids + "x";
    for (const std::string& text :
         {withNul, trailingNul, badUtf8, nonBreakingSpace, huge, hugeWhitespace}) {
        std::optional<TraceHeader> parsed;
        EXPECT_NO_THROW(parsed = TraceHeader::parse(text));
        EXPECT_FALSE(parsed) << text.substr(0, 80);
    }
}

TEST(TraceHeader, RejectionIsLoggedWithTheTextCut) {
    test::LogCapture log;
    const std::string huge = "start" + std::string(1 << 20, 'z');
    EXPECT_FALSE(TraceHeader::parse(huge));
    ASSERT_TRUE(log.contains("Invalid skald-trace header: startzzz"));
    for (const std::string& line : log.lines()) {
        EXPECT_LT(line.size(), 200u);
    }

    log.clear();
    EXPECT_TRUE(TraceHeader::parse(kTraceId + "-" + kSpanId));
    EXPECT_FALSE(log.contains("Invalid skald-trace header"));
}

}  // namespace
}  // namespace skald
