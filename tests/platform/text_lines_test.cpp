#include "platform/base/text_lines.h"

#include <gtest/gtest.h>

namespace skald::platform {
namespace {

using Lines = std::vector<std::string>;

TEST(TextLinesTest, SplitsAtEveryNewlineAndKeepsEmptyLines) {
    EXPECT_EQ(splitLines("one\ntwo"), (Lines{"one", "two"}));
    EXPECT_EQ(splitLines("one\n\nthree"), (Lines{"one", "", "three"}));
    EXPECT_EQ(splitLines("\n"), (Lines{"", ""}));
    EXPECT_EQ(splitLines("last\n"), (Lines{"last", ""}));
    EXPECT_EQ(splitLines(""), (Lines{""}));
}

TEST(TextLinesTest, LeavesCarriageReturnsInTheLine) {
    EXPECT_EQ(splitLines("dos\r\nline"), (Lines{"dos\r", "line"}));
}

}  // namespace
}  // namespace skald::platform
