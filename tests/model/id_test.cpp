#include "skald/id.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace skald {
namespace {

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(Id, NewIdsAreRandomVersion4) {
    std::unordered_set<Id> seen;
    for (int i = 0; i < 100; ++i) {
        const Id id;
        const std::string text = id.skaldIdString();
        ASSERT_EQ(text.size(), 32u);
        EXPECT_TRUE(isLowerHex(text)) << text;
        EXPECT_EQ(text[12], '4');
        EXPECT_NE(std::string("89ab").find(text[16]), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Id, ParsesDashedFormInEitherCase) {
    const Id lower = Id::fromUuidString("12345678-9abc-def0-1234-56789abcdef0");
    const Id upper = Id::fromUuidString("12345678-9ABC-DEF0-1234-56789ABCDEF0");
    EXPECT_EQ(lower.skaldIdString(), "123456789abcdef0123456789abcdef0");
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(std::hash<Id>()(lower), std::hash<Id>()(upper));
}

TEST(Id, ParsesThirtyTwoDigitsAndLowercasesThem) {
    const Id id = Id::fromUuidString("ABCDEF0123456789ABCDEF0123456789");
    EXPECT_EQ(id.skaldIdString(), "abcdef0123456789abcdef0123456789");
    EXPECT_EQ(id.description(), id.skaldIdString());
    EXPECT_EQ(Id::fromUuidString(id.skaldIdString()), id);
}

TEST(Id, AnythingElseGivesTheEmptyId) {
    const std::string zeros(32, '0');
    for (const char* text : {
             "",
             "ABCDEF0123456789ABCDEF012345678",  // 31 digits
             "ABCDEF0123456789ABCDEF01234567890",
             "g2345678-9abc-def0-1234-56789abcdef0",
             "123456789-abc-def0-1234-56789abcdef0",
             "12345678-9abc-def0-1234_56789abcdef0",
             "12345678-9abc-def0-1234-56789abcdef0 ",
             "xyz not an id at all, but just long",
             "0x345678-9abc-def0-1234-56789abcdef0",
         }) {
        EXPECT_EQ(Id::fromUuidString(text).skaldIdString(), zeros) << text;
    }
    EXPECT_EQ(Id::fromUuidString("nope"), Id::empty());
}

TEST(Id, EmptyCanBeReplaced) {
    EXPECT_EQ(Id::empty().skaldIdString(), std::string(32, '0'));
    const Id replacement;
    Id::setEmpty(replacement);
    EXPECT_EQ(Id::empty(), replacement);
    EXPECT_EQ(Id::fromUuidString("bad"), replacement);
    Id::setEmpty(Id(Id::Uuid{}));
    EXPECT_EQ(Id::empty().skaldIdString(), std::string(32, '0'));
}

}  // namespace
}  // namespace skald
