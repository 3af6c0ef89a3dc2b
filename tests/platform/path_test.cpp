#include "platform/base/path.h"

#include <gtest/gtest.h>

#include <string_view>

namespace skald::platform {
namespace {

TEST(PathTest, LastComponentIgnoresTrailingSlashes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"/usr/lib/libc.so.6", "libc.so.6"},
        {"usr/lib/", "lib"},
        {"usr/lib//", "lib"},
        {"name", "name"},
        {"/name", "name"},
        // The root and the empty path are their own last component.
        {"/", "/"},
        {"///", "/"},
        {"", ""}};
    for (const auto& [path, last] : cases) EXPECT_EQ(lastPathComponent(path), last) << path;
}

TEST(PathTest, AppendingPutsExactlyOneSlashBetween) {
    struct Case {
        std::string_view path, component, joined;
    };
    const Case cases[] = {{"/tmp", "file", "/tmp/file"},
                          {"/tmp/", "file", "/tmp/file"},
                          {"/tmp", "/file", "/tmp/file"},
                          {"/tmp/", "/file", "/tmp/file"},
                          {"/", "file", "/file"},
                          {"", "file", "file"},
                          {"dir", "sub/file", "dir/sub/file"},
                          {"dir", "", "dir/"}};
    for (const auto& c : cases) {
        EXPECT_EQ(appendingPathComponent(c.path, c.component), c.joined)
            << c.path << " + " << c.component;
    }
}

}  // namespace
}  // namespace skald::platform
