// The installer is an application bundle: run from it, its reports carry the
// bundle's release, dist and app context, and its own frames are in-app.
#include "installer/installer_fixture.h"
#include "skald/platform/bundle.h"

namespace vantorel::test {
namespace {

// The installer's code runs in this test program too: it does so with the
// installer's identity, as the real program has it (the crash reporter keeps
// its data under the bundle's name, which a child installer shares).
class InstallerIdentityEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { skald::platform::Bundle::setMainInfoDictionary(installerInfo()); }
};
const auto* const gIdentity = ::testing::AddGlobalTestEnvironment(new InstallerIdentityEnvironment);

std::string infoText(const skald::Json& info, const char* key) {
    const auto it = info.find(key);
    return it != info.end() && it->is_string() ? it->get<std::string>() : std::string();
}

TEST(InstallerBundle, IsLaidOutAsAnApplicationBundle) {
    const auto bundle = skald::platform::Bundle::atPath(VANTOREL_INSTALLER_BUNDLE);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(fs::path(VANTOREL_INSTALLER_BUNDLE).filename(), "Vantorel Installer.app");
    ASSERT_TRUE(bundle->infoDictionary());
    EXPECT_EQ(bundle->bundleIdentifier(), "com.vantorel.installer");
    for (const char* key : {"CFBundleShortVersionString", "CFBundleVersion", "CFBundleName"})
        EXPECT_FALSE(bundle->infoText(key).value_or("").empty()) << key;
    // The program the tests start is the bundle's own executable.
    ASSERT_TRUE(bundle->executablePath());
    EXPECT_EQ(fs::canonical(*bundle->executablePath()), fs::canonical(VANTOREL_INSTALLER_PATH));
}

using InstallerIdentity = InstallerFixture;

TEST_F(InstallerIdentity, AnErrorOfTheBundledInstallerCarriesItsReleaseDistAndInAppFrames) {
    // A disk image without an application: the bundled program finds its
    // disk-image helper, then reports "find-app-bundle".
    startService([](auto& config) { config.serveArchiveWithoutApp = true; });
    const pid_t child = startInstallerProcess();
    ASSERT_GT(child, 0);
    const bool received = receiver->waitForEnvelopes(1, std::chrono::seconds(40));
    waitForProcess(child, std::chrono::seconds(received ? 10 : 0));
    ASSERT_TRUE(received) << installerLog();

    const auto events = receivedEvents();
    ASSERT_EQ(events.size(), 1u) << installerLog();
    const auto& event = events[0];
    EXPECT_EQ(event["tags"]["error-type"], "find-app-bundle");

    const skald::Json info = installerInfo();
    const std::string identifier = infoText(info, "CFBundleIdentifier");
    const std::string version = infoText(info, "CFBundleShortVersionString");
    const std::string build = infoText(info, "CFBundleVersion");
    ASSERT_FALSE(identifier.empty() || version.empty() || build.empty()) << info.dump();
    EXPECT_EQ(event.value("release", ""), identifier + "@" + version + "+" + build);
    EXPECT_EQ(event.value("dist", ""), build);

    const auto& app = event["contexts"]["app"];
    EXPECT_EQ(app.value("app_identifier", ""), identifier) << app.dump();
    EXPECT_EQ(app.value("app_name", ""), infoText(info, "CFBundleName"));
    EXPECT_EQ(app.value("app_version", ""), version);
    EXPECT_EQ(app.value("app_build", ""), build);

    // The capturing thread's frames: those of the installer's executable are
    // in-app, those of the system's libraries are not.
    const std::string executable = fs::canonical(VANTOREL_INSTALLER_PATH).string();
    int inApp = 0;
    int others = 0;
    for (const auto& thread : event["threads"]["values"]) {
        if (!thread.contains("stacktrace")) continue;
        for (const auto& frame : thread["stacktrace"]["frames"]) {
            const std::string package = frame.value("package", "");
            if (package == executable) {
                EXPECT_EQ(frame.value("in_app", false), true) << frame.dump();
                ++inApp;
            } else {
                EXPECT_FALSE(frame.value("in_app", false)) << frame.dump();
                ++others;
            }
        }
    }
    EXPECT_GT(inApp, 0) << event["threads"].dump();
    EXPECT_GT(others, 0) << "the C library's frames are there too";
}

}  // namespace
}  // namespace vantorel::test
