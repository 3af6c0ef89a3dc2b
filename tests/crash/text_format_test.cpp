#include "crash/async_safe/text_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace skald::crash::text {
namespace {

TEST(CrashTextFormat, NumbersAsPrintfWouldWriteThem) {
    char buffer[64];
    int used = 0;
    buffer[0] = '\0';
    ASSERT_TRUE(append(buffer, sizeof buffer, &used, "stack@0x"));
    ASSERT_TRUE(appendHex(buffer, sizeof buffer, &used, 0x7ffc1234abcdULL));
    EXPECT_STREQ(buffer, "stack@0x7ffc1234abcd");

    const auto hex = [](uint64_t value, int digits) {
        char out[32];
        int length = 0;
        EXPECT_TRUE(appendHex(out, sizeof out, &length, value, digits));
        return std::string(out, static_cast<size_t>(length));
    };
    EXPECT_EQ(hex(0, 1), "0");
    EXPECT_EQ(hex(0x80, 1), "80");
    EXPECT_EQ(hex(0x2a, 16), "000000000000002a");
    EXPECT_EQ(hex(UINT64_MAX, 1), "ffffffffffffffff");
    EXPECT_EQ(hex(0x1, 40), "0000000000000001") << "at most 16 digits";

    const auto decimal = [](int64_t value) {
        char out[32];
        int length = 0;
        EXPECT_TRUE(appendDecimal(out, sizeof out, &length, value));
        return std::string(out, static_cast<size_t>(length));
    };
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(21), "21");
    EXPECT_EQ(decimal(-7), "-7");
    EXPECT_EQ(decimal(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(decimal(INT64_MAX), "9223372036854775807");
}

TEST(CrashTextFormat, WhatDoesNotFitLeavesTheBufferAsItWas) {
    char buffer[8];
    int used = 0;
    ASSERT_TRUE(append(buffer, sizeof buffer, &used, "r"));
    ASSERT_TRUE(appendDecimal(buffer, sizeof buffer, &used, 123456));
    EXPECT_STREQ(buffer, "r123456");
    // The terminator needs the last byte.
    EXPECT_FALSE(append(buffer, sizeof buffer, &used, "x"));
    EXPECT_FALSE(appendHex(buffer, sizeof buffer, &used, 0xff));
    EXPECT_FALSE(appendDecimal(buffer, sizeof buffer, &used, 9));
    EXPECT_EQ(used, 7);
    EXPECT_STREQ(buffer, "r123456");
    EXPECT_TRUE(append(buffer, sizeof buffer, &used, "ignored", 0));
    EXPECT_FALSE(append(buffer, 0, &used, ""));
}

}  // namespace
}  // namespace skald::crash::text
