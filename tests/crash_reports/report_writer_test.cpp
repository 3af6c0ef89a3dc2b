// The report writer on records made up in the test, read back as plain JSON.
#include "crash/async_safe/report_writer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "crash/async_safe/monitor_registry.h"
#include "crash/recording/crash_snapshot_setters.h"
#include "support/temp_directory.h"

namespace skald::crash {
namespace {

using nlohmann::json;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream input(path);
    std::stringstream text;
    text << input.rdbuf();
    return text.str();
}

json readReport(const std::filesystem::path& path) {
    return json::parse(readFile(path), nullptr, false);
}

MonitorContext appExceptionContext(MachineContext* machineContext) {
    MonitorContext context{};
    std::snprintf(context.eventID, sizeof context.eventID, "%s",
                  "01234567-89AB-CDEF-0123-456789ABCDEF");
    getContextForCurrentThread(machineContext, true);
    context.offendingMachineContext = machineContext;
    context.crashType = monitor_type::kNSException;
    context.NSException.name = "VictimException";
    context.NSException.userInfo = R"({"answer":42})";
    context.exceptionName = "VictimException";
    context.crashReason = "gave up";
    context.mach.type = 10;
    context.signal.signum = SIGABRT;
    return context;
}

class ReportWriterTest : public ::testing::Test {
  protected:
    void TearDown() override {
        scope::clear();
        writer::setUserInfoJSON(nullptr);
    }
    test::TempDirectory directory_;
};

TEST_F(ReportWriterTest, AnApplicationExceptionReportHasItsErrorSection) {
    MachineContext machineContext{};
    const MonitorContext context = appExceptionContext(&machineContext);
    const auto path = std::filesystem::path(directory_.path()) / "report.json";
    writer::writeStandardReport(&context, path.c_str());

    const json report = readReport(path);
    ASSERT_FALSE(report.is_discarded()) << readFile(path).substr(0, 2000);
    const json& error = report["crash"]["error"];
    EXPECT_EQ(error["mach"]["exception"], 10);
    EXPECT_EQ(error["mach"]["exception_name"], "EXC_CRASH");
    EXPECT_EQ(error["mach"]["code"], 0);
    EXPECT_FALSE(error["mach"].contains("code_name"));
    EXPECT_EQ(error["signal"]["signal"], 6);
    EXPECT_EQ(error["signal"]["name"], "SIGABRT");
    EXPECT_EQ(error["type"], "nsexception");
    EXPECT_EQ(error["nsexception"]["name"], "VictimException");
    EXPECT_EQ(error["nsexception"]["userInfo"], R"({"answer":42})");
    EXPECT_EQ(error["nsexception"]["reason"], "gave up");
    EXPECT_EQ(error["reason"], "gave up");
    EXPECT_EQ(report["report"]["id"], "01234567-89AB-CDEF-0123-456789ABCDEF");

    // Sections in their order.
    std::vector<std::string> keys;
    for (const auto& item : report.items()) keys.push_back(item.key());
    const std::vector<std::string> ordered = {"report", "binary_images",   "process", "system",
                                              "crash",  "skald_sdk_scope", "user",    "debug"};
    const std::string text = readFile(path);
    size_t last = 0;
    for (const auto& key : ordered) {
        const size_t at = text.find("\"" + key + "\":");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key << " is out of order";
        last = at;
    }
}

TEST_F(ReportWriterTest, AMonitorThatCannotCauseEventsWritesNoType) {
    MachineContext machineContext{};
    MonitorContext context = appExceptionContext(&machineContext);
    context.crashType = monitor_type::kApplicationState;
    const auto path = std::filesystem::path(directory_.path()) / "report.json";
    writer::writeStandardReport(&context, path.c_str());
    const json report = readReport(path);
    ASSERT_FALSE(report.is_discarded());
    EXPECT_FALSE(report["crash"]["error"].contains("type"));
}

TEST_F(ReportWriterTest, UserInfoAndScopeAreEmbeddedAndBadJSONIsExplained) {
    writer::setUserInfoJSON(R"({"build":"nightly"})");
    scope::setField(scope::Field::Level, R"("fatal")");
    scope::setField(scope::Field::Context, R"({"app":{"name":"x"})");  // one brace short
    MachineContext machineContext{};
    const MonitorContext context = appExceptionContext(&machineContext);
    const auto path = std::filesystem::path(directory_.path()) / "report.json";
    writer::writeStandardReport(&context, path.c_str());

    const json report = readReport(path);
    ASSERT_FALSE(report.is_discarded()) << readFile(path).substr(0, 3000);
    EXPECT_EQ(report["user"]["build"], "nightly");
    EXPECT_EQ(report["skald_sdk_scope"]["level"], "fatal");
    const json& context_ = report["skald_sdk_scope"]["context"];
    EXPECT_EQ(context_["json_data"], R"({"app":{"name":"x"})");
    EXPECT_EQ(context_["error"].get<std::string>().rfind("Invalid JSON data: ", 0), 0U);
    EXPECT_FALSE(report["skald_sdk_scope"].contains("breadcrumbs"));
}

TEST_F(ReportWriterTest, ARecrashReportEmbedsTheCompleteSectionsOfAPartialReport) {
    const auto path = std::filesystem::path(directory_.path()) / "report.json";
    {
        std::ofstream partial(path);
        partial << R"({
  "report": {"version": "3.2.0", "type": "standard", "timestamp": 5},
  "binary_images": [{"name": "/bin/true", "image_addr": 4096}],
  "process": {},
  "system": {"system_name": null, "application_stats": {"application_active": false}},
  "crash": {"error": {"mach": {"exception": 1, "exc)";
    }
    MachineContext machineContext{};
    const MonitorContext context = appExceptionContext(&machineContext);
    writer::writeRecrashReport(&context, path.c_str());

    const json report = readReport(path);
    ASSERT_FALSE(report.is_discarded()) << readFile(path);
    const json& first = report["recrash_report"];
    EXPECT_EQ(first["report"]["type"], "standard");
    EXPECT_EQ(first["binary_images"][0]["name"], "/bin/true");
    EXPECT_TRUE(first["system"].contains("application_stats"));
    EXPECT_EQ(report["report"]["type"], "minimal");
    EXPECT_EQ(report["crash"]["error"]["type"], "nsexception");
    EXPECT_TRUE(report["crash"]["crashed_thread"]["crashed"].get<bool>());
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".old"));
}

TEST_F(ReportWriterTest, AnUnwritablePathWritesNothingAndDoesNotCrash) {
    MachineContext machineContext{};
    const MonitorContext context = appExceptionContext(&machineContext);
    const auto path = std::filesystem::path(directory_.path()) / "missing" / "report.json";
    writer::writeStandardReport(&context, path.c_str());
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace skald::crash
