#include <gtest/gtest.h>

#include "installer/url_helpers.h"
#include "installer_fixture.h"
#include "skald/platform/main_queue.h"
#include "skald/platform/notification_center.h"
#include "skald/platform/task.h"
#include "skald/platform/url_session.h"

namespace vantorel::test {
namespace {

using skald::app::ScriptedEvent;

// --- Download URL ---------------------------------------------------------------

class DownloadUrlTest : public ::testing::Test {
  protected:
    void TearDown() override {
        ::unsetenv("VANTOREL_HOST");
        ::unsetenv("VANTOREL_BUILD");
    }
    std::string url() { return ViewController(InstallerSettings()).downloadUrl(); }
};

TEST_F(DownloadUrlTest, HostFollowsOnlyTheExactSelectors) {
    const std::string query = "/download?v2=true&platform=mac&arch=x64";
    EXPECT_EQ(url(), "https://downloads.vantorel.com" + query);
    for (const char* other : {"", "Beta", "STAGING", "prod"}) {
        ::setenv("VANTOREL_HOST", other, 1);
        EXPECT_EQ(url(), "https://downloads.vantorel.com" + query) << other;
    }
    ::setenv("VANTOREL_HOST", "beta", 1);
    EXPECT_EQ(url(), "https://beta.downloads.vantorel.com" + query);
    ::setenv("VANTOREL_HOST", "staging", 1);
    EXPECT_EQ(url(), "https://staging.downloads.vantorel.com" + query);
}

TEST_F(DownloadUrlTest, BuildIsAFourthItemWhenSetEvenEmpty) {
    ::setenv("VANTOREL_BUILD", "nightly 7", 1);
    EXPECT_EQ(
        url(),
        "https://downloads.vantorel.com/download?v2=true&platform=mac&arch=x64&build=nightly%207");
    ::setenv("VANTOREL_BUILD", "", 1);
    EXPECT_EQ(url(),
              "https://downloads.vantorel.com/download?v2=true&platform=mac&arch=x64&build=");
}

TEST(InstallerHelpers, MachineNameAndUrlPieces) {
    EXPECT_EQ(ViewController::getMachineHardwareName(), "x64");
    EXPECT_EQ(debugAbsoluteString(std::nullopt), "Unknown absolute string");
    EXPECT_EQ(fileUrlForPath("/tmp/a b/V.dmg"), "file:///tmp/a%20b/V.dmg");
    EXPECT_EQ(pathExtensionOfUrl("http://h:1/files/Vantorel-1.0.ZIP?x=1"), "ZIP");
    EXPECT_EQ(pathExtensionOfUrl("http://h:1/download"), "");
    EXPECT_EQ(pathExtensionOfUrl("http://h.example.com/"), "");
}

// --- Whole runs -----------------------------------------------------------------------

class InstallerRunTest : public InstallerFixture {};

TEST_F(InstallerRunTest, ProgressFollowsKnownSizesOnly) {
    settings.developmentOrigin = "http://127.0.0.1:9";  // nothing downloads
    auto& center = skald::platform::NotificationCenter::defaultCenter();
    const int code = runInstaller(std::chrono::seconds(20), [&](ViewController& controller) {
        center.addObserver(this, skald::platform::kApplicationDidFinishLaunchingNotification,
                           nullptr, [&controller](const skald::platform::Notification&) {
                               auto session = controller.session();
                               auto task = session->downloadTaskWithUrl("http://127.0.0.1:9/other");
                               controller.didWriteData(*session, *task, 250, 250, 1000);
                               controller.didWriteData(
                                   *session, *task, 500, 750,
                                   skald::platform::kUrlSessionTransferSizeUnknown);
                               skald::platform::MainQueue::async(
                                   [] { skald::app::Application::shared()->terminate(); });
                           });
    });
    center.removeObserver(this);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(frontend->progressValues(), (std::vector<double>{25.0})) << frontend->describe();
}

TEST_F(InstallerRunTest, DiskImageInstallLaunchesAndQuitsAfterTheDelay) {
    startService();
    settings.quitDelaySeconds = 2.5;
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    EXPECT_FALSE(timedOut) << frontend->describe();
    EXPECT_TRUE(fs::exists(root / "Applications" / "Vantorel.app" / "Contents" / "Info.plist"));
    EXPECT_TRUE(appLaunched());
    // The download is removed after the copy; nothing was reported.
    EXPECT_FALSE(fs::exists(root / "data" / "Vantorel" / "Vantorel.dmg"));
    EXPECT_TRUE(receivedEvents().empty());
    EXPECT_GE(ended - started, std::chrono::milliseconds(2500));
    const auto labels = frontend->labelTexts();
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.back(), "Installing Vantorel...");
    const auto progress = frontend->progressValues();
    ASSERT_FALSE(progress.empty());
    EXPECT_DOUBLE_EQ(progress.back(), 100.0);
    EXPECT_TRUE(frontend->alerts().empty());
}

TEST_F(InstallerRunTest, ZipInstallReplacesAnExistingCopy) {
    startService([](auto& config) { config.format = "zip"; });
    const auto existing = root / "Applications" / "Vantorel.app";
    fs::create_directories(existing / "Contents");
    std::ofstream(existing / "Contents" / "old-file") << "old";
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    EXPECT_TRUE(fs::exists(existing / "Contents" / "MacOS" / "Vantorel"));
    EXPECT_FALSE(fs::exists(existing / "Contents" / "old-file"));
    // Nothing is left beside the installed copy.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root / "Applications"))
        ++entries;
    EXPECT_EQ(entries, 1u);
    EXPECT_TRUE(appLaunched());
}

TEST_F(InstallerRunTest, FallsBackToTheUsersFolderWhenTheSystemFolderIsUnusable) {
    startService();
    // A folder below a plain file cannot be written, even by root.
    std::ofstream(root / "not-a-folder") << "x";
    settings.applicationsFolder = (root / "not-a-folder" / "Applications").string();
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    EXPECT_TRUE(fs::exists(root / "home" / "Applications" / "Vantorel.app" / "Contents"));
    EXPECT_TRUE(receivedEvents().empty());  // the first failure is not reported
    EXPECT_TRUE(appLaunched());
}

TEST_F(InstallerRunTest, ADroppedTransferStartsAgainFromZero) {
    startService([](auto& config) { config.dropFirst = 1; });
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    EXPECT_GE(service->fileRequests(), 2);
    EXPECT_TRUE(fs::exists(root / "Applications" / "Vantorel.app"));
    EXPECT_TRUE(receivedEvents().empty());
}

TEST_F(InstallerRunTest, AnArchiveWithoutAppIsReportedWithItsTagAndBreadcrumbs) {
    startService([](auto& config) {
        config.format = "zip";
        config.serveArchiveWithoutApp = true;
    });
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    ASSERT_TRUE(receiver->waitForEnvelopes(1, std::chrono::seconds(10)));
    const auto events = receivedEvents();
    ASSERT_EQ(events.size(), 1u);
    const auto& event = events[0];
    EXPECT_EQ(event["tags"]["error-type"], "find-app-bundle");
    EXPECT_EQ(event["level"], "error");
    EXPECT_EQ(event["message"]["formatted"], "No .app found in directory");
    EXPECT_EQ(event["extra"]["domain"], "com.vantorel");
    EXPECT_EQ(event["extra"]["code"], 1001);
    EXPECT_EQ(event["extra"]["localizedDescription"], "No .app found in directory");
    EXPECT_FALSE(event.contains("exception"));
    EXPECT_EQ(breadcrumbMessages(event),
              (std::vector<std::string>{"Download finished", "Creating download data folder"}));
    EXPECT_EQ(ownBreadcrumbs(event)[0]["category"], "Vantorel");
    // The SDK's start marker comes before everything the installer records.
    EXPECT_EQ(event["breadcrumbs"][0]["category"], "started");
    // The error modal offers the browser, which gets the download URL.
    ASSERT_EQ(frontend->alerts().size(), 1u);
    EXPECT_EQ(frontend->alerts()[0].request.buttons,
              (std::vector<std::string>{"Download in Safari"}));
    EXPECT_NE(openedUrls().find("/download?v2=true&platform=mac&arch=x64"), std::string::npos);
}

TEST_F(InstallerRunTest, ADownloadThatIsNoDiskImageFailsToParseTheMountOutput) {
    startService([](auto& config) { config.serveNonArchive = true; });
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    ASSERT_TRUE(receiver->waitForEnvelopes(1, std::chrono::seconds(10)));
    const auto events = receivedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["tags"]["error-type"], "parse-mount-output");
    EXPECT_FALSE(fs::exists(root / "Applications" / "Vantorel.app"));
}

