// Crashes in states that make the crash handler's own work dangerous: a
// corrupt stack, images loaded or unloaded just before. Real child
// processes crash; their reports are read back.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <set>
#include <string>

#include "crash/reporting/crash_report_converter.h"
#include "crash_reports/victim_runner.h"
#include "support/temp_directory.h"

namespace skald::test {
namespace {

using nlohmann::json;

const std::string kPluginName = "libskald-victim-plugin.so";

/// The report's image of the test plugin, or null.
const json* pluginImage(const json& report) {
    for (const json& image : report["binary_images"]) {
        const std::string name = image.value("name", "");
        if (name.size() >= kPluginName.size() &&
            name.compare(name.size() - kPluginName.size(), kPluginName.size(), kPluginName) == 0)
            return &image;
    }
    return nullptr;
}

/// Runs the victim in `mode`, checks that it died of `signal` and returns its
/// only report (nullopt, with a failure, when there is none).
std::optional<json> reportOfCrash(const TempDirectory& directory, const std::string& mode,
                                  int signal, std::string* output = nullptr) {
    const VictimRun run = runVictim(directory.path(), mode);
    EXPECT_EQ(run.signal, signal) << run.output;
    if (output != nullptr) *output = run.output;
    auto report = onlyReport(directory.path());
    EXPECT_TRUE(report) << run.output;
    return report;
}

TEST(HostileCrash, ACorruptStackStillLeavesAReport) {
    TempDirectory directory;
    const auto report = reportOfCrash(directory, "smashed-stack", SIGSEGV);
    ASSERT_TRUE(report);
    // The whole report, not the short one of a crash inside the handler.
    EXPECT_EQ((*report)["report"]["type"], "standard");
    EXPECT_EQ((*report)["crash"]["error"]["signal"]["name"], "SIGSEGV");
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    const auto names = symbolNames(*crashed);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "victimSmashedStack") << crashed->dump(1).substr(0, 3000);
    EXPECT_FALSE((*report)["binary_images"].empty());
}

TEST(HostileCrash, ALibraryLoadedJustBeforeACrashInsideItIsNamed) {
    TempDirectory directory;
    const auto report = reportOfCrash(directory, "dlopen-crash-inside", SIGSEGV);
    ASSERT_TRUE(report);
    const json* image = pluginImage(*report);
    ASSERT_NE(image, nullptr) << (*report)["binary_images"].dump(1).substr(0, 3000);
    EXPECT_GT((*image)["image_size"].get<uint64_t>(), 0U);
    EXPECT_EQ((*image)["build_id"].get<std::string>().size(), 40U) << image->dump();

    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    const json& top = (*crashed)["backtrace"]["contents"][0];
    EXPECT_EQ(top.value("symbol_name", ""), "pluginCrash") << top.dump();
    EXPECT_EQ(top.value("object_name", ""), kPluginName);
    EXPECT_EQ(top["object_addr"], (*image)["image_addr"]);
    EXPECT_TRUE(contains(symbolNames(*crashed), "main"));
}

TEST(HostileCrash, ALibraryLoadedJustBeforeACrashElsewhereIsListed) {
    TempDirectory directory;
    const auto report = reportOfCrash(directory, "dlopen-then-crash", SIGSEGV);
    ASSERT_TRUE(report);
    EXPECT_NE(pluginImage(*report), nullptr);
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(symbolNames(*crashed).front(), "victimNullPointer");
    // Images come once each, in the loader's order: the executable first.
    const json& images = (*report)["binary_images"];
    ASSERT_FALSE(images.empty());
    EXPECT_NE(images[0]["name"].get<std::string>().find("skald-crash-victim"), std::string::npos);
    std::set<uint64_t> addresses;
    for (const json& image : images) {
        EXPECT_TRUE(addresses.insert(image["image_addr"].get<uint64_t>()).second) << image.dump();
    }
}

TEST(HostileCrash, ACrashInAnUnloadedLibrarysRangeLeavesAFullReport) {
    TempDirectory directory;
    std::string output;
    const auto report = reportOfCrash(directory, "dlclose-then-crash", SIGSEGV, &output);
    const auto at = output.find("stale-function ");
    ASSERT_NE(at, std::string::npos) << output;
    ASSERT_NE(output.find("unmapped", at), std::string::npos)
        << "the library stayed mapped: " << output;
    const uint64_t stale = std::stoull(output.substr(at + 15));
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["report"]["type"], "standard");
    EXPECT_EQ((*report)["crash"]["error"]["address"], stale);
    EXPECT_EQ(pluginImage(*report), nullptr) << "an unloaded library is not listed";
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    const json& top = (*crashed)["backtrace"]["contents"][0];
    EXPECT_EQ(top["instruction_addr"], stale);
    EXPECT_FALSE(top.contains("symbol_name")) << top.dump();
    EXPECT_FALSE(top.contains("object_name")) << top.dump();
    EXPECT_EQ((*crashed)["registers"]["basic"]["rip"], stale);
}

TEST(HostileCrash, TerminateWithoutAnExceptionStartsOutsideTheHandler) {
    TempDirectory directory;
    const auto report = reportOfCrash(directory, "terminate-without-exception", SIGABRT);
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["crash"]["error"]["type"], "cpp_exception");
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    // The C++ runtime's terminate comes first: the SDK's handler that
    // recorded the stack is not part of it.
    const json& top = (*crashed)["backtrace"]["contents"][0];
    EXPECT_EQ(top.value("object_name", "").rfind("libstdc++", 0), 0U) << crashed->dump(1);
}

TEST(HostileCrash, AnApplicationExceptionEventStartsAtTheHostsCode) {
    TempDirectory directory;
    runVictim(directory.path(), "app-exception");
    const auto report = onlyReport(directory.path());
    ASSERT_TRUE(report);
    // The report keeps every frame, the SDK's raise included.
    const json* crashed = crashedThread(*report);
    ASSERT_NE(crashed, nullptr);
    const auto names = symbolNames(*crashed);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front().rfind("_ZN5skald8platform12AppException5raise", 0), 0U)
        << names.front();

    // The event starts at the host's function that raised it.
    const auto event = crash::CrashReportConverter(*report, nullptr).convertReportToEvent();
    ASSERT_TRUE(event);
    ASSERT_EQ(event->exceptions.size(), 1U);
    const auto& stacktrace = event->exceptions[0]->stacktrace;
    ASSERT_TRUE(stacktrace);
    ASSERT_FALSE(stacktrace->frames.empty());
    EXPECT_EQ(stacktrace->frames.back()->function, "victimRaiseAppException");
}

}  // namespace
}  // namespace skald::test
