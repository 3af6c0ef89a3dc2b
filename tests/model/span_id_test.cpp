#include "skald/span_id.h"

#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>
#include <vector>

namespace skald {
namespace {

TEST(SpanId, NewIdsAreSixteenLowercaseHexDigits) {
    std::unordered_set<SpanId> seen;
    for (int i = 0; i < 100; ++i) {
        const SpanId id;
        ASSERT_EQ(id.value().size(), 16u);
        EXPECT_EQ(id.value().find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(SpanId, NewIdsCarryTheUuidVersionDigitAndDifferAcrossThreads) {
    std::vector<SpanId> ids(8);
    std::vector<std::thread> threads;
    for (auto& id : ids) threads.emplace_back([&id] { id = SpanId(); });
    for (auto& thread : threads) thread.join();
    std::unordered_set<SpanId> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size());
    for (const auto& id : ids) EXPECT_EQ(id.value()[12], '4') << id.value();
}

TEST(SpanId, ValueOfSixteenCharactersIsLowercased) {
    const SpanId id("ABCDEF0123456789");
    EXPECT_EQ(id.value(), "abcdef0123456789");
    EXPECT_EQ(id.skaldSpanIdString(), "abcdef0123456789");
    EXPECT_EQ(id.description(), "abcdef0123456789");
    EXPECT_EQ(id, SpanId("abcdef0123456789"));
    EXPECT_EQ(std::hash<SpanId>()(id), std::hash<SpanId>()(SpanId("abcdef0123456789")));
    // Not checked to be hex.
    EXPECT_EQ(SpanId("NOT-HEX-BUT-16ch").value(), "not-hex-but-16ch");
}

TEST(SpanId, OtherLengthsGiveTheEmptySpanId) {
    EXPECT_EQ(SpanId("abcdef012345678").value(), "0000000000000000");
    EXPECT_EQ(SpanId("abcdef01234567890").value(), "0000000000000000");
    EXPECT_EQ(SpanId("").value(), "0000000000000000");
    EXPECT_EQ(SpanId(""), SpanId::empty());
}

}  // namespace
}  // namespace skald
