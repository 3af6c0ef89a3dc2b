// The installer as people run it: a program of its own that installs,
// launches the product and quits. Once it has quit on its own (2.5 s after the
// launch), the process must be gone within a second, whatever the frontend.
#include <sys/wait.h>

#include <chrono>

#include "installer/installer_fixture.h"
#include "support/xvfb.h"

namespace vantorel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class InstallerExit : public InstallerFixture {
  protected:
    /// Runs the bundled installer with `frontend`; checks its exit status and
    /// how long after the product's launch it was gone.
    void installAndQuit(const std::string& frontend) {
        startService();
        const fs::path appLog = root / "data" / "Vantorel" / "app.log";
        const pid_t child = startInstallerProcess({}, frontend);
        ASSERT_GT(child, 0);

        std::optional<Clock::time_point> launched;
        int status = 0;
        const auto limit = Clock::now() + 60s;
        for (;;) {
            if (::waitpid(child, &status, WNOHANG) == child) break;
            if (!launched && fs::exists(appLog)) launched = Clock::now();
            if (Clock::now() > limit) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                FAIL() << "the installer did not end: " << installerLog();
            }
            std::this_thread::sleep_for(1ms);
        }
        const auto exited = Clock::now();
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status << ": " << installerLog();
        EXPECT_EQ(WEXITSTATUS(status), 0) << installerLog();
        ASSERT_TRUE(launched) << "the product was never launched: " << installerLog();
        // The product writes its log a little after the installer launched it,
        // so this is, if anything, stricter than a second after the quit.
        EXPECT_LT(exited - *launched, 2500ms + 1s) << installerLog();
    }
};

TEST_F(InstallerExit, TheTerminalFrontendEndsRightAfterQuitting) {
    installAndQuit("terminal");
}

TEST_F(InstallerExit, TheScriptedFrontendEndsRightAfterQuitting) {
    installAndQuit("scripted");
}

TEST_F(InstallerExit, TheGtkWindowEndsRightAfterQuitting) {
    if (!skald::test::Xvfb::installed()) GTEST_SKIP() << "Xvfb is not installed";
    const std::string& display = skald::test::Xvfb::shared().display();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
    installAndQuit("gtk");
    ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace vantorel::test
