#include "skald/thread.h"

#include <gtest/gtest.h>

namespace skald {
namespace {

TEST(Thread, WithoutIdWrites99) {
    EXPECT_EQ(Thread().serialize().dump(), R"({"id":99})");
    EXPECT_EQ(Thread(std::nullopt).serialize().dump(), R"({"id":99})");
    EXPECT_EQ(Thread(0).serialize().dump(), R"({"id":0})");
}

TEST(Thread, WritesEveryKeyInOrder) {
    Thread thread(3);
    thread.crashed = true;
    thread.current = false;
    thread.name = "main";
    thread.stacktrace = std::make_shared<Stacktrace>();
    thread.isMain = true;
    EXPECT_EQ(
        thread.serialize().dump(),
        R"({"id":3,"crashed":true,"current":false,"name":"main","stacktrace":{},"main":true})");
}

}  // namespace
}  // namespace skald
