// The crash reporter and the crash integration in this process: each test
// runs in a process of its own, so each may install crash handling once.
#include "integrations/crash_integration.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "crash/async_safe/crash_attachments.h"
#include "crash/async_safe/crash_event_handler.h"
#include "crash/async_safe/report_paths.h"
#include "crash/recording/crash_core.h"
#include "crash/recording/monitor_activation.h"
#include "crash/recording/system_info.h"
#include "integrations/crash_installation.h"
#include "integrations/crash_reporter.h"
#include "skald/hub.h"
#include "skald/options.h"
#include "skald/platform/notification_center.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "support/temp_directory.h"

namespace skald::crash {
namespace {

namespace fs = std::filesystem;

/// Options that keep the cache in `directory`; no debugger is seen, so the
/// monitors come on.
Options crashOptions(const test::TempDirectory& directory) {
    registry::setDebuggerProbe([] { return false; });
    Options options;
    options.cacheDirectoryPath = directory.path();
    return options;
}

TEST(CrashReporter, WithoutABasePathNothingIsInstalled) {
    CrashReporter reporter(std::nullopt);
    EXPECT_FALSE(reporter.install());
    EXPECT_FALSE(core::isInstalled());
}

TEST(CrashReporter, ASlashInTheBundleNameBecomesADash) {
    test::TempDirectory directory;
    CrashReporter reporter(directory.path());
    reporter.setBundleName("A/B");
    EXPECT_EQ(reporter.installPath(), directory.path() + "/SkaldCrash/A-B");
    EXPECT_TRUE(reporter.install());
    char path[500];
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    EXPECT_EQ(fs::path(path).filename().string().rfind("A-B-report-", 0), 0U) << path;
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(directory.path()) / "SkaldCrash/A-B/Reports");
}

TEST(CrashIntegration, StartsOnceAndAfterUninstallRestoresTheMonitorsWithoutResending) {
    test::TempDirectory directory;
    Options options = crashOptions(directory);

    CrashIntegration first;
    ASSERT_TRUE(first.installWithOptions(options));
    const MonitorType active = registry::activeMonitors();
    EXPECT_NE(active & monitor_type::kSignal, 0U);
    EXPECT_NE(active & monitor_type::kCPPException, 0U);
    // A second start changes nothing.
    CrashIntegration second;
    ASSERT_TRUE(second.installWithOptions(options));
    EXPECT_EQ(registry::activeMonitors(), active);

    // A report that appears now is one of this process: a later start must
    // not send (and so delete) it.
    const fs::path reports = fs::path(CrashReporter::shared().installPath()) / "Reports";
    char path[500];
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    std::ofstream(path) << R"({"report":{"timestamp":1}})";

    second.uninstall();
    EXPECT_EQ(registry::activeMonitors(), 0U);
    CrashIntegration third;
    ASSERT_TRUE(third.installWithOptions(options));
    EXPECT_EQ(registry::activeMonitors(), active);
    EXPECT_TRUE(fs::exists(path));
    third.uninstall();
}

TEST(CrashIntegration, DoesNotInstallWithTheCrashHandlerOff) {
    test::TempDirectory directory;
    Options options;
    options.cacheDirectoryPath = directory.path();
    options.enableCrashHandler = false;
    CrashIntegration integration;
    EXPECT_FALSE(integration.installWithOptions(options));
    EXPECT_FALSE(core::isInstalled());
    EXPECT_EQ(registry::activeMonitors() & monitor_type::kSignal, 0U);
}

TEST(CrashIntegration, ALocaleChangeReachesTheDeviceContextUntilUninstalled) {
    test::TempDirectory directory;
    Options options = crashOptions(directory);
    const auto hub = SDK::currentHub();
    ASSERT_TRUE(hub);
    hub->scope()->setContextValue(Json{{"model", "bench-1"}}, "device");
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);

    CrashIntegration integration;
    ASSERT_TRUE(integration.installWithOptions(options));
    auto& center = platform::NotificationCenter::defaultCenter();
    center.postNotificationName(platform::kCurrentLocaleDidChangeNotification);
    Json device = hub->scope()->context()["device"];
    EXPECT_EQ(device["locale"], "de_DE");
    EXPECT_EQ(device["model"], "bench-1") << "the rest of the context stays";

    // After uninstall the integration no longer listens.
    integration.uninstall();
    ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
    center.postNotificationName(platform::kCurrentLocaleDidChangeNotification);
    EXPECT_EQ(hub->scope()->context()["device"]["locale"], "de_DE");
    ::unsetenv("LC_ALL");
}

TEST(CrashReporter, KeepsItsSettingsAndAnswersForItsSystemAndReports) {
    test::TempDirectory directory;
    CrashReporter reporter(directory.path());
    reporter.setDoNotIntrospectClasses({"Secret", "Token"});
    reporter.setDemangleLanguages(3);
    reporter.setPrintPreviousLog(true);
    EXPECT_EQ(reporter.doNotIntrospectClasses(), (std::vector<std::string>{"Secret", "Token"}));
    EXPECT_EQ(reporter.demangleLanguages(), 3U);
    EXPECT_TRUE(reporter.printPreviousLog());

    systeminfo::enable();
    const Json info = reporter.systemInfo();
    EXPECT_EQ(info.value("systemName", ""), "Linux");
    EXPECT_GT(info.value("memorySize", uint64_t{0}), 0U);
    EXPECT_EQ(info.value("processID", 0), static_cast<int>(::getpid()));

    ASSERT_TRUE(reporter.install());
    EXPECT_FALSE(reporter.reportWithID(12345));
    char path[500];
    ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
    std::ofstream(path) << R"({"report":{"id":"x","timestamp":1},"crash":{"threads":[]}})";
    const auto ids = reporter.reportIDs();
    ASSERT_EQ(ids.size(), 1U);
    const auto report = reporter.reportWithID(ids.front());
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["report"]["id"], "x");
}

