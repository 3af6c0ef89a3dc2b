#include "util/iso8601.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace skald {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(Iso8601, FormatsUtcWithMilliseconds) {
    EXPECT_EQ(formatIso8601Timestamp(Date()), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(formatIso8601Timestamp(dateWithTimeIntervalSince1970(1714558830.123)),
              "2024-05-01T10:20:30.123Z");
    // Leap day and end of year.
    EXPECT_EQ(formatIso8601Timestamp(dateWithTimeIntervalSince1970(951782400)),
              "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(formatIso8601Timestamp(dateWithTimeIntervalSince1970(1704067199.999)),
              "2023-12-31T23:59:59.999Z");
}

TEST(Iso8601, TruncatesFractionalMilliseconds) {
    const Date date = Date() + milliseconds(1714558830123) + microseconds(999);
    EXPECT_EQ(formatIso8601Timestamp(date), "2024-05-01T10:20:30.123Z");
}

TEST(Iso8601, FormatsDatesBefore1970) {
    EXPECT_EQ(formatIso8601Timestamp(Date() - milliseconds(1)), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(formatIso8601Timestamp(Date() - microseconds(1500)), "1969-12-31T23:59:59.998Z");
    EXPECT_EQ(formatIso8601Timestamp(dateWithTimeIntervalSince1970(-2208988800)),
              "1900-01-01T00:00:00.000Z");
}

TEST(Iso8601, ParsesBothPatterns) {
    EXPECT_EQ(parseIso8601Timestamp("2024-05-01T10:20:30.123Z"),
              Date() + milliseconds(1714558830123));
    EXPECT_EQ(parseIso8601Timestamp("2024-05-01T10:20:30Z"), Date() + milliseconds(1714558830000));
    EXPECT_EQ(parseIso8601Timestamp("1969-12-31T23:59:59.999Z"), Date() - milliseconds(1));
}

TEST(Iso8601, RoundTrips) {
    for (const auto millis : {0LL, 1LL, -1LL, 1714558830123LL, -2208988800000LL, 4102444799999LL}) {
        const Date date = Date() + milliseconds(millis);
        EXPECT_EQ(parseIso8601Timestamp(formatIso8601Timestamp(date)), date) << millis;
    }
    // Sub-millisecond parts are lost, the rest survives.
    const Date precise = Date() + milliseconds(1714558830123) + microseconds(456);
    EXPECT_EQ(parseIso8601Timestamp(formatIso8601Timestamp(precise)),
              Date() + milliseconds(1714558830123));
}

TEST(Iso8601, RejectsMalformedText) {
    for (const char* text : {
             "",
             "2024-05-01",
             "2024-05-01T10:20:30.123",  // no zone
             "2024-05-01T10:20:30.123+00:00",
             "2024-05-01T10:20:30.12Z",  // two fraction digits
             "2024-05-01T10:20:30.1234Z",
             "2024-05-01 10:20:30.123Z",
             "2024-5-01T10:20:30.123Z",
             "2024-05-01T10:20:30.123Zx",
             " 2024-05-01T10:20:30Z",
             "2024-13-01T10:20:30.123Z",
             "2024-00-01T10:20:30.123Z",
             "2023-02-29T10:20:30.123Z",  // not a leap year
             "2024-04-31T10:20:30.123Z",
             "2024-05-01T24:00:00.000Z",
             "2024-05-01T10:60:30.000Z",
             "2024-05-01T10:20:60.000Z",
             "2024-05-01T10:20:3a.000Z",
             "+024-05-01T10:20:30.000Z",
             "0001-01-01T00:00:00.000Z",  // not representable as a Date
         }) {
        EXPECT_FALSE(parseIso8601Timestamp(text).has_value()) << text;
    }
    EXPECT_TRUE(parseIso8601Timestamp("2024-02-29T00:00:00Z").has_value());
}

TEST(Iso8601, IsSafeFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                const Date date =
                    Date() + milliseconds(1000000000000LL + t * 7919LL + i * 104729LL);
                if (parseIso8601Timestamp(formatIso8601Timestamp(date)) != date) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace skald
