#include "platform/base/path.h"

#include <gtest/gtest.h>

namespace skald::platform {
namespace {

TEST(PathTest, LastComponentIgnoresTrailingSlashes) {
    EXPECT_EQ(lastPathComponent("/usr/lib/libc.so.6"), "libc.so.6");
    EXPECT_EQ(lastPathComponent("usr/lib/"), "lib");
    EXPECT_EQ(lastPathComponent("usr/lib//"), "lib");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(lastPathComponent("/name"), "name");
}

TEST(PathTest, RootAndEmptyPathsAreTheirOwnLastComponent) {
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("///"), "/");
    EXPECT_EQ(lastPathComponent(""), "");
}

TEST(PathTest, AppendingPutsExactlyOneSlashBetween) {
    EXPECT_EQ(appendingPathComponent("/tmp", "file"), "/tmp/file");
    EXPECT_EQ(appendingPathComponent("/tmp/", "file"), "/tmp/file");
    EXPECT_EQ(appendingPathComponent("/tmp", "/file"), "/tmp/file");
    EXPECT_EQ(appendingPathComponent("/tmp/", "/file"), "/tmp/file");
    EXPECT_EQ(appendingPathComponent("/", "file"), "/file");
    EXPECT_EQ(appendingPathComponent("", "file"), "file");
    EXPECT_EQ(appendingPathComponent("dir", "sub/file"), "dir/sub/file");
    EXPECT_EQ(appendingPathComponent("dir", ""), "dir/");
}

}  // namespace
}  // namespace skald::platform
