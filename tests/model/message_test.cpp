#include "skald/message.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(Message, WritesFormattedMessageAndParams) {
    Message message("Hello Ann");
    EXPECT_EQ(message.serialize().dump(), R"({"formatted":"Hello Ann"})");
    message.setMessage("Hello %s");
    message.params = std::vector<std::string>{"Ann"};
    EXPECT_EQ(message.serialize().dump(),
              R"({"formatted":"Hello Ann","message":"Hello %s","params":["Ann"]})");
    EXPECT_EQ(Message("").serialize().dump(), R"({"formatted":""})");
}

TEST(Message, CutsLongTextsTo8192Characters) {
    const std::string longText = std::string(8192, 'a') + "b";
    Message message(longText);
    EXPECT_EQ(message.formatted(), std::string(8192, 'a'));
    message.setMessage(longText);
    EXPECT_EQ(message.message(), std::string(8192, 'a'));
    EXPECT_EQ(Message(std::string(8192, 'x')).formatted().size(), 8192u);
}

TEST(Message, CutCountsCharactersAndNeverSplitsOne) {
    // 8193 two-byte characters: the cut keeps 8192 whole ones.
    std::string text;
    for (int i = 0; i < 8193; ++i) text += "\xC3\xA9";
    const Message message(text);
    EXPECT_EQ(message.formatted().size(), 2u * 8192u);
    EXPECT_NO_THROW(message.serialize().dump());
    // Multi-byte text under the limit in characters but over it in bytes stays whole.
    std::string short_text;
    for (int i = 0; i < 5000; ++i) short_text += "\xE2\x82\xAC";
    EXPECT_EQ(Message(short_text).formatted(), short_text);
}

}  // namespace
}  // namespace skald
