// Real child processes crash; their reports are read back as plain JSON.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

using nlohmann::json;

struct SignalCase {
    const char* mode;
    int signal;
    const char* signalName;
    const char* codeName;  // null: no code name expected
    int machException;
    const char* machName;
    const char* crashingFunction;
};

class SignalCrashTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalCrashTest, ReportsTheSignalAndDiesOfIt) {
    const SignalCase& expected = GetParam();
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), expected.mode);
    EXPECT_EQ(run.signal, expected.signal) << run.output;

    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["report"]["type"], "standard");
    EXPECT_EQ((*report)["report"]["version"], "3.2.0");
    EXPECT_EQ((*report)["report"]["id"].get<std::string>().size(), 36U);

    const json& error = (*report)["crash"]["error"];
    EXPECT_EQ(error["type"], "signal");
    EXPECT_EQ(error["signal"]["signal"], expected.signal);
    EXPECT_EQ(error["signal"]["name"], expected.signalName);
    if (expected.codeName != nullptr) {
        EXPECT_EQ(error["signal"]["code_name"], expected.codeName);
    }
    EXPECT_EQ(error["mach"]["exception"], expected.machException);
    EXPECT_EQ(error["mach"]["exception_name"], expected.machName);

    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_TRUE(contains(symbolNames(*crashed), expected.crashingFunction))
        << crashed->dump(1).substr(0, 4000);
    EXPECT_TRUE((*crashed)["current_thread"].get<bool>());
    EXPECT_EQ((*crashed)["registers"]["basic"].size(), 21U);
    EXPECT_TRUE((*crashed)["registers"]["exception"].contains("faultvaddr"));
    EXPECT_EQ((*crashed)["stack"]["grow_direction"], "-");
    EXPECT_EQ((*crashed)["stack"]["contents"].get<std::string>().size(), 480U);
    EXPECT_FALSE((*crashed)["stack"]["overflow"].get<bool>());
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalCrashTest,
                         ::testing::Values(SignalCase{"null", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", 1,
                                                      "EXC_BAD_ACCESS", "victimNullPointer"},
                                           SignalCase{"wild", SIGSEGV, "SIGSEGV", "SEGV_ACCERR", 1,
                                                      "EXC_BAD_ACCESS", "victimWildPointer"},
                                           SignalCase{"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", 1,
                                                      "EXC_BAD_ACCESS", "victimBusError"},
                                           SignalCase{"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", 3,
                                                      "EXC_ARITHMETIC", "victimDivideByZero"},
                                           SignalCase{"ill", SIGILL, "SIGILL", nullptr, 2,
                                                      "EXC_BAD_INSTRUCTION",
                                                      "victimIllegalInstruction"},
                                           SignalCase{"abort", SIGABRT, "SIGABRT", nullptr, 10,
                                                      "EXC_CRASH", "victimAbort"}),
                         [](const auto& info) {
                             std::string name = info.param.mode;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST(SignalCrash, FaultAddressesAreThoseOfTheAccess) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "wild");
    const auto at = run.output.find("wild-address ");
    ASSERT_NE(at, std::string::npos) << run.output;
    const uint64_t address = std::stoull(run.output.substr(at + 13));
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["crash"]["error"]["address"], address);
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ((*crashed)["registers"]["exception"]["faultvaddr"], address);
}

TEST(SignalCrash, TheReportCarriesTheScopeSystemAndImages) {
    TempDirectory directory;
    runVictim(directory.path(), "null");
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);

    const json& scope = (*report)["skald_sdk_scope"];
    EXPECT_EQ(scope["user"]["id"], "u-1");
    EXPECT_EQ(scope["tags"]["mode"], "null");
    // Invalid JSON in a slot becomes an explanation, and the report stays valid.
    EXPECT_EQ(scope["extra"]["json_data"], "{not json");
    EXPECT_EQ(scope["extra"]["error"].get<std::string>().rfind("Invalid JSON data: ", 0), 0U);
    // A ring of three after five crumbs: the last three, oldest first.
    ASSERT_EQ(scope["breadcrumbs"].size(), 3U);
    EXPECT_EQ(scope["breadcrumbs"][0]["message"], "crumb 3");
    EXPECT_EQ(scope["breadcrumbs"][2]["message"], "crumb 5");

    EXPECT_TRUE((*report)["process"].empty());
    EXPECT_TRUE((*report)["user"].empty());
    const json& system = (*report)["system"];
    EXPECT_TRUE(system["system_name"].is_null());
    EXPECT_EQ(system["process_id"], 0);
    EXPECT_EQ(system["jailbroken"], false);
    EXPECT_EQ(system["application_stats"]["launches_since_last_crash"], 1);

    bool sawExecutable = false;
    for (const json& image : (*report)["binary_images"]) {
        EXPECT_GT(image["image_size"].get<uint64_t>(), 0U);
        if (image["name"].get<std::string>().find("skald-crash-victim") != std::string::npos) {
            sawExecutable = true;
            EXPECT_FALSE(image["uuid"].is_null());
        }
    }
    EXPECT_TRUE(sawExecutable);
}

