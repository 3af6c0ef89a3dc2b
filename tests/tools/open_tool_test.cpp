// skald-open launching the built Vantorel.app, and the app being seen running.
#include <gtest/gtest.h>
#include <signal.h>

#include "installer_tools_support.h"
#include "skald/platform/workspace.h"
#include "support/eventually.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;
using platform::Task;
using platform::Workspace;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class OpenToolTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::copy(builtApp(), bundle, fs::copy_options::recursive); }
    void TearDown() override {
        for (const auto& app :
             Workspace::runningApplicationsWithBundleIdentifier("com.vantorel.tidewheel")) {
            if (app.bundlePath == bundle.string()) ::kill(app.processIdentifier, SIGTERM);
        }
    }
    Task::Result open(const std::vector<std::string>& arguments,
                      const std::string& lifetime = "30") {
        return Task::run(tool, arguments,
                         environmentWith({{"XDG_DATA_HOME", (scratch / "data").string()},
                                          {"VANTOREL_APP_LIFETIME", lifetime}}));
    }

    ScratchDirectory scratch;
    fs::path bundle = scratch / "Vantorel.app";
    fs::path marker = scratch / "data" / "Vantorel" / "launched";
    std::string tool = builtTool("skald-open");
};

TEST_F(OpenToolTest, LaunchesTheBundlesExecutableDetachedAndReturnsAtOnce) {
    const auto started = std::chrono::steady_clock::now();
    const auto result = open({"-a", bundle.string()});
    ASSERT_TRUE(result.succeeded()) << result.standardError;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "does not wait for the app";

    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    const std::string launched = readFile(marker);
    EXPECT_NE(launched.find("bundle " + bundle.string() + "\n"), std::string::npos) << launched;
    EXPECT_NE(launched.find("version 1.0.0\n"), std::string::npos) << launched;
    const pid_t pid = std::stoi(launched.substr(launched.find("pid ") + 4));

    // The running-applications query sees it, as the installer's check would.
    const auto running =
        Workspace::runningApplicationsWithBundleIdentifier("com.vantorel.tidewheel");
    const auto found = std::find_if(running.begin(), running.end(),
                                    [&](const auto& app) { return app.processIdentifier == pid; });
    ASSERT_NE(found, running.end());
    EXPECT_EQ(found->bundlePath, bundle.string());
    EXPECT_EQ(found->localizedName, "Vantorel");
    EXPECT_EQ(::getsid(pid), pid) << "detached into a session of its own";

    ::kill(pid, SIGTERM);
    EXPECT_TRUE(eventually([&] {
        return readFile(scratch / "data" / "Vantorel" / "app.log")
                   .find("stopped pid " + std::to_string(pid)) != std::string::npos;
    }));
    EXPECT_TRUE(eventually([&] {
        for (const auto& app :
             Workspace::runningApplicationsWithBundleIdentifier("com.vantorel.tidewheel")) {
            if (app.processIdentifier == pid) return false;
        }
        return true;
    }));
}

TEST_F(OpenToolTest, FilesAndArgumentsArePassedOn) {
    ASSERT_TRUE(
        open({"-a", bundle.string(), "file:///tmp/a", "--args", "--flag"}, "1").succeeded());
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    EXPECT_NE(readFile(marker).find("arguments file:///tmp/a --flag\n"), std::string::npos)
        << readFile(marker);
}

TEST_F(OpenToolTest, WhatCannotBeLaunchedIsAnErrorWithAMessage) {
    const auto missing = open({"-a", (scratch / "Nowhere.app").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.standardError.find("Unable to find application"), std::string::npos);

    const fs::path noInfo = scratch / "Broken.app";
    fs::create_directories(noInfo / "Contents" / "MacOS");
    const auto broken = open({"-a", noInfo.string()});
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.standardError.find("Info.plist"), std::string::npos);

    fs::remove(bundle / "Contents" / "MacOS" / "Vantorel");
    const auto noExecutable = open({"-a", bundle.string()});
    EXPECT_EQ(noExecutable.status, 1);
    EXPECT_NE(noExecutable.standardError.find("no executable"), std::string::npos);

    EXPECT_EQ(open({}).status, 2);
    EXPECT_EQ(open({"-a"}).status, 2);
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace skald::test
