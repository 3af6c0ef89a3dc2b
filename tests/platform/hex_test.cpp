#include "platform/base/hex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace skald::platform {
namespace {

TEST(HexTest, EncodesBytesInEitherCase) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(hexEncode(bytes, 4), "000fa5ff");
    EXPECT_EQ(hexEncode(bytes, 4, HexCase::Upper), "000FA5FF");
    EXPECT_EQ(hexEncode(bytes, 0), "");
}

TEST(HexTest, EveryByteSurvivesTheRoundTrip) {
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    for (const auto letterCase : {HexCase::Lower, HexCase::Upper}) {
        const auto decoded = hexDecode(hexEncode(all.data(), all.size(), letterCase));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(*decoded, all);
    }
}

TEST(HexTest, DecodesDigitsOfEitherCase) {
    EXPECT_EQ(hexDecode("DeadBEEF"), (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(hexDecode(""), std::vector<uint8_t>{});
}

TEST(HexTest, RefusesOddCountsAndAnythingButDigits) {
    for (const std::string_view hex : {"abc", "0", "0g", "g0", "0x10", "12 4", "-1"}) {
        EXPECT_FALSE(hexDecode(hex)) << hex;
    }
    EXPECT_FALSE(hexDecode(std::string_view("0\0", 2)));
    // The neighbours of the digit ranges.
    for (const char c : std::string_view("/:@G`g")) EXPECT_EQ(hexDigitValue(c), -1) << c;
}

TEST(HexTest, WritesNumbersPaddedToAtLeastTheDigitsAsked) {
    EXPECT_EQ(hexNumber(0), "0");
    EXPECT_EQ(hexNumber(0, 4), "0000");
    EXPECT_EQ(hexNumber(0xabc), "abc");
    EXPECT_EQ(hexNumber(0xabc, 2), "abc");
    EXPECT_EQ(hexNumber(0xabc, 1, HexCase::Upper), "ABC");
    EXPECT_EQ(hexNumber(0xdeadbeef, 16), "00000000deadbeef");
    EXPECT_EQ(hexNumber(UINT64_MAX), "ffffffffffffffff");
    // No more than a 64-bit number has.
    EXPECT_EQ(hexNumber(1, 40), "0000000000000001");
}

TEST(HexTest, WritesUuidTextInByteOrder) {
    const uint8_t bytes[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                               0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    EXPECT_EQ(uuidText(bytes, HexCase::Upper), "01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(uuidText(bytes, HexCase::Lower), "01234567-89ab-cdef-fedc-ba9876543210");
    EXPECT_EQ(uuidText(bytes, HexCase::Lower).size(), static_cast<size_t>(kUuidTextLength));
}

}  // namespace
}  // namespace skald::platform