TEST(SignalCrash, StackOverflowOnASecondaryThreadIsReported) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "overflow-thread");
    EXPECT_EQ(run.signal, SIGSEGV) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_NE((*crashed)["index"], 0);
    EXPECT_TRUE((*crashed)["stack"]["overflow"].get<bool>());
    // The innermost frames and the outermost ones, down to the thread's
    // start; the thousands between are counted, not listed.
    const auto names = symbolNames(*crashed);
    ASSERT_EQ(names.size(), 100U);
    const auto& backtrace = (*crashed)["backtrace"];
    const int cut = backtrace["skipped_at"].get<int>();
    EXPECT_EQ(cut, 75);
    EXPECT_EQ(std::count(names.begin(), names.begin() + cut, "victimRecurse"), cut);
    EXPECT_GT(backtrace["skipped"].get<long>(), 100);
    // The C library's thread start is the outermost frame.
    EXPECT_EQ(backtrace["contents"].back().value("object_name", ""), "libc.so.6");
    EXPECT_EQ(names[cut], "victimRecurse");
}

TEST(SignalCrash, EveryThreadIsListedWhileTenOthersAreBusy) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "busy-threads");
    EXPECT_EQ(run.signal, SIGSEGV) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    const json& threads = (*report)["crash"]["threads"];
    // Main, ten busy ones, the crashing one and the SDK's cache thread.
    EXPECT_GE(threads.size(), 12U);
    int crashedCount = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
        const json& thread = threads[i];
        EXPECT_EQ(thread["index"], static_cast<int>(i));
        EXPECT_EQ(thread["registers"]["basic"].size(), 21U) << thread.dump();
        EXPECT_FALSE(thread["backtrace"]["contents"].empty()) << thread.dump();
        if (thread["crashed"].get<bool>()) {
            ++crashedCount;
            const auto names = symbolNames(thread);
            EXPECT_TRUE(contains(names, "victimNullPointer"));
            EXPECT_TRUE(contains(names, "victimCrashOnThread"));
        } else {
            EXPECT_FALSE(thread.contains("stack"));
            EXPECT_FALSE(thread["registers"].contains("exception"));
        }
    }
    EXPECT_EQ(crashedCount, 1);
}

TEST(SignalCrash, TwoThreadsCrashingAtOnceGiveOneIntactReport) {
    for (int round = 0; round < 3; ++round) {
        TempDirectory directory;
        const VictimRun run = runVictim(directory.path(), "two-threads");
        EXPECT_EQ(run.signal, SIGSEGV) << run.output;
        const auto report = onlyReport(directory.path());
        ASSERT_TRUE(report);
        EXPECT_EQ((*report)["report"]["type"], "standard");
        EXPECT_FALSE(report->contains("recrash_report"));
        EXPECT_NE(crashedThread(*report), nullptr);
    }
}

TEST(SignalCrash, ACrashInsideTheHandlerGivesARecrashReport) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "recrash");
    EXPECT_EQ(run.signal, SIGSEGV) << run.output;
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["report"]["type"], "minimal");
    // The first report's sections completed before the second crash.
    const json& first = (*report)["recrash_report"];
    EXPECT_EQ(first["report"]["type"], "standard");
    EXPECT_FALSE(first["binary_images"].empty());
    EXPECT_TRUE(first.contains("process"));
    EXPECT_TRUE(first["system"].contains("application_stats"));
    EXPECT_EQ((*report)["crash"]["error"]["signal"]["name"], "SIGSEGV");
    const json& crashed = (*report)["crash"]["crashed_thread"];
    EXPECT_TRUE(crashed["crashed"].get<bool>());
    EXPECT_FALSE(crashed.contains("notable_addresses"));
    EXPECT_TRUE(contains(symbolNames(crashed), "crashSoonInSection") ||
                !crashed["backtrace"]["contents"].empty());
}

TEST(SignalCrash, SigtermIsReportedOnlyWhenSwitchedOn) {
    {
        TempDirectory directory;
        const VictimRun run = runVictim(directory.path(), "sigterm");
        EXPECT_EQ(run.signal, SIGTERM);
        EXPECT_TRUE(reportFiles(directory.path()).empty());
    }
    {
        TempDirectory directory;
        const VictimRun run = runVictim(directory.path(), "sigterm-on");
        EXPECT_EQ(run.signal, SIGTERM);
        const auto report = onlyReport(directory.path());
        ASSERT_TRUE(report);
        EXPECT_EQ((*report)["crash"]["error"]["signal"]["name"], "SIGTERM");
    }
}

TEST(SignalCrash, AnIgnoredSignalStaysIgnored) {
    TempDirectory directory;
    const VictimRun run = runVictim(directory.path(), "sigpipe-ignored");
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("survived"), std::string::npos);
    EXPECT_TRUE(reportFiles(directory.path()).empty());
}

}  // namespace
}  // namespace skald::test
