// An application-layer exception that escapes a main-loop block of the crash
// exception application: a crash report, an error event stored for sending,
// and the process ends by abort.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

namespace fs = std::filesystem;

/// The texts of the files under `directory` outside the crash reporter's.
std::vector<std::string> storedEnvelopes(const fs::path& directory) {
    std::vector<std::string> texts;
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        if (path.find("SkaldCrash") != std::string::npos) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        if (text.find("\"type\":\"event\"") != std::string::npos) texts.push_back(text);
    }
    return texts;
}

TEST(CrashExceptionApplication, AnEscapedExceptionIsReportedCapturedAndAborts) {
    TempDirectory directory;
    // Nothing listens there: the event stays stored.
    ::setenv("SKALD_DSN", "http://public@127.0.0.1:9/1", 1);
    const auto result = runProgram({SKALD_APP_VICTIM_PATH, directory.path(), "raise"},
                                   fs::path(directory.path()) / "output.txt");
    EXPECT_EQ(result.signal, SIGABRT) << result.output;

    // One report, by the application layer's monitor: the abort that follows
    // is not reported a second time.
    const auto report = onlyReport(fs::path(directory.path()) / "SkaldCrash" / "Unknown");
    ASSERT_TRUE(report) << result.output;
    const auto& error = (*report)["crash"]["error"];
    EXPECT_EQ(error["type"], "nsexception") << error.dump();
    EXPECT_EQ(error["nsexception"]["name"], "VictimFailure");
    EXPECT_EQ(error["reason"], "raised on purpose");

    const auto envelopes = storedEnvelopes(directory.path());
    ASSERT_EQ(envelopes.size(), 1u) << result.output;
    EXPECT_NE(envelopes[0].find("VictimFailure"), std::string::npos);
    EXPECT_NE(envelopes[0].find("raised on purpose"), std::string::npos);
}

TEST(CrashExceptionApplication, WithoutAnExceptionNothingChanges) {
    TempDirectory directory;
    const auto result = runProgram({SKALD_APP_VICTIM_PATH, directory.path(), "quit"},
                                   fs::path(directory.path()) / "output.txt");
    EXPECT_EQ(result.signal, 0) << result.output;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(reportFiles(fs::path(directory.path()) / "SkaldCrash" / "Unknown").empty());
}

}  // namespace
}  // namespace skald::test
