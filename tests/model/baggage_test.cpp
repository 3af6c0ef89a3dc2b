#include "skald/baggage.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

namespace skald {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;
using Map = std::map<std::string, std::string>;

const std::string kTraceId = "0123456789abcdef0123456789abcdef";

Baggage minimalBaggage() {
    return Baggage(*Id::parse(kTraceId), "public", {}, {}, {}, {}, {}, {}, {});
}

Baggage fullBaggage() {
    return Baggage(*Id::parse(kTraceId), "public", "app@1.0+7", "prod", "GET /users/{id}", "vip",
                   "0.25", "true", "fedcba9876543210fedcba9876543210");
}

// ---- Encoding -----------------------------------------------------------------------------

TEST(BaggageSerialization, EncodesSortedAndEscaped) {
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"b", "x y"}, {"a", "1"}}), "a=1,b=x%20y");
    EXPECT_EQ(BaggageSerialization::encodeDictionary({}), "");
    // Letters, digits and "-_." stay; every other byte is escaped in upper case,
    // non-ASCII text byte by byte.
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k-_.", "a,b=c%d;e+f"}}),
              "k-_.=a%2Cb%3Dc%25d%3Be%2Bf");
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k", "\xC3\xA9\xE2\x82\xAC"}}),
              "k=%C3%A9%E2%82%AC");
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k y", "v"}}), "k%20y=v");
}

TEST(BaggageSerialization, LeavesOutEntriesWithAnEmptyKeyOrValue) {
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"", "1"}, {"a", ""}, {"b", "2"}}), "b=2");
}

TEST(BaggageSerialization, KeepsEntriesUpToTheSizeLimit) {
    // "k=" and 8190 characters: exactly the limit.
    const std::string fits(8190, 'v');
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k", fits}}), "k=" + fits);
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k", fits + "v"}}), "");
    // An escape counts with its three characters.
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k", std::string(2730, ' ')}}).size(),
              2u + 3 * 2730);
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"k", std::string(2731, ' ')}}), "");
}

TEST(BaggageSerialization, EachKeptEntryUsesItsLengthAndASeparator) {
    // 4000 + 1 used by the first; the second needs 4188 + 4001 = 8189: kept.
    const std::string first(3998, 'a');
    const std::string second(4186, 'b');
    EXPECT_EQ(BaggageSerialization::encodeDictionary({{"x", first}, {"y", second}}).size(),
              4000u + 1 + 4188);
    // Now 4001 + 4001 = 8002 used: a third of 191 characters would end at 8193.
    const std::string third(189, 'c');
    const auto header = BaggageSerialization::encodeDictionary(
        {{"x", first}, {"y", std::string(3998, 'b')}, {"z", third}});
    EXPECT_EQ(header.find("z="), std::string::npos);
    EXPECT_EQ(BaggageSerialization::encodeDictionary(
                  {{"x", first}, {"y", std::string(3998, 'b')}, {"z", third.substr(1)}})
                  .find("z="),
              8002u);
}

TEST(BaggageSerialization, AnEntryTooLongIsSkippedAndLaterOnesMayFit) {
    const Entries entries = {
        {"big", std::string(8000, 'a')},
        {"huge", std::string(9000, 'b')},  // does not fit, even alone
        {"small", "c"},
        {"more", std::string(200, 'd')},  // 8013 used + 205 > 8192
        {"tiny", "e"},
    };
    const auto header = BaggageSerialization::encodeDictionary(entries);
    EXPECT_EQ(header, "big=" + std::string(8000, 'a') + ",small=c,tiny=e");
    // The order given decides which entry wins the room, not the sorted order.
    const auto reversed = BaggageSerialization::encodeDictionary(
        {{"z", std::string(8190, 'z')}, {"a", std::string(8190, 'a')}});
    EXPECT_EQ(reversed, "z=" + std::string(8190, 'z'));
}

// ---- Decoding -----------------------------------------------------------------------------

TEST(BaggageSerialization, DecodesEntriesAndValuesEscapes) {
    EXPECT_EQ(BaggageSerialization::decode("a=1,b=x%20y,c=%C3%a9"),
              (Map{{"a", "1"}, {"b", "x y"}, {"c", "\xC3\xA9"}}));
    EXPECT_EQ(BaggageSerialization::decode(""), Map{});
    // A plus is not a space, and nothing is trimmed.
    EXPECT_EQ(BaggageSerialization::decode(" a = 1+2 "), (Map{{" a ", " 1+2 "}}));
}

