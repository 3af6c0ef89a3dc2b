#include "skald/level.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(Level, NamesRoundTrip) {
    const char* names[] = {"none", "debug", "info", "warning", "error", "fatal"};
    for (uint64_t raw = 0; raw <= 5; ++raw) {
        const Level level = *levelFromRaw(raw);
        EXPECT_STREQ(nameForLevel(level), names[raw]);
        EXPECT_EQ(levelForName(names[raw]), level);
    }
}

TEST(Level, UnknownNamesGiveErrorAndLargeNumbersNoLevel) {
    EXPECT_EQ(levelForName("Warning"), Level::Error);
    EXPECT_EQ(levelForName("warning"), Level::Warning);
    EXPECT_EQ(levelForName(""), Level::Error);
    EXPECT_FALSE(levelFromRaw(6).has_value());
}

}  // namespace
}  // namespace skald
