#include "model/in_app_logic.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(InAppLogicTest, IncludesArePrefixesOfTheFileNameIgnoringCase) {
    const InAppLogic logic({"MyApp", "plugin"}, {});
    EXPECT_TRUE(logic.isInApp("/opt/myapp/bin/MyApp"));
    EXPECT_TRUE(logic.isInApp("/opt/bin/myapplication")) << "a prefix is enough";
    EXPECT_TRUE(logic.isInApp("/usr/lib/PLUGIN-Audio.so"));
    EXPECT_TRUE(logic.isInApp("MyApp")) << "a bare name is its own last component";
    EXPECT_FALSE(logic.isInApp("/opt/MyApp/libc.so.6")) << "directories do not count";
    EXPECT_FALSE(logic.isInApp("/usr/bin/App"));
    EXPECT_FALSE(logic.isInApp("/usr/bin/My")) << "shorter than the include";
    EXPECT_FALSE(logic.isInApp(std::nullopt));
    EXPECT_FALSE(logic.isInApp(""));
}

TEST(InAppLogicTest, ExcludesDecideNothing) {
    const InAppLogic logic({"host"}, {"host", "libc"});
    EXPECT_TRUE(logic.isInApp("/usr/bin/host")) << "an include wins over an exclude";
    EXPECT_FALSE(logic.isInApp("/usr/lib/libc.so.6"));
    EXPECT_FALSE(InAppLogic({}, {"libc"}).isInApp("/usr/bin/host"))
        << "no include matches: not in app";
    EXPECT_EQ(logic.inAppExcludes(), (std::vector<std::string>{"host", "libc"}));
}

TEST(InAppLogicTest, ImageNameTestForOneInclude) {
    EXPECT_TRUE(InAppLogic::isImageNameInApp("/a/b/SkaldHost.so", "skaldhost"));
    EXPECT_FALSE(InAppLogic::isImageNameInApp("/a/skaldhost/b.so", "skaldhost"));
    EXPECT_TRUE(InAppLogic::isImageNameInApp("/a/b/Host/", "host")) << "trailing slash";
}

}  // namespace
}  // namespace skald