TEST_F(InstallerRunTest, AnUnwritableDataFolderIsReported) {
    startService();
    std::ofstream(root / "blocked") << "x";
    settings.applicationSupportDirectory = (root / "blocked").string();
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    ASSERT_TRUE(receiver->waitForEnvelopes(1, std::chrono::seconds(10)));
    const auto events = receivedEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["tags"]["error-type"], "create-app-support-dir");
    EXPECT_EQ(events[0]["extra"]["domain"], "NSCocoaErrorDomain");
    EXPECT_TRUE(events[0]["extra"].contains("filePath"));
}

TEST_F(InstallerRunTest, UnsupportedExtensionShowsTheModalWithoutReport) {
    // Nothing downloads: the session waits for a service that never comes.
    settings.developmentOrigin = "http://127.0.0.1:9";
    const auto tar = root / "data" / "Vantorel.tar";
    std::ofstream(tar) << "not installable";
    auto& center = skald::platform::NotificationCenter::defaultCenter();
    const auto installOnLaunch = [&](ViewController& controller) {
        center.addObserver(this, skald::platform::kApplicationDidFinishLaunchingNotification,
                           nullptr, [&controller, tar](const skald::platform::Notification&) {
                               controller.installApp(fileUrlForPath(tar.string()));
                           });
    };
    const int code = runInstaller(std::chrono::seconds(20), installOnLaunch);
    center.removeObserver(this);
    ASSERT_EQ(code, 0);
    EXPECT_FALSE(timedOut);
    ASSERT_EQ(frontend->alerts().size(), 1u);
    EXPECT_NE(frontend->alerts()[0].request.messageText.find("cannot automatically install"),
              std::string::npos);
    EXPECT_FALSE(openedUrls().empty());
    skald::SDK::flush(2);
    EXPECT_TRUE(receivedEvents().empty());
    EXPECT_TRUE(fs::exists(tar));
}

