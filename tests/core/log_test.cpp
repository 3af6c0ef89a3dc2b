#include "util/log.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"

namespace skald {
namespace {

TEST(LogTest, LineFormatCarriesLevelFileAndLine) {
    test::LogCapture capture(Level::Debug);
    const int line = __LINE__ + 1;
    SKALD_LOG_WARNING("value %d of %s", 7, "x");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0],
              "[Skald] [warning] [log_test:" + std::to_string(line) + "] value 7 of x");
}

TEST(LogTest, WritesOnlyAtOrAboveDiagnosticLevel) {
    test::LogCapture capture(Level::Warning);
    SKALD_LOG_DEBUG("debug");
    SKALD_LOG_INFO("info");
    SKALD_LOG_WARNING("warning");
    SKALD_LOG_ERROR("error");
    SKALD_LOG_FATAL("fatal");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(capture.contains("[warning]"));
    EXPECT_TRUE(capture.contains("[fatal]"));
    EXPECT_FALSE(capture.contains("[info]"));
}

TEST(LogTest, NothingIsWrittenWithoutDebug) {
    test::LogCapture capture(Level::Debug);
    Log::configure(false, Level::None);
    SKALD_LOG_FATAL("fatal");
    Log::logWithMessage("plain", Level::Fatal);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LogTest, PlainMessagesAreWrittenUnchanged) {
    test::LogCapture capture(Level::Debug);
    Log::logWithMessage("from a wrapping SDK", Level::Info);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "[Skald] [info] from a wrapping SDK");
}

TEST(LogTest, FileNameLosesEveryExtension) {
    EXPECT_EQ(detail::formatLogMessage("/a/b/scope.cpp", 3, "x"), "[scope:3] x");
    EXPECT_EQ(detail::formatLogMessage("noext", 1, "%s", ""), "[noext:1] ");
}

}  // namespace
}  // namespace skald
