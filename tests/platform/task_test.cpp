#include "skald/platform/task.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/eventually.h"

namespace skald::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;

Task::Result shell(const std::string& script,
                   std::optional<std::map<std::string, std::string>> environment = std::nullopt) {
    return Task::run("/bin/sh", {"-c", script}, std::move(environment));
}

TEST(TaskTest, OutputsFarBeyondAPipesBufferAreCollectedWhileTheChildRuns) {
    // Interleaved writes to both streams: a parent reading one stream at a
    // time, or only after waiting, would leave the child blocked forever.
    Task task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c",
                       "i=0; while [ $i -lt 40 ]; do head -c 100000 /dev/zero | tr '\\0' o; "
                       "head -c 100000 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done; exit 3"});
    auto out = Pipe::make();
    auto err = Pipe::make();
    task.setStandardOutput(out);
    task.setStandardError(err);
    ASSERT_FALSE(task.launch());
    EXPECT_GT(task.processIdentifier(), 0);
    task.waitUntilExit();  // before reading anything
    EXPECT_EQ(task.terminationReason(), Task::TerminationReason::Exit);
    EXPECT_EQ(task.terminationStatus(), 3);
    const std::string output = out->readDataToEndOfFile();
    const std::string errors = err->readDataToEndOfFile();
    EXPECT_EQ(output.size(), 4000000u);
    EXPECT_EQ(errors.size(), 4000000u);
    EXPECT_EQ(output.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(errors.find_first_not_of('e'), std::string::npos);
    EXPECT_TRUE(out->atEndOfFile());
}

TEST(TaskTest, OnePipeForBothOutputsKeepsTheirOrder) {
    Task task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", "echo one; echo two >&2; echo three"});
    auto both = Pipe::make();
    task.setStandardOutput(both);
    task.setStandardError(both);
    ASSERT_FALSE(task.launch());
    EXPECT_EQ(both->readDataToEndOfFile(), "one\ntwo\nthree\n");
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);
}

TEST(TaskTest, LaunchFailuresAreErrorsNotCrashes) {
    const auto missing = Task::run("/nonexistent/skald-tool", {"attach"});
    ASSERT_TRUE(missing.launchError);
    EXPECT_EQ(missing.launchError->domain, kPosixErrorDomain);
    EXPECT_EQ(missing.launchError->code, ENOENT);
    EXPECT_EQ(missing.launchError->filePath, "/nonexistent/skald-tool");
    EXPECT_FALSE(missing.succeeded());

    const fs::path plain =
        fs::temp_directory_path() / ("skald-task-plain-" + std::to_string(getpid()));
    std::ofstream(plain) << "#!/bin/sh\necho never\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    const auto notExecutable = Task::run(plain.string(), {});
    fs::remove(plain);
    ASSERT_TRUE(notExecutable.launchError);
    EXPECT_EQ(notExecutable.launchError->code, EACCES);

    Task task;
    EXPECT_TRUE(task.launch()) << "no launch path";
    Task twice;
    twice.setLaunchPath("/bin/true");
    ASSERT_FALSE(twice.launch());
    EXPECT_TRUE(twice.launch());
    twice.waitUntilExit();
    EXPECT_EQ(twice.terminationStatus(), 0);

    // Waiting for a task never launched returns at once.
    Task idle;
    idle.waitUntilExit();
    EXPECT_FALSE(idle.isRunning());
}

TEST(TaskTest, StatusSignalEnvironmentAndDirectoryReachTheChild) {
    EXPECT_EQ(shell("exit 42").status, 42);

    const auto killed = shell("kill -TERM $$; sleep 5");
    EXPECT_EQ(killed.reason, Task::TerminationReason::UncaughtSignal);
    EXPECT_EQ(killed.status, SIGTERM);

    const auto replaced = shell("echo \"$SKALD_TASK_VALUE|$HOME\"",
                                std::map<std::string, std::string>{{"SKALD_TASK_VALUE", "a b"}});
    EXPECT_EQ(replaced.standardOutput, "a b|\n") << "only the given environment";
    ::setenv("SKALD_TASK_INHERITED", "yes", 1);
    EXPECT_EQ(shell("echo $SKALD_TASK_INHERITED").standardOutput, "yes\n");
    ::unsetenv("SKALD_TASK_INHERITED");

    Task inDir;
    inDir.setLaunchPath("/bin/pwd");
    inDir.setCurrentDirectoryPath("/usr");
    auto out = Pipe::make();
    inDir.setStandardOutput(out);
    ASSERT_FALSE(inDir.launch());
    EXPECT_EQ(out->readDataToEndOfFile(), "/usr\n");

    // Standard input from /dev/null: a child that reads ends at once.
    EXPECT_EQ(shell("cat; echo done").standardOutput, "done\n");
}