TEST(BaggageSerialization, SkipsMalformedParts) {
    EXPECT_EQ(BaggageSerialization::decode("a=1,b,c=2=3,d=%zz"), (Map{{"a", "1"}}));
    for (const char* text : {",", ",,,", "noequals", "x=%", "x=%4", "x=1%", "x=%g0", "=a=b"}) {
        EXPECT_EQ(BaggageSerialization::decode(text), Map{}) << text;
    }
    // Parts are cut at commas before anything else.
    EXPECT_EQ(BaggageSerialization::decode(",a=1,,b=%2C,"), (Map{{"a", "1"}, {"b", ","}}));
}

TEST(BaggageSerialization, LogsAPartWithABrokenEscape) {
    test::LogCapture log;
    EXPECT_EQ(BaggageSerialization::decode("good=1,bad=%zz"), (Map{{"good", "1"}}));
    EXPECT_TRUE(log.contains("Baggage entry bad has a broken escape"));
}

TEST(BaggageSerialization, KeepsKeysAsWrittenAndTheLastOfAKey) {
    EXPECT_EQ(BaggageSerialization::decode("a%41=1"), (Map{{"a%41", "1"}}));
    EXPECT_EQ(BaggageSerialization::decode("a=1,b=2,a=3"), (Map{{"a", "3"}, {"b", "2"}}));
    // A bad later part does not take the earlier value away.
    EXPECT_EQ(BaggageSerialization::decode("a=1,a=%"), (Map{{"a", "1"}}));
}

TEST(BaggageSerialization, HugeHeadersAreCutToTheirWholeParts) {
    test::LogCapture log;
    // Parts of 10 characters ("k00000=vvv"), comma-separated: 11 bytes each.
    std::string header;
    for (int i = 0; header.size() < 200 * 1024; ++i) {
        char key[16];
        snprintf(key, sizeof key, "k%05d", i);
        if (!header.empty()) header += ',';
        header += std::string(key) + "=vvv";
    }
    const auto entries = BaggageSerialization::decode(header);
    EXPECT_TRUE(log.contains("is cut to 65536"));
    // Every entry read is whole, and none from past the cut.
    ASSERT_FALSE(entries.empty());
    for (const auto& [key, value] : entries) EXPECT_EQ(value, "vvv") << key;
    EXPECT_EQ(entries.size(), 65536u / 11);

    // A single part longer than the limit leaves nothing.
    EXPECT_EQ(BaggageSerialization::decode("k=" + std::string(100 * 1024, 'v')), Map{});
    // A cut that falls right before a comma keeps the part before it.
    const std::string exact = "k=" + std::string(64 * 1024 - 2, 'v');
    EXPECT_EQ(BaggageSerialization::decode(exact + ",b=2").at("k").size(), 64u * 1024 - 2);
    EXPECT_EQ(BaggageSerialization::decode(exact).at("k").size(), 64u * 1024 - 2);
}

TEST(BaggageSerialization, HostileBytesNeverThrow) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    const std::string header = "k=" + bytes + ",j=\xFF\xFE%00," + std::string("\0=\0", 3);
    EXPECT_NO_THROW(BaggageSerialization::decode(header));
    const auto entries = BaggageSerialization::decode("nul=%00,bad=\xC3");
    EXPECT_EQ(entries.at("nul"), std::string(1, '\0'));
    EXPECT_EQ(entries.at("bad"), "\xC3");
}

// ---- Round trips --------------------------------------------------------------------------

TEST(BaggageSerialization, EncodedValuesDecodeToThemselves) {
    std::string everyByte;
    for (int i = 0; i < 256; ++i) everyByte += static_cast<char>(i);
    const Map values = {
        {"spaces", "a b  c "},
        {"commas", ",a,,b,"},
        {"percent", "100% %41 %zz %"},
        {"equals", "=a==b="},
        {"utf8", "na\xC3\xAFve \xF0\x9F\x98\x80"},
        {"bytes", everyByte},
        {"plus", "a+b"},
        {"semicolon", "v;prop=1"},
    };
    const auto header = BaggageSerialization::encodeDictionary({values.begin(), values.end()});
    EXPECT_EQ(header.find(' '), std::string::npos);
    EXPECT_EQ(BaggageSerialization::decode(header), values);
}

