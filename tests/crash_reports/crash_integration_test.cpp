// The crash reporter and the crash integration in this process: each test
// runs in a process of its own, so each may install crash handling once.
#include "integrations/crash_integration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "crash/async_safe/report_paths.h"
#include "crash/recording/crash_core.h"
#include "crash/recording/monitor_activation.h"
#include "integrations/crash_reporter.h"
#include "skald/options.h"
#include "support/temp_directory.h"

namespace skald::crash {
namespace {

namespace fs = std::filesystem;

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
    registry::setDebuggerProbe([] { return false; });
    test::TempDirectory directory;
    Options options;
    options.cacheDirectoryPath = directory.path();

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

}  // namespace
}  // namespace skald::crash
