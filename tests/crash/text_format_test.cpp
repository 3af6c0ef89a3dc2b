#include "crash/async_safe/text_format.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

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

TEST(CrashTextFormat, CopiesAreCutToTheBufferAndAlwaysTerminated) {
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(copyString(buffer, sizeof buffer, "abc"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(copyString(buffer, sizeof buffer, "abcdefgh"), 5);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(copyString(buffer, sizeof buffer, nullptr), 0);
    EXPECT_STREQ(buffer, "");
    // Concatenation, as crash-time log lines are built.
    int used = copyString(buffer, sizeof buffer, "ab");
    used += copyString(buffer + used, static_cast<int>(sizeof buffer) - used, "cdef");
    EXPECT_EQ(used, 5);
    EXPECT_STREQ(buffer, "abcde");
    buffer[0] = 'q';
    EXPECT_EQ(copyString(buffer, 0, "abc"), 0);
    EXPECT_EQ(buffer[0], 'q') << "nothing is written without room";
}

TEST(CrashTextFormat, BytesAsHexAndAsUuid) {
    const uint8_t bytes[16] = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xcd, 0xef, 0xff,
                               0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    char hex[8];
    writeHexBytes(bytes + 2, 4, hex, HexCase::Lower);
    EXPECT_EQ(std::string(hex, 8), "7f80abcd");
    writeHexBytes(bytes + 2, 4, hex, HexCase::Upper);
    EXPECT_EQ(std::string(hex, 8), "7F80ABCD");

    char uuid[kUuidTextLength + 1];
    std::memset(uuid, '#', sizeof uuid);
    writeUuid(bytes, uuid);
    EXPECT_EQ(std::string(uuid, kUuidTextLength), "00017F80-ABCD-EFFF-1032-547698BADCFE");
    EXPECT_EQ(uuid[kUuidTextLength], '#') << "no terminator is written";
}

TEST(CrashTextFormat, DecimalDigitsEndWhereTheyAreAsked) {
    char digits[24];
    char* end = digits + sizeof digits;
    EXPECT_EQ(std::string(formatDecimal(0, end), end), "0");
    EXPECT_EQ(std::string(formatDecimal(1234567890, end), end), "1234567890");
    EXPECT_EQ(std::string(formatDecimal(UINT64_MAX, end), end), "18446744073709551615");
}

TEST(CrashThreadId, IsTheKernelIdOfTheCallingThread) {
    EXPECT_EQ(currentThreadId(), ::getpid()) << "the main thread's id is the process id";
    pid_t other = 0;
    std::thread([&] { other = currentThreadId(); }).join();
    EXPECT_NE(other, 0);
    EXPECT_NE(other, currentThreadId());
}

}  // namespace
}  // namespace skald::crash::text