TEST(CrashInstallation, InstallMakesItsZeroedDataActiveAndHandsTheReporterItsHook) {
    registry::setDebuggerProbe([] { return false; });
    test::TempDirectory directory;
    auto first = std::make_unique<InstallationReporter>(nullptr, nullptr, nullptr);
    InstallationReporter second(nullptr, nullptr, nullptr);
    EXPECT_EQ(first->crashHandlerData().size(), 4016U);
    for (const uint8_t byte : first->crashHandlerData()) ASSERT_EQ(byte, 0);
    EXPECT_EQ(Installation::activeCrashHandlerData(), nullptr);
    CrashReporter& reporter = CrashReporter::shared();
    EXPECT_FALSE(reporter.hasOnCrash());

    first->install(directory.path());
    EXPECT_EQ(Installation::activeCrashHandlerData(), &first->crashHandlerData());
    EXPECT_TRUE(reporter.hasOnCrash());
    second.install(directory.path());
    EXPECT_EQ(Installation::activeCrashHandlerData(), &second.crashHandlerData());

    // Uninstalling the one that is not active leaves the active one's data.
    first->uninstall();
    EXPECT_EQ(Installation::activeCrashHandlerData(), &second.crashHandlerData());
    first->install(directory.path());
    EXPECT_TRUE(reporter.hasOnCrash());
    first.reset();
    EXPECT_EQ(Installation::activeCrashHandlerData(), nullptr) << "no pointer to freed data";
    EXPECT_FALSE(reporter.hasOnCrash());

    second.install(directory.path());
    second.uninstall();
    EXPECT_EQ(Installation::activeCrashHandlerData(), nullptr);
    EXPECT_FALSE(reporter.hasOnCrash());
}

TEST(CrashIntegration, TheScopesAttachmentsReachTheCrashTimeWriterUntilUninstalled) {
    test::TempDirectory directory;
    Options options = crashOptions(directory);
    const auto hub = SDK::currentHub();
    ASSERT_TRUE(hub);
    // One from before the start and one from after it.
    hub->scope()->addAttachment(Attachment::fromData("early", "early.txt"));
    CrashIntegration integration;
    ASSERT_TRUE(integration.installWithOptions(options));
    EXPECT_TRUE(handler::hasAttachmentCallback());
    hub->scope()->addAttachment(Attachment::fromData("late", "late.txt"));

    test::TempDirectory written;
    writeCrashAttachments(written.path().c_str());
    std::ifstream early(written.file("early.txt"));
    std::ifstream late(written.file("late.txt"));
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(early)), {}), "early");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(late)), {}), "late");

    hub->scope()->clearAttachments();
    test::TempDirectory cleared;
    writeCrashAttachments(cleared.path().c_str());
    EXPECT_TRUE(fs::is_empty(cleared.path()));

    hub->scope()->addAttachment(Attachment::fromData("again", "again.txt"));
    integration.uninstall();
    EXPECT_FALSE(handler::hasAttachmentCallback());
    test::TempDirectory after;
    writeCrashAttachments(after.path().c_str());
    EXPECT_TRUE(fs::is_empty(after.path()));
}

TEST(CrashReporter, SendingChosenReportsSendsAndDeletesOnlyThose) {
    test::TempDirectory directory;
    CrashReporter reporter(directory.path());
    ASSERT_TRUE(reporter.install());
    std::vector<uint64_t> ids;
    for (const char* name : {"earlier", "later"}) {
        char path[500];
        ASSERT_TRUE(nextCrashReportPath(path, sizeof path));
        std::ofstream(path) << R"({"report":{"id":")" << name
                            << R"(","timestamp":1},"crash":{"threads":[]}})";
        ids = reporter.reportIDs();
    }
    ASSERT_EQ(ids.size(), 2U);

    struct Recorder : CrashReportFilter {
        void filterReports(std::vector<Json> reports,
                           CrashReportFilterCompletion onCompletion) override {
            for (const auto& report : reports) seen.push_back(report["report"]["id"]);
            onCompletion(std::move(reports), true, std::nullopt);
        }
        std::vector<std::string> seen;
    };
    auto recorder = std::make_shared<Recorder>();
    reporter.setSink(recorder);
    // The first report, and one that is gone by now: it is skipped.
    reporter.sendReportsWithIDs({ids.front(), 0xdeadbeef}, nullptr);
    EXPECT_EQ(recorder->seen, std::vector<std::string>{"earlier"});
    EXPECT_EQ(reporter.reportIDs(), std::vector<uint64_t>{ids.back()});
}

}  // namespace
}  // namespace skald::crash
