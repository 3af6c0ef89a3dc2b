// An application on the scripted frontend gains and loses the focus and then
// crashes or quits, in a child process: its crash report and crash state tell
// how long it was active and in the background.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

namespace fs = std::filesystem;

class AppStateCrash : public ::testing::Test {
  protected:
    /// Runs the application with `steps` after its first activation.
    VictimRun run(std::vector<std::string> steps) {
        std::vector<std::string> arguments = {SKALD_APP_VICTIM_PATH, directory.path()};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        return runProgram(arguments, fs::path(directory.path()) / "output.txt");
    }
    // A plain executable has no bundle name.
    fs::path installPath() const { return fs::path(directory.path()) / "SkaldCrash" / "Unknown"; }

    nlohmann::json stats() {
        const auto report = onlyReport(installPath());
        if (!report) return nlohmann::json::object();
        return (*report)["system"]["application_stats"];
    }
    nlohmann::json crashState() {
        std::ifstream in(installPath() / "Data" / "CrashState.json");
        return nlohmann::json::parse(in, nullptr, false);
    }

    TempDirectory directory;
};

TEST_F(AppStateCrash, ACrashWhileActiveSaysSoAndCountsTheActiveTime) {
    const auto result = run({"wait=300", "crash"});
    ASSERT_EQ(result.signal, SIGSEGV) << result.output;
    const auto application = stats();
    EXPECT_EQ(application["application_active"], true) << application.dump();
    EXPECT_EQ(application["application_in_foreground"], true);
    EXPECT_EQ(application["sessions_since_launch"], 1);
    // The crash closes the running active period in the crash state.
    const auto state = crashState();
    EXPECT_EQ(state["crashedLastLaunch"], true);
    EXPECT_GE(state["activeDurationSinceLastCrash"].get<double>(), 0.25) << state.dump();
    EXPECT_EQ(state["backgroundDurationSinceLastCrash"].get<double>(), 0);
}

TEST_F(AppStateCrash, AReportAfterTheFocusCameBackHoldsBothDurations) {
    const auto result =
        run({"wait=300", "lose-focus", "wait=300", "regain-focus", "wait=100", "crash"});
    ASSERT_EQ(result.signal, SIGSEGV) << result.output;
    const auto application = stats();
    EXPECT_EQ(application["application_active"], true) << application.dump();
    EXPECT_GE(application["active_time_since_launch"].get<double>(), 0.25);
    EXPECT_GE(application["active_time_since_last_crash"].get<double>(), 0.25);
    EXPECT_GE(application["background_time_since_launch"].get<double>(), 0.25);
    EXPECT_EQ(application["sessions_since_launch"], 2);
}

TEST_F(AppStateCrash, ACrashWithoutTheFocusHappensInTheBackground) {
    const auto result = run({"wait=200", "lose-focus", "wait=300", "crash"});
    ASSERT_EQ(result.signal, SIGSEGV) << result.output;
    const auto application = stats();
    EXPECT_EQ(application["application_active"], false) << application.dump();
    EXPECT_EQ(application["application_in_foreground"], false);
    EXPECT_GE(application["active_time_since_launch"].get<double>(), 0.15);
    const auto state = crashState();
    EXPECT_GE(state["backgroundDurationSinceLastCrash"].get<double>(), 0.25) << state.dump();
}

TEST_F(AppStateCrash, AQuitSavesTheDurationsForTheNextLaunch) {
    const auto result =
        run({"wait=200", "lose-focus", "wait=300", "regain-focus", "wait=100", "quit"});
    ASSERT_EQ(result.signal, 0) << result.output;
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(reportFiles(installPath()).empty());
    const auto state = crashState();
    EXPECT_EQ(state["crashedLastLaunch"], false) << state.dump();
    EXPECT_GE(state["activeDurationSinceLastCrash"].get<double>(), 0.25);
    EXPECT_GE(state["backgroundDurationSinceLastCrash"].get<double>(), 0.25);
    EXPECT_EQ(state["sessionsSinceLastCrash"], 2);
}

}  // namespace
}  // namespace skald::test