TEST(TaskTest, SignalsThisProcessIgnoresAreDefaultAgainInTheChild) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGTERM, &ignore, &previous);
    const auto killed = shell("kill -TERM $$; sleep 5");
    sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(killed.reason, Task::TerminationReason::UncaughtSignal);
}

TEST(TaskTest, ATimedWaitGivesUpAndTerminateEndsTheChild) {
    Task task;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"30"});
    ASSERT_FALSE(task.launch());
    EXPECT_TRUE(task.isRunning());
    EXPECT_FALSE(task.waitUntilExit(100ms));
    task.terminate();
    EXPECT_TRUE(task.waitUntilExit(5000ms));
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationReason(), Task::TerminationReason::UncaughtSignal);
    EXPECT_EQ(task.terminationStatus(), SIGTERM);
}

TEST(TaskTest, AnotherThreadCanTerminateWhileOneWaits) {
    Task task;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"30"});
    ASSERT_FALSE(task.launch());
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        task.waitUntilExit();
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    task.terminate();
    EXPECT_TRUE(eventually([&] { return returned.load(); }, 5s));
    waiter.join();
    EXPECT_EQ(task.terminationStatus(), SIGTERM);
}

TEST(TaskTest, PipesOnlyEndWhenEveryWriterClosedThem) {
    Task task;
    task.setLaunchPath("/bin/sh");
    // The shell exits at once; its background child holds the pipe a while longer.
    task.setArguments({"-c", "(sleep 0.3; echo late) & echo early"});
    auto out = Pipe::make();
    task.setStandardOutput(out);
    ASSERT_FALSE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(out->availableData(5000ms), "early\n");
    EXPECT_FALSE(out->atEndOfFile());
    EXPECT_EQ(out->readDataToEndOfFile(), "late\n");
    // A pipe never attached to a task has nothing and does not block.
    EXPECT_EQ(Pipe::make()->readDataToEndOfFile(), "");
}

TEST(DetachedLaunchTest, RunsInItsOwnSessionWithoutOurOutputsAndLeavesNoZombie) {
    const fs::path marker =
        fs::temp_directory_path() / ("skald-detached-" + std::to_string(getpid()));
    fs::remove(marker);
    const auto launch = launchDetached(
        "/bin/sh",
        {"-c", "echo \"$(cut -d' ' -f6 /proc/$$/stat) $SKALD_DETACHED\" > " + marker.string() +
                   "; sleep 0.2"},
        std::map<std::string, std::string>{{"SKALD_DETACHED", "env"}, {"PATH", "/usr/bin:/bin"}});
    ASSERT_FALSE(launch.error) << launch.error->description();
    ASSERT_GT(launch.pid, 0);
    EXPECT_EQ(::getsid(launch.pid), launch.pid) << "a session of its own";
    EXPECT_NE(::getsid(launch.pid), ::getsid(0));
    ASSERT_TRUE(eventually([&] { return fs::exists(marker) && fs::file_size(marker) > 0; }));
    std::ifstream in(marker);
    std::string sid, value;
    in >> sid >> value;
    EXPECT_EQ(sid, std::to_string(launch.pid));
    EXPECT_EQ(value, "env");
    fs::remove(marker);
    // Reaped in the background once it exits: no zombie stays in the table.
    EXPECT_TRUE(eventually([&] { return ::kill(launch.pid, 0) != 0; }, 5s));

    const auto missing = launchDetached("/nonexistent/Vantorel", {});
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code, ENOENT);
    EXPECT_EQ(missing.pid, 0);
}

}  // namespace
}  // namespace skald::platform
