#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "crash/async_safe/app_state.h"
#include "crash/recording/app_state_monitor.h"
#include "support/hostile_files.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"
#include "util/json_bytes.h"

namespace skald::crash::appstate {
namespace {

namespace fs = std::filesystem;

double gFakeNow = 1000;
double fakeClock() {
    return gFakeNow;
}

class AppStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("skald-appstate-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        gFakeNow = 1000;
        setClock(fakeClock);
    }
    void TearDown() override {
        setEnabled(false);
        setClock(nullptr);
        fs::remove_all(dir);
    }
    std::string file() const { return (dir / "Data" / "CrashState.json").string(); }
    Json saved() const {
        std::ifstream in(file());
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return parseJsonBytes(text).value_or(Json());
    }
    void launch() {
        initialize(dir.string());
        setEnabled(true);
    }
    fs::path dir;
};

TEST_F(AppStateTest, FirstLaunchCountsOneLaunchAndWritesTheFile) {
    launch();
    const auto& s = currentState();
    EXPECT_EQ(s.launchesSinceLastCrash, 1);
    EXPECT_EQ(s.sessionsSinceLastCrash, 1);
    EXPECT_FALSE(s.crashedLastLaunch);
    const Json json = saved();
    ASSERT_TRUE(json.is_object());
    EXPECT_EQ(json["version"], 1);
    EXPECT_EQ(json["crashedLastLaunch"], false);
    EXPECT_EQ(json.begin().key(), "version");

    launch();
    EXPECT_EQ(currentState().launchesSinceLastCrash, 2) << "counts carry over between launches";
}

TEST_F(AppStateTest, BackgroundAndForegroundDurationsUseTheClock) {
    launch();
    notifyAppActive(true);
    gFakeNow += 5;
    notifyAppActive(false);
    notifyAppInForeground(false);
    gFakeNow += 10;
    notifyAppInForeground(true);
    const auto& s = currentState();
    EXPECT_DOUBLE_EQ(s.activeDurationSinceLaunch, 5);
    EXPECT_DOUBLE_EQ(s.activeDurationSinceLastCrash, 5);
    EXPECT_DOUBLE_EQ(s.backgroundDurationSinceLaunch, 10);
    EXPECT_DOUBLE_EQ(s.backgroundDurationSinceLastCrash, 10);
    EXPECT_EQ(s.sessionsSinceLaunch, 2);
    EXPECT_EQ(s.sessionsSinceLastCrash, 2);
}

TEST_F(AppStateTest, CrashNotificationIsReadBackByTheNextLaunch) {
    launch();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        initialize(dir.string());
        setEnabled(true);
        notifyAppActive(true);
        gFakeNow += 3;
        notifyAppCrash();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));

    initialize(dir.string());
    const auto& loaded = currentState();
    EXPECT_TRUE(loaded.crashedLastLaunch);
    EXPECT_DOUBLE_EQ(loaded.activeDurationSinceLastCrash, 3);
    EXPECT_DOUBLE_EQ(loaded.durationFromCrashStateInitToLastCrash, 3);

    setEnabled(true);
    const auto& after = currentState();
    EXPECT_EQ(after.launchesSinceLastCrash, 1);
    EXPECT_EQ(after.sessionsSinceLastCrash, 1);
    EXPECT_DOUBLE_EQ(after.activeDurationSinceLastCrash, 0);
    EXPECT_DOUBLE_EQ(after.backgroundDurationSinceLastCrash, 0);
    EXPECT_FALSE(after.crashedThisLaunch);
}

TEST_F(AppStateTest, OtherVersionsAndGarbageStartFromZero) {
    fs::create_directories(dir / "Data");
    std::ofstream(file())
        << R"({"version": 2, "crashedLastLaunch": true, "launchesSinceLastCrash": 9})";
    test::LogCapture log;
    initialize(dir.string());
    EXPECT_FALSE(currentState().crashedLastLaunch);
    EXPECT_EQ(currentState().launchesSinceLastCrash, 0);
    EXPECT_TRUE(log.contains("Expected version 1 but got 2"));

    std::ofstream(file())
        << R"({"version": 1, "launchesSinceLastCrash": 4, "crashedLastLaunch": tr)";
    initialize(dir.string());
    EXPECT_EQ(currentState().launchesSinceLastCrash, 4) << "what came before the error is kept";
    EXPECT_TRUE(log.contains("CrashState.json, offset"));

    std::ofstream(file(), std::ios::trunc) << "\x01\x02garbage";
    initialize(dir.string());
    EXPECT_EQ(currentState().launchesSinceLastCrash, 0);
}

TEST_F(AppStateTest, UnwritableFileIsReportedNotFatal) {
    launch();
    fs::remove(file());
    fs::create_directories(file());  // a folder where the file should be
    EXPECT_FALSE(saveState());
    notifyAppCrash();
    EXPECT_TRUE(currentState().crashedThisLaunch);
}

constexpr const char* kCrashedState =
    R"({"version": 1, "crashedLastLaunch": true, "launchesSinceLastCrash": 9})";

class AppStateHostileTest : public AppStateTest,
                            public ::testing::WithParamInterface<test::Hostile> {
  protected:
    test::TempDirectory elsewhere;
    std::string outside = elsewhere.write("CrashState.json", kCrashedState);
};

TEST_P(AppStateHostileTest, AStateFileThatIsNotOursIsRemovedAndAFreshOneWritten) {
    test::plantHostile(GetParam(), file(), outside);
    test::LogCapture log(Level::Error);
    {
        test::Watchdog watchdog(std::chrono::seconds(10), "loading the crash state");
        launch();
    }
    EXPECT_TRUE(log.contains("Could not load file"));
    EXPECT_FALSE(currentState().crashedLastLaunch);
    EXPECT_EQ(currentState().launchesSinceLastCrash, 1);
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
    EXPECT_EQ(saved()["launchesSinceLastCrash"], 1);
    EXPECT_EQ(test::TempDirectory::read(outside), kCrashedState);
}

INSTANTIATE_TEST_SUITE_P(Kinds, AppStateHostileTest, ::testing::ValuesIn(test::allHostileKinds()),
                         test::hostileTestName);

TEST_F(AppStateTest, ACrashNeverWritesThroughASymlinkPlantedDuringTheRun) {
    test::TempDirectory elsewhere;
    const std::string outside = elsewhere.write("target", "not ours");
    launch();
    fs::remove(file());
    fs::create_symlink(outside, file());
    EXPECT_FALSE(saveState());
    notifyAppCrash();
    EXPECT_EQ(test::TempDirectory::read(outside), "not ours");
}

}  // namespace
}  // namespace skald::crash::appstate