TEST(Baggage, HeaderHoldsTheTraceValuesThatAreSet) {
    EXPECT_EQ(minimalBaggage().toHTTPHeader(),
              "skald-public_key=public,skald-trace_id=" + kTraceId);
    EXPECT_EQ(BaggageSerialization::decode(fullBaggage().toHTTPHeader()),
              (Map{{"skald-trace_id", kTraceId},
                   {"skald-public_key", "public"},
                   {"skald-release", "app@1.0+7"},
                   {"skald-environment", "prod"},
                   {"skald-transaction", "GET /users/{id}"},
                   {"skald-user_segment", "vip"},
                   {"skald-sample_rate", "0.25"},
                   {"skald-sampled", "true"},
                   {"skald-replay_id", "fedcba9876543210fedcba9876543210"}}));
    EXPECT_STREQ(Baggage::kHeaderName, "baggage");
}

TEST(Baggage, SettersChangeTheHeader) {
    Baggage baggage = minimalBaggage();
    baggage.setSampled("false");
    baggage.setReplayId("r1");
    auto entries = BaggageSerialization::decode(baggage.toHTTPHeader());
    EXPECT_EQ(entries.at("skald-sampled"), "false");
    EXPECT_EQ(entries.at("skald-replay_id"), "r1");
    baggage.setSampled(std::nullopt);
    baggage.setReplayId(std::nullopt);
    entries = BaggageSerialization::decode(baggage.toHTTPHeader());
    EXPECT_FALSE(entries.contains("skald-sampled"));
    EXPECT_FALSE(entries.contains("skald-replay_id"));
}

TEST(Baggage, ForeignEntriesSurviveAndOwnEntriesAreOverwritten) {
    const Map original = {
        {"other-vendor", "a b,c=d%e;f"},
        {"userId", "j\xC3\xB6rg"},
        {"skald-trace_id", "stale"},
        {"skald-public_key", "stale"},
    };
    const auto entries = BaggageSerialization::decode(fullBaggage().toHTTPHeader(original));
    EXPECT_EQ(entries.at("other-vendor"), "a b,c=d%e;f");
    EXPECT_EQ(entries.at("userId"), "j\xC3\xB6rg");
    EXPECT_EQ(entries.at("skald-trace_id"), kTraceId);
    EXPECT_EQ(entries.at("skald-public_key"), "public");
    EXPECT_EQ(entries.size(), 11u);
}

TEST(Baggage, MergeKeepsForeignEntriesAndReplacesAllOwnOnes) {
    const std::string incoming =
        "vendor=x%20y,skald-trace_id=ffffffffffffffffffffffffffffffff,skald-replay_id=old,"
        "skald-sampled=true,broken=%,utf=%E2%82%AC";
    const auto merged =
        BaggageSerialization::decode(Baggage::mergeIntoHeader(incoming, minimalBaggage()));
    EXPECT_EQ(merged, (Map{{"vendor", "x y"},
                           {"utf", "\xE2\x82\xAC"},
                           {"skald-trace_id", kTraceId},
                           {"skald-public_key", "public"}}));
    EXPECT_EQ(Baggage::mergeIntoHeader("", minimalBaggage()), minimalBaggage().toHTTPHeader());
}

TEST(Baggage, LargeForeignEntriesAreDroppedByTheSizeLimit) {
    // Walked in key order: "a..." comes before the own entries and takes the room.
    const Map original = {{"a", std::string(8150, 'x')}, {"zz", "kept"}};
    const auto entries = BaggageSerialization::decode(minimalBaggage().toHTTPHeader(original));
    EXPECT_TRUE(entries.contains("a"));
    EXPECT_TRUE(entries.contains("zz"));
    EXPECT_FALSE(entries.contains("skald-trace_id"));
    EXPECT_LE(minimalBaggage().toHTTPHeader(original).size(),
              BaggageSerialization::kMaxEncodedLength);
}

}  // namespace
}  // namespace skald