TEST_F(InstallerRunTest, CrashAlertDownloadInSafariOpensTheBrowserAndQuits) {
    startService();
    crashed = true;
    responses = {skald::app::kAlertSecondButtonReturn};
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    ASSERT_GE(frontend->alerts().size(), 1u);
    const auto& alert = frontend->alerts()[0].request;
    EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Try again", "Download in Safari"}));
    EXPECT_NE(alert.messageText.find("quit unexpectedly the last time it ran"), std::string::npos);
    EXPECT_NE(openedUrls().find("/download?"), std::string::npos);
    EXPECT_LT(ended - started, std::chrono::seconds(10));
}

TEST_F(InstallerRunTest, CrashAlertTryAgainLetsTheDownloadFinish) {
    startService();
    crashed = true;
    responses = {skald::app::kAlertFirstButtonReturn};
    ASSERT_EQ(runInstaller(), 0) << frontend->describe();
    EXPECT_TRUE(openedUrls().empty());
    EXPECT_TRUE(fs::exists(root / "Applications" / "Vantorel.app"));
}

TEST_F(InstallerRunTest, RunningInstanceSheetAsksAgainThenCancelQuits) {
    // A running copy of the product, launched from its own bundle.
    const auto bundle = root / "running" / "Vantorel.app";
    fs::create_directories(bundle.parent_path());
    fs::copy(VANTOREL_DEMO_APP_DIR, bundle, fs::copy_options::recursive);
    ::setenv("VANTOREL_APP_LIFETIME", "0", 1);
    auto running = std::make_shared<skald::platform::Task>();
    running->setLaunchPath((bundle / "Contents" / "MacOS" / "Vantorel").string());
    running->setStandardOutput(skald::platform::Task::Stream::NullDevice);
    ASSERT_FALSE(running->launch());
    ::setenv("VANTOREL_APP_LIFETIME", "1", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    startService();
    settings.productBundleIdentifier = "com.vantorel.tidewheel";
    responses = {skald::app::kAlertFirstButtonReturn, skald::app::kAlertSecondButtonReturn};
    const int code = runInstaller();
    running->terminate();
    running->waitUntilExit();
    ASSERT_EQ(code, 0);
    const auto alerts = frontend->alerts();
    ASSERT_GE(alerts.size(), 2u) << frontend->describe();
    EXPECT_EQ(alerts[0].request.messageText, "Vantorel is already running");
    EXPECT_TRUE(alerts[0].request.sheet);
    EXPECT_EQ(alerts[1].request.messageText, "Vantorel is already running");
    EXPECT_EQ(alerts[1].response, skald::app::kAlertSecondButtonReturn);
}

}  // namespace
}  // namespace vantorel::test
