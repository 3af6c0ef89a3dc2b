// Uncaught exceptions of C++ and of the application layer, in real processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

using nlohmann::json;

TEST(ExceptionCrash, AnUncaughtIntIsACppExceptionWithItsValue) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "cpp-int");
    EXPECT_EQ(run.signal, SIGABRT) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json& error = (*report)["crash"]["error"];
    EXPECT_EQ(error["type"], "cpp_exception");
    EXPECT_EQ(error["reason"], "42");
    EXPECT_EQ(error["cpp_exception"]["name"], "int");
    EXPECT_EQ(error["signal"]["signal"], SIGABRT);
    EXPECT_EQ(error["signal"]["name"], "SIGABRT");
    EXPECT_EQ(error["mach"]["exception"], 10);
    EXPECT_EQ(error["mach"]["exception_name"], "EXC_CRASH");
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(contains(symbolNames(*crashed), "victimThrowInt"));
    // No signal context: the crashed thread carries no registers.
    EXPECT_FALSE(crashed->contains("registers"));
}

TEST(ExceptionCrash, AnUncaughtStdExceptionCarriesWhatAndTheThrowSite) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "cpp-runtime");
    EXPECT_EQ(run.signal, SIGABRT) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json& error = (*report)["crash"]["error"];
    EXPECT_EQ(error["reason"], "the disk is on fire");
    EXPECT_EQ(error["cpp_exception"]["name"], "std::runtime_error");
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    const auto names = symbolNames(*crashed);
    ASSERT_FALSE(names.empty());
    // The throw site comes first, not the terminate handler.
    EXPECT_EQ(names.front(), "victimThrowRuntimeError") << crashed->dump(1).substr(0, 3000);
    // Its caller follows (main's cold part, which has no exported name).
    ASSERT_GE((*crashed)["backtrace"]["contents"].size(), 2U);
    EXPECT_EQ((*crashed)["backtrace"]["contents"][1]["object_name"], "skald-crash-victim");
}

TEST(ExceptionCrash, AnApplicationLayerExceptionIsReportedWithItsDetails) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "app-exception");
    EXPECT_EQ(run.signal, SIGABRT) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json& error = (*report)["crash"]["error"];
    EXPECT_EQ(error["type"], "nsexception");
    EXPECT_EQ(error["reason"], "the app layer gave up");
    EXPECT_EQ(error["nsexception"]["name"], "VictimException");
    EXPECT_EQ(error["nsexception"]["reason"], "the app layer gave up");
    EXPECT_NE(error["nsexception"]["userInfo"].get<std::string>().find("answer"),
              std::string::npos);
    EXPECT_EQ(error["mach"]["exception"], 10);
    EXPECT_EQ(error["signal"]["signal"], SIGABRT);
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(contains(symbolNames(*crashed), "victimRaiseAppException"));
}

TEST(ExceptionCrash, AnApplicationLayerExceptionReachingTerminateIsReportedByItsOwnMonitor) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "app-exception-uncaught");
    EXPECT_EQ(run.signal, SIGABRT) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json& error = (*report)["crash"]["error"];
    // Its name, reason and user info, not a C++ exception of its type.
    EXPECT_EQ(error["type"], "nsexception");
    EXPECT_EQ(error["nsexception"]["name"], "VictimException");
    EXPECT_EQ(error["reason"], "the app layer gave up");
    EXPECT_FALSE(error.contains("cpp_exception"));
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(contains(symbolNames(*crashed), "victimRaiseAppException"));
}

}  // namespace
}  // namespace skald::test
