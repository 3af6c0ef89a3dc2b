// A crash of the installer, made on purpose in a child process, leads to the
// crash alert at its next start, with the answers the alert offers.
#include "installer/installer_fixture.h"

namespace vantorel::test {
namespace {

class InstallerCrash : public InstallerFixture {
  protected:
    /// Runs the real installer binary with the fixture's settings until it
    /// crashes on purpose right after starting the SDK; gives its exit signal.
    int crashInstallerOnce() {
        const pid_t child = startInstallerProcess({"VANTOREL_DEV_CRASH_AFTER_START=1"});
        if (child < 0) return -1;
        const int status = waitForProcess(child, std::chrono::seconds(60));
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    /// The crash alert, asked through the SDK's real answer.
    int runWithRealCrashState() {
        return runInstaller(std::chrono::seconds(40), [](ViewController& controller) {
            controller.crashedLastRun = [] { return skald::SDK::crashedLastRun(); };
        });
    }

    bool crashAlertShown() {
        for (const auto& alert : frontend->alerts())
            if (alert.request.messageText.find("quit unexpectedly") != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(InstallerCrash, DownloadInSafariAfterACrashOpensTheBrowserAndQuits) {
    startService();
    ASSERT_EQ(crashInstallerOnce(), SIGSEGV);
    responses = {skald::app::kAlertSecondButtonReturn};
    runWithRealCrashState();
    EXPECT_TRUE(crashAlertShown()) << frontend->describe();
    std::ifstream opened(this->opened);
    std::string url;
    std::getline(opened, url);
    EXPECT_NE(url.find("/download"), std::string::npos) << url;
    EXPECT_TRUE(frontend->terminated());
    // The crash itself reached the service at this start.
    bool fatal = false;
    for (const auto& event : receivedEvents()) fatal |= event.value("level", "") == "fatal";
    EXPECT_TRUE(fatal);
}

TEST_F(InstallerCrash, TryAgainAfterACrashInstallsAsUsual) {
    startService();
    ASSERT_EQ(crashInstallerOnce(), SIGSEGV);
    responses = {skald::app::kAlertFirstButtonReturn};
    EXPECT_EQ(runWithRealCrashState(), 0) << frontend->describe();
    EXPECT_TRUE(crashAlertShown());
    EXPECT_TRUE(fs::exists(root / "Applications" / "Vantorel.app")) << frontend->describe();
}

TEST_F(InstallerCrash, NoAlertWithoutACrash) {
    startService();
    runWithRealCrashState();
    EXPECT_FALSE(crashAlertShown());
}

}  // namespace
}  // namespace vantorel::test
